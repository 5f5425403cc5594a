// The firmware upgrade driven as a user would, headless, against the encoder twin and
// the loader twin on the simulated bus (real clock: the window runs worker threads).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/device_lock.h"
#include "device/hid_transport.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/ui/upgrade_window.h"
#include "loader/ti_txt.h"
#include "sim/loader_twin.h"
#include "support/core/ini_file.h"
#include "support/service/platform.h"


namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;
using Reports = std::vector<std::pair<int, QString>>;

template <typename Done>
bool WaitFor(Done done, int ms = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QTest::qWait(5);
  }
  return true;
}

// The progress reports of an upgrade that goes through, in order.
Reports Successful(const QString& path, bool massErase) {
  Reports r{{5, ""}};
  if (massErase) r.push_back({5, "Mass erase occured!\r\n"});
  r.insert(r.end(), {{10, "Password Sent Successfully\r\n"}, {20, "Sending RAM BSL v00.06.05.34\r\n"},
                     {30, "Done RAM BSL v00.06.05.34\r\n"}, {35, ""}, {40, ""}, {45, ""}});
  if (!massErase) r.push_back({60, "Erasing memory segments \r\n"});
  r.insert(r.end(), {{70, "Sending " + path + "\r\n"}, {75, "Firmware Sent\r\n"}, {80, "Verifying memory\r\n"},
                     {85, "Memory successfully verified\r\n"}, {90, "Total programming time is Ns \r\n"},
                     {90, "Resetting Device...\r\nStarting application\r\n"}, {100, "Done!"}});
  return r;
}

QString Msg(const ui::MessageRequest& m) {
  return m.text + "|" + m.caption + "|" + (m.buttons == ui::Buttons::Ok ? "Ok" : "YesNo") + "|" +
         QString::number(int(m.icon));
}
const QString Question = "Are you sure you want to upgrade the firmware?|Firmware Upgrade|YesNo|3";
// What the log says after a failed attempt, with the settings kept.
const QString WhatNext =
    "The upgrade did not finish. The encoder waits in its firmware loader: click Upgrade Firmware to try "
    "again.\nThe settings of this unit are kept safe; the next upgrade will restore them.\n";
const QString StillRunning =
    "The firmware upgrade is still running. Please wait until it has finished.\n|Orvane Ovitone|Ok|2";

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    qputenv("XDG_DATA_HOME", home_.path().toLocal8Bit());
    Bus::Instance().Reset();
    // The loader twin is back 100 ms after load PC and the encoder 500 ms after the
    // reset: the scaled waits (3 x 1000 ms, 6000 ms) must still cover that.
    platform::SetTimeScale(0.15);
    firmware_upgrade::scanDeviceAgain = false;
    sample_ = home_.path() + "/sample_firmware_v1.3.0.txt";
    ASSERT_TRUE(QFile::copy(":/firmware/sample_firmware_v1.3.0.txt", sample_));
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets()) delete qobject_cast<firmware_upgrade*>(w);
    form_.reset();
    {
      auto lock = LockDevice();
      if (hid_handle) hid_exit_safely(hid_handle);
      hid_handle = nullptr;
    }
    Bus::Instance().Reset();
    FileName.clear();
    FirmwareUpgrader::SetRealUnitsForTests(std::nullopt);
    FirmwareUpgrader::SetRamLoaderDataFolders(std::nullopt);
  }

  // The encoder with its loader, and the main window connected to it.
  void StartMainWindow() {
    twin_ = sim::PlugEncoder();
    loader_ = sim::AttachLoaderTo(twin_);
    form_ = std::make_unique<Form1>();
    form_->Form1_Load();
    twin_->ClearCommands();
  }
  static firmware_upgrade* FindWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* window = qobject_cast<firmware_upgrade*>(w)) return window;
    return nullptr;
  }
  // "Update Ovitone Firmware" answered Yes; the window once it has found the loader.
  firmware_upgrade* OpenUpgradeWindow() {
    form_->btnLoadFirmware->click();
    firmware_upgrade* window = FindWindow();
    if (!window) return nullptr;
    QObject::connect(window->backgroundWorker1, &BackgroundWorker::ProgressChanged, window,
                     [this](int percent, const QString& text) { reports_.emplace_back(percent, text); },
                     Qt::QueuedConnection);
    // Connected after the window's own handler: runs once the settings restore is over.
    QObject::connect(window->backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, window,
                     [this](const QVariant& result, bool) { result_ = result.toBool(), finished_ = true; });
    EXPECT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "Found 1 device"; }));
    return window;
  }
  // Chooses `file` (none when empty), clicks "Upgrade Firmware"; waits for the end.
  void Upgrade(firmware_upgrade* window, const QString& file, bool wait = true) {
    reports_.clear(), finished_ = false;
    if (!file.isEmpty()) fake_.files.push_back(file), window->btnBrowse->click();
    window->btnUpgrade->click();
    if (wait) {
      ASSERT_TRUE(WaitFor([&] { return finished_; }));
    }
  }
  // The reports, the programming time (whole seconds) checked and masked.
  Reports Normalised() const {
    Reports out = reports_;
    static const QRegularExpression time("^Total programming time is (\\d+)s \r\n$");
    for (auto& [percent, text] : out)
      if (const auto m = time.match(text); m.hasMatch() && m.captured(1).toInt() < 20)
        text = "Total programming time is Ns \r\n";
    return out;
  }
  Cmds EncoderCommands() const {
    Cmds out;
    for (const auto& c : twin_->Commands()) out.emplace_back(c.command, c.payload);
    return out;
  }
  QStringList Messages() {
    QStringList out;
    for (const auto& m : fake_.messages) out << Msg(m);
    fake_.messages.clear();
    return out;
  }
  void ExpectFlashHoldsSample() const {
    TiTxtImage image;
    std::string error;
    ASSERT_TRUE(TiTxtParseFile(sample_.toStdString(), image, error)) << error;
    for (const auto& run : image.runs)
      EXPECT_EQ(loader_->ReadRange(run.address, run.bytes.size()), run.bytes) << "run at " << run.address;
  }
  QString WriteFile(const QString& name, const QByteArray& content) const {
    QFile f(home_.path() + "/" + name);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
    return f.fileName();
  }

  QTemporaryDir home_;
  testing::FakeInteraction fake_;
  std::shared_ptr<sim::EncoderTwin> twin_;
  std::shared_ptr<sim::LoaderTwin> loader_;
  std::unique_ptr<Form1> form_;
  QString sample_;
  Reports reports_;
  bool finished_ = false, result_ = false;
};

TEST_F(UpgradeTest, UpgradeProgramsVerifiesResetsAndRestoresTheSettings) {
  StartMainWindow();
  sim::EncoderSettings s = twin_->Settings();
  s.keypadType = 2, s.volLedBrightness = 4, s.jackLedBrightness = 8;
  s.keyCodeTable = {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F};
  twin_->SetSettings(s);
  form_->button11->click();  // the main window reads the new settings
  twin_->ClearCommands();

  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(EncoderCommands(), Cmds({{0x01, {}}, {0x0C, {}}}));  // status, then into the loader
  EXPECT_TRUE(window->isVisible() && window->testAttribute(Qt::WA_DeleteOnClose));
  EXPECT_EQ(window->pidLbl->text(), "0x0200");
  EXPECT_TRUE(window->btnBrowse->isEnabled() && window->btnUpgrade->isEnabled());
  twin_->ClearCommands();

  Upgrade(window, sample_);
  EXPECT_TRUE(result_);
  ASSERT_EQ(fake_.openRequests.size(), 1u);
  EXPECT_EQ(fake_.openRequests[0].filter, "(*.txt);;All files (*.*)");
  EXPECT_EQ(fake_.openRequests[0].presetName, "");
  EXPECT_EQ(CIniFile::GetValue("FirmwareFile", "appSettings", FileName), "sample_firmware_v1.3.0.txt");

  EXPECT_EQ(Normalised(), Successful(sample_, false));
  QString shown = "Starting\r\n";
  for (const auto& r : reports_) shown += r.second;
  // The log ends in plain words, and the main window shows the new firmware unasked.
  shown += "\r\nUpgrade complete: the encoder runs firmware V1.3.0, and its settings were restored.\r\n";
  EXPECT_EQ(window->statusBox->toPlainText(), shown.remove('\r'));
  EXPECT_TRUE(form_->richTextBox1->toPlainText().contains("V1.3.0")) << form_->richTextBox1->toPlainText().toStdString();
  EXPECT_EQ(window->progressBar->value(), 100);
  EXPECT_EQ(loader_->MassEraseCount(), 0);
  ExpectFlashHoldsSample();

  // Back in the new firmware, the encoder gets the saved settings.
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
  EXPECT_EQ(EncoderCommands(), Cmds({{0x0E, {'O', 'V', '0', '0', '0', '1', '2', '3'}},
                                     {0x07, {2}},
                                     {0x05, {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F}},
                                     {0x02, {0, 4}},
                                     {0x02, {1, 8}},
                                     {0x09, {}},
                                     {0x01, {}},     // the version for the log
                                     {0x01, {}}}));  // the main window's status panel
  EXPECT_EQ(Messages(), QStringList{Question});

  // Only a device count enables the button again: the loader has gone, so it does not.
  EXPECT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "No device connected"; }));
  EXPECT_FALSE(window->btnUpgrade->isEnabled() || window->btnBrowse->isEnabled());
}

TEST_F(UpgradeTest, RefusedPasswordMassErasesAndSkipsTheSegmentErase) {
  StartMainWindow();
  loader_->LoadFlash(0xFFE0, Bytes(32, 0x11));  // flash of another password
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  Upgrade(window, sample_);
  EXPECT_TRUE(result_);
  EXPECT_EQ(Normalised(), Successful(sample_, true));
  EXPECT_EQ(loader_->MassEraseCount(), 1);

  std::vector<Bytes> passwords;
  std::vector<uint32_t> erased;
  for (const auto& c : loader_->Commands()) {
    if (c.code == 0x11) passwords.push_back(c.data);
    if (c.code == 0x12) erased.push_back(c.address);
  }
  // The image's password, then the default one, also for the RAM loader.
  ASSERT_EQ(passwords.size(), 3u);
  EXPECT_EQ(std::vector<Bytes>(passwords.begin() + 1, passwords.end()), std::vector<Bytes>(2, Bytes(32, 0xFF)));
  EXPECT_EQ(erased, std::vector<uint32_t>({0xFFFF}));  // the reset vector only
  ExpectFlashHoldsSample();
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
}

TEST_F(UpgradeTest, VerificationErrorKeepsTheLoaderAndRefusesClosingMeanwhile) {
  StartMainWindow();
  loader_->CorruptFlashByte(0x4410);
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  QPointer<firmware_upgrade> alive(window);
  Messages();

  Upgrade(window, sample_, false);
  window->btnClose->click();
  window->close();
  form_->show();
  form_->button10_Click();  // "Exit" must not end the program under a running upgrade
  EXPECT_TRUE(form_->isVisible());
  window->ParseMessages(0x0219, 0x8000);  // waits for the upgrade
  EXPECT_FALSE(window->backgroundWorkerCheckDevice->IsBusy());
  EXPECT_EQ(Messages(), QStringList({StillRunning, StillRunning, StillRunning}));
  ASSERT_TRUE(WaitFor([&] { return finished_; }));
  EXPECT_TRUE(window->isVisible());

  EXPECT_FALSE(result_);
  Reports expected = Successful(sample_, false);
  expected.resize(expected.size() - 4);
  expected.push_back({85, "Memory verification error\r\n"});
  EXPECT_EQ(Normalised(), expected);
  EXPECT_EQ(window->progressBar->value(), 85);
  EXPECT_TRUE(loader_->RamLoaderRunning());
  EXPECT_FALSE(Bus::Instance().IsPlugged(*twin_));

  // The counts after the failure (one more for the change) enable the buttons again.
  ASSERT_TRUE(WaitFor([&] { return !window->UpgradeOrCountRunning() && window->btnUpgrade->isEnabled(); }));
  EXPECT_FALSE(firmware_upgrade::scanDeviceAgain);
  window->btnClose->click();
  EXPECT_EQ(Messages(), QStringList{"Please Click on Scan for.\n|Orvane Ovitone|Ok|2"});
  EXPECT_TRUE(WaitFor([&] { return alive.isNull(); }));
}

TEST_F(UpgradeTest, LoaderLostDuringStartUpRestartsOnceThenGivesUp) {
  StartMainWindow();
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  loader_->UnplugAfterReports(1);  // takes the first password, answers nothing, leaves
  Upgrade(window, sample_);
  EXPECT_FALSE(result_);
  EXPECT_EQ(reports_, Reports({{5, ""},
                               {5, "Mass erase occured!\r\n"},
                               {10, "Password FAILED!\r\n"},
                               {50, "Unsuccessful in starting the BSL. Restarting. \r\n"},
                               {0, "USB device was unplugged!\r\n"}}));
  EXPECT_EQ(window->progressBar->value(), 0);
  EXPECT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "No device connected"; }));
}

TEST_F(UpgradeTest, ImageAcrossSegmentsUnderANonAsciiNameIsTheOneProgrammed) {
  StartMainWindow();
  // Old contents where the image goes: written over without an erase, they would fail
  // verification.
  loader_->LoadFlash(0x1800, Bytes(0x200, 0x00));
  loader_->LoadFlash(0x4400, Bytes(0x400, 0x00));
  const std::string header("OVFWV2.0.0\0", 11);
  Bytes pattern(0x200);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 1);
  // All of information memory (four segments), a header and a run crossing into the
  // next main segment, the reset vector.
  const std::vector<TiTxtRun> runs = {{0x1800, pattern},
                                      {0x4400, Bytes(header.begin(), header.end())},
                                      {0x45F0, Bytes(pattern.begin(), pattern.begin() + 0x30)},
                                      {0xFFFE, {0x04, 0x44}}};
  QByteArray text;
  for (const auto& run : runs) {
    text += "@" + QByteArray::number(run.address, 16) + "\r\n";
    for (uint8_t b : run.bytes) text += QByteArray::number(b + 0x100, 16).mid(1) + " ";
    text += "\r\n";
  }
  const QString file = WriteFile(QString(QChar(0x20AC)) + "uro.txt", text + "q\r\n");
  // Where a path narrowed to one byte a character would lead: another image.
  const std::string narrowed = QFile::encodeName(home_.path()).toStdString() + "/\xAC" "uro.txt";
  std::ofstream(narrowed) << "@4400\n01\n@FFFE\n00 44\nq\n";

  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  Upgrade(window, file);
  EXPECT_TRUE(result_);
  EXPECT_EQ(Normalised(), Successful(file, false));
  for (const auto& run : runs)
    EXPECT_EQ(loader_->ReadRange(run.address, run.bytes.size()), run.bytes) << "run at " << run.address;
  std::vector<uint32_t> erased;
  for (const auto& c : loader_->Commands())
    if (c.code == 0x12) erased.push_back(c.address);
  // The reset vector first, then each segment the image touches once.
  EXPECT_EQ(erased, std::vector<uint32_t>({0xFFFF, 0x1800, 0x1880, 0x1900, 0x1980, 0x4400, 0x4600, 0xFE00}));
  EXPECT_EQ(twin_->FirmwareVersion(), "V2.0.0");
  std::remove(narrowed.c_str());  // a name the temporary folder's clean-up cannot spell
}

TEST_F(UpgradeTest, FilesThatCannotBeUsedNeverReachTheDevice) {
  StartMainWindow();
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  auto attempt = [&](const QString& file) {
    Upgrade(window, file);
    EXPECT_FALSE(result_);
    EXPECT_EQ(window->progressBar->value(), 0);
    EXPECT_TRUE(WaitFor([&] { return window->btnUpgrade->isEnabled(); }));  // counted again
    return reports_.size() == 1 && reports_[0].first == 0 ? reports_[0].second : "?";
  };
  const QString tooLong = "The file path is too long (199 characters at most)";
  const QString outside =
      " is outside the flash this encoder can be programmed in (information memory 0x1800-0x19FF, "
      "main flash 0x4400-0x243FF)";
  const QString broken = WriteFile("broken.txt", "@4400\r\n4F 5\r\nq\r\n");
  const QString ram = WriteFile("ram.txt", "@2500\r\n01 02\r\n@FFFE\r\n00 44\r\nq\r\n");
  const QString noVector = WriteFile("no_vector.txt", "@4400\r\n01 02\r\nq\r\n");
  const std::pair<QString, QString> cases[] = {
      {"", "No file specified"},
      {broken, "Cannot use " + broken + ": line 2: '5' is not one byte (two hexadecimal digits)"},
      {WriteFile("empty.txt", "@4400\r\nq\r\n"), "The file holds no firmware data"},
      {ram, "Cannot use " + ram + ": byte at 0x2500" + outside},
      {noVector, "Cannot use " + noVector +
                     ": the image has no reset vector at 0xFFFE-0xFFFF; the encoder would not start it"},
      {home_.path() + "/" + QString(200 - home_.path().size() - 1, 'f'), tooLong},
      // Fewer than 200 characters, but more than 199 bytes.
      {home_.path() + "/" + QString((200 - home_.path().size()) / 3 + 1, QChar(0x20AC)), tooLong},
      {home_.path() + "/a" + QChar(0xD800) + ".txt",
       "The file path has characters this system cannot use in a file name; rename the file or "
       "choose another folder"},
  };
  for (const auto& [file, expected] : cases) EXPECT_EQ(attempt(file), expected + "\r\n") << file.toStdString();
  // The encoder's settings were kept before it left for its loader, and the window says so.
  EXPECT_EQ(window->statusBox->toPlainText(), "Starting\n" + std::rbegin(cases)->second + "\n" + WhatNext);
  EXPECT_TRUE(loader_->Commands().empty());
}

// A real unit without a RAM loader image: the encoder is not sent into its loader, and
// the upgrade window says why at once and refuses before the loader hears anything.
TEST_F(UpgradeTest, RealUnitsWithoutARamLoaderAreSentNothing) {
  FirmwareUpgrader::SetRealUnitsForTests(true);
  FirmwareUpgrader::SetRamLoaderDataFolders(std::vector<std::string>{(home_.path() + "/share").toStdString()});
  const QString missing = "No RAM loader image was found; a real encoder cannot be upgraded without one. The "
                          "upgrade first starts Texas Instruments' RAM loader 00.06.05.34 in the encoder.";
  StartMainWindow();
  form_->btnLoadFirmware->click();
  const QStringList shown = Messages();
  ASSERT_EQ(shown.size(), 2);
  EXPECT_EQ(shown[0], Question);
  EXPECT_TRUE(shown[1].startsWith(missing) && shown[1].contains(" Nothing was sent.\n|")) << shown[1].toStdString();
  EXPECT_EQ(FindWindow(), nullptr);
  EXPECT_TRUE(twin_->Commands().empty());

  auto loader = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(loader);
  auto* window = new firmware_upgrade();
  window->show();
  EXPECT_TRUE(window->statusBox->toPlainText().startsWith(missing));
  ASSERT_TRUE(WaitFor([&] { return window->btnUpgrade->isEnabled(); }));
  fake_.files.push_back(sample_), window->btnBrowse->click();
  window->btnUpgrade->click();
  ASSERT_TRUE(WaitFor([&] { return window->statusBox->toPlainText().contains("The upgrade did not finish."); }));
  EXPECT_TRUE(window->statusBox->toPlainText().startsWith("Starting\n" + missing));
  EXPECT_TRUE(loader->Commands().empty());
}

TEST_F(UpgradeTest, DeviceCountFollowsTheLoadersOnTheBus) {
  auto window = std::make_unique<firmware_upgrade>();
  EXPECT_EQ(window->labelNumOfDevices->text(), "Searching for devices");
  EXPECT_FALSE(window->btnBrowse->isEnabled() || window->btnUpgrade->isEnabled());
  window->show();
  auto line = [&](const QString& text, bool enabled) {
    return WaitFor([&] {
      return window->labelNumOfDevices->text() == text && window->btnBrowse->isEnabled() == enabled &&
             window->btnUpgrade->isEnabled() == enabled && !window->UpgradeOrCountRunning();
    });
  };
  EXPECT_TRUE(line("No device connected", false));
  auto first = std::make_shared<sim::LoaderTwin>(), second = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(first);
  EXPECT_TRUE(line("Found 1 device", true));
  Bus::Instance().Plug(second);
  EXPECT_TRUE(line("Found 2 devices", true));

  // Other messages and events are ignored; a change during a count makes one more.
  window->ParseMessages(0x0219, 0x0007);
  window->ParseMessages(0x0200, 0x8000);
  EXPECT_FALSE(window->backgroundWorkerCheckDevice->IsBusy());
  window->ParseMessages(0x0219, 0x8004);
  Bus::Instance().Unplug(*first);
  Bus::Instance().Unplug(*second);
  window->ParseMessages(0x0219, 0x8004);
  EXPECT_TRUE(firmware_upgrade::scanDeviceAgain);
  EXPECT_TRUE(line("No device connected", false));
  EXPECT_FALSE(firmware_upgrade::scanDeviceAgain);
}

TEST_F(UpgradeTest, EntryAnsweredNoOrWithoutStatusOrRefused) {
  StartMainWindow();
  fake_.answers.push_back(ui::Answer::No);
  form_->btnLoadFirmware->click();
  EXPECT_EQ(Messages(), QStringList{Question});
  EXPECT_EQ(FindWindow(), nullptr);
  EXPECT_TRUE(twin_->Commands().empty());

  // Status unreadable and EnterFirmwareUpgrade refused: fallback values, controls off,
  // and the window opens all the same.
  twin_->InjectFault(sim::EncoderFault::Refuse, 2);
  form_->btnLoadFirmware->click();
  EXPECT_EQ(Messages(), QStringList({Question, "Unable to get device status information\n|Orvane Drossel |Ok|2"}));
  ASSERT_NE(FindWindow(), nullptr);
  EXPECT_EQ(FindWindow()->unit.settings, EncoderSettings::Fallback());
  EXPECT_FALSE(FindWindow()->unit.settingsKnown);
  EXPECT_EQ(FindWindow()->unit.port, twin_->UsbPort());
  EXPECT_FALSE(form_->button8->isEnabled() || form_->keypadTypeCbox->isEnabled());
  ASSERT_NE(FindWindow(), nullptr);
  EXPECT_TRUE(FindWindow()->isVisible());
}

// Two units, one already waiting in its loader: the window programs the unit it sent into
// its loader, and after a failed attempt it finds the unit's settings kept for the retry.
TEST_F(UpgradeTest, TheRightUnitIsProgrammedAndItsKeptSettingsSurviveARetry) {
  auto waiting = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(waiting);
  StartMainWindow();
  sim::EncoderSettings s = twin_->Settings();
  s.keypadType = 2, s.volLedBrightness = 4, s.jackLedBrightness = 8;
  twin_->SetSettings(s);
  form_->button11->click();
  Messages();

  form_->btnLoadFirmware->click();
  firmware_upgrade* window = FindWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->unit.port, twin_->UsbPort());
  QObject::connect(window->backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, window,
                   [this](const QVariant& result, bool) { result_ = result.toBool(), finished_ = true; });
  ASSERT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "Found 2 devices"; }));
  loader_->SetCrcSilent(true);
  Upgrade(window, sample_);
  EXPECT_FALSE(result_);
  EXPECT_TRUE(window->statusBox->toPlainText().endsWith("Memory verification error\n" + WhatNext));
  EXPECT_TRUE(waiting->Commands().empty());
  ASSERT_TRUE(WaitFor([&] { return !window->UpgradeOrCountRunning(); }));
  window->close();
  ASSERT_TRUE(WaitFor([&] { return FindWindow() == nullptr; }));
  Messages();

  // The retry starts with the unit in its loader and no status to read: the window
  // still knows the unit's port, and writes back the settings kept for it.
  loader_->SetCrcSilent(false);
  form_->btnLoadFirmware->click();
  EXPECT_EQ(Messages(), QStringList({Question, "Unable to get device status information\n|Orvane Drossel |Ok|2"}));
  window = FindWindow();
  ASSERT_NE(window, nullptr);
  QObject::connect(window->backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, window,
                   [this](const QVariant& result, bool) { result_ = result.toBool(), finished_ = true; });
  ASSERT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "Found 2 devices"; }));
  Upgrade(window, sample_);
  EXPECT_TRUE(result_);
  EXPECT_TRUE(window->statusBox->toPlainText().contains(
      "The settings kept before an earlier upgrade of this unit will be restored afterwards."));
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
  EXPECT_EQ(twin_->Settings(), s);
  EXPECT_EQ(twin_->Defaults(), s);
  EXPECT_TRUE(waiting->Commands().empty());
  EXPECT_TRUE(LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).empty());
  ASSERT_TRUE(WaitFor([&] { return !window->UpgradeOrCountRunning(); }));
  window->close();
  ASSERT_TRUE(WaitFor([&] { return FindWindow() == nullptr; }));

  // A window that does not know its unit, with two loaders waiting: nothing is sent, and
  // the refusal names both.
  auto third = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(third);
  firmware_upgrade blind;
  blind.show();
  QObject::connect(blind.backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, &blind,
                   [this](const QVariant& result, bool) { result_ = result.toBool(), finished_ = true; });
  ASSERT_TRUE(WaitFor([&] { return blind.labelNumOfDevices->text() == "Found 2 devices"; }));
  Upgrade(&blind, sample_);
  EXPECT_FALSE(result_);
  EXPECT_TRUE(blind.statusBox->toPlainText().contains(
      "Several units wait in their firmware loader (USB ports 1-1, 1-3); the upgrade cannot "
      "tell which one to program. Unplug the other units and try again. Nothing was sent.")) << blind.statusBox->toPlainText().toStdString();
  EXPECT_TRUE(waiting->Commands().empty() && third->Commands().empty());
  ASSERT_TRUE(WaitFor([&] { return !blind.UpgradeOrCountRunning(); }));
}

// The settings restore on its own, as a successful upgrade's completion runs it.
TEST_F(UpgradeTest, RestoreWritesTheSerialNumberOnlyWhenItIsOne) {
  platform::SetTimeScale(0.001);
  twin_ = sim::PlugEncoder();
  firmware_upgrade window;
  window.unit.settings.keypadType = 1, window.unit.settings.volumeLed = 3;
  window.unit.settings.jackLed = 5;
  const Cmds rest = {{0x07, {1}}, {0x05, Bytes(8, 0)}, {0x02, {0, 3}}, {0x02, {1, 5}}, {0x09, {}}, {0x01, {}}};
  auto restore = [&](const std::string& serial) {
    window.unit.settings.serialNumber = serial;
    twin_->ClearCommands();
    emit window.backgroundWorker1->RunWorkerCompleted(true, false);
    return EncoderCommands();
  };

  Cmds withSerial = {{0x0E, Bytes({'O', 'V', '0', '0', '0', '1', '2', '3', '4', '5', '6', '7'})}};
  withSerial.insert(withSerial.end(), rest.begin(), rest.end());
  EXPECT_EQ(restore("OV0001234567"), withSerial);
  EXPECT_EQ(restore(""), rest);
  EXPECT_EQ(restore(" "), rest);
  EXPECT_EQ(Messages(), QStringList());

  // A refused command ends the restore with its message; so does a missing encoder.
  twin_->InjectFault(sim::EncoderFault::Refuse, 1);
  EXPECT_EQ(restore(" "), Cmds({{0x07, {1}}}));
  Bus::Instance().Unplug(*twin_);
  EXPECT_TRUE(restore(" ").empty());
  EXPECT_EQ(Messages(), QStringList({"Unable to set Keypad Type..\n|Orvane Ovitone |Ok|2",
                                     "Orvane Ovitone not connected..\n|Orvane Ovitone|Ok|2"}));
}

}  // namespace
}  // namespace pellix_usb_encoder
