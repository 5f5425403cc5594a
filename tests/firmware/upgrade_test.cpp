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
#include <memory>
#include <vector>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "device/device_lock.h"
#include "device/hid_transport.h"
#include "firmware/upgrade_window.h"
#include "loader/ti_txt.h"
#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"
#include "support/ini_file.h"
#include "support/platform.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;
using Reports = std::vector<std::pair<int, QString>>;

const QString Ram = "00.06.05.34";

// Keeps the Qt event loop running until `done` holds or `ms` have passed.
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

// The progress reports of a complete upgrade, in order.
Reports Successful(const QString& path, bool massErase) {
  Reports r{{5, ""}};
  if (massErase) r.push_back({5, "Mass erase occured!\r\n"});
  r.insert(r.end(), {{10, "Password Sent Successfully\r\n"}, {20, "Sending RAM BSL v" + Ram + "\r\n"},
                     {30, "Done RAM BSL v" + Ram + "\r\n"}, {35, ""}, {40, ""}, {45, ""}});
  if (!massErase) r.push_back({60, "Erasing memory segments \r\n"});
  r.insert(r.end(), {{70, "Sending " + path + "\r\n"}, {75, "Firmware Sent\r\n"}, {80, "Verifying memory\r\n"},
                     {85, "Memory successfully verified\r\n"}, {90, "Total programming time is Ns \r\n"},
                     {90, "Resetting Device...\r\nStarting application\r\n"}, {100, "Done!"}});
  return r;
}

// What the status box shows for these reports after "Starting".
QString Shown(const Reports& reports) {
  QString text = "Starting\r\n";
  for (const auto& [percent, line] : reports) text += line;
  return text.remove('\r');
}

class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    qputenv("XDG_DATA_HOME", home_.path().toLocal8Bit());
    Bus::Instance().Reset();
    // The loader twin comes back 100 ms after load PC and the encoder 500 ms after the
    // reset: the fixed waits (3 x 1000 ms, 6000 ms) must still cover them.
    platform::SetTimeScale(0.15);
    firmware_upgrade::key_codes = {};
    firmware_upgrade::scanDeviceAgain = false;
    sample_ = home_.path() + "/sample_firmware_v1.3.0.txt";
    ASSERT_TRUE(QFile::copy(":/firmware/sample_firmware_v1.3.0.txt", sample_));
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* window = qobject_cast<firmware_upgrade*>(w)) delete window;
    form_.reset();
    {
      auto lock = LockDevice();
      if (hid_handle) hid_exit_safely(hid_handle);
      hid_handle = nullptr;
    }
    Bus::Instance().Reset();
    FileName.clear();
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
  // "Update Ovitone Firmware", answered Yes; the window once it has found the loader.
  firmware_upgrade* OpenUpgradeWindow() {
    form_->btnLoadFirmware->click();
    firmware_upgrade* window = FindWindow();
    if (!window) return nullptr;
    Record(window);
    EXPECT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "Found 1 device"; }));
    return window;
  }
  void Record(firmware_upgrade* window) {
    QObject::connect(window->backgroundWorker1, &BackgroundWorker::ProgressChanged, window,
                     [this](int percent, const QString& text) { reports_.emplace_back(percent, text); },
                     Qt::QueuedConnection);
    // Connected after the window's own handler: runs once the settings restore is over.
    QObject::connect(window->backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, window,
                     [this](const QVariant& result, bool) { result_ = result.toBool(), finished_ = true; });
  }
  // Chooses `file` (none when empty), clicks "Upgrade Firmware" and waits for the end.
  void Upgrade(firmware_upgrade* window, const QString& file) {
    if (!file.isEmpty()) {
      fake_.files.push_back(file);
      window->btnBrowse->click();
    }
    window->btnUpgrade->click();
    ASSERT_TRUE(WaitFor([&] { return finished_; }));
  }
  // The reports so far, with the programming time (whole seconds) checked and masked.
  Reports Normalised() const {
    Reports out = reports_;
    static const QRegularExpression time("^Total programming time is (\\d+)s \r\n$");
    for (auto& [percent, text] : out) {
      const auto match = time.match(text);
      if (match.hasMatch() && match.captured(1).toInt() < 20) text = "Total programming time is Ns \r\n";
    }
    return out;
  }
  Cmds EncoderCommands() const {
    Cmds out;
    for (const auto& c : twin_->Commands()) out.emplace_back(c.command, c.payload);
    return out;
  }
  void ExpectFlashHolds(const QString& file) const {
    TiTxtImage image;
    std::string error;
    ASSERT_TRUE(TiTxtParseFile(file.toStdString(), image, error)) << error;
    for (const auto& run : image.runs)
      EXPECT_EQ(loader_->ReadRange(run.address, run.bytes.size()), run.bytes) << "run at " << run.address;
  }
  QString WriteFile(const QString& name, const QByteArray& content) const {
    QFile f(home_.path() + "/" + name);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
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
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->testAttribute(Qt::WA_DeleteOnClose));
  EXPECT_EQ(window->windowTitle(), "Orvane Ovitone  Firmware Upgrade");
  EXPECT_EQ(window->vidLbl->text(), "0x2047");
  EXPECT_EQ(window->pidLbl->text(), "0x0200");
  EXPECT_TRUE(window->btnBrowse->isEnabled() && window->btnUpgrade->isEnabled());
  twin_->ClearCommands();

  Upgrade(window, sample_);
  EXPECT_TRUE(result_);
  ASSERT_EQ(fake_.openRequests.size(), 1u);
  EXPECT_EQ(fake_.openRequests[0].filter, "(*.txt);;All files (*.*)");
  EXPECT_EQ(fake_.openRequests[0].presetName, "openFileDialogBrowse");
  EXPECT_EQ(window->filenameTextBox->text(), sample_);
  EXPECT_EQ(CIniFile::GetValue("FirmwareFile", "appSettings", FileName), "sample_firmware_v1.3.0.txt");

  const Reports expected = Successful(sample_, false);
  EXPECT_EQ(Normalised(), expected);
  EXPECT_EQ(window->statusBox->toPlainText().toStdString(), Shown(reports_).toStdString());
  EXPECT_EQ(window->progressBar->value(), 100);
  EXPECT_FALSE(window->btnUpgrade->isEnabled());  // only a later device count enables it
  EXPECT_EQ(loader_->MassEraseCount(), 0);
  ExpectFlashHolds(sample_);

  // Back in the new firmware, the encoder gets the saved settings.
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
  EXPECT_EQ(EncoderCommands(), Cmds({{0x0E, {'O', 'V', '0', '0', '0', '1', '2', '3'}},
                                     {0x07, {2}},
                                     {0x05, {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F}},
                                     {0x02, {0, 4}},
                                     {0x02, {1, 8}},
                                     {0x09, {}}}));
  ASSERT_EQ(fake_.messages.size(), 1u);  // the question only
  EXPECT_EQ(fake_.messages[0].text, "Are you sure you want to upgrade the firmware?");
  EXPECT_EQ(fake_.messages[0].caption, "Firmware Upgrade");
  EXPECT_EQ(fake_.messages[0].buttons, ui::Buttons::YesNo);
  EXPECT_EQ(fake_.messages[0].icon, ui::Icon::Question);

  // The loader has gone: the next device change counts again.
  EXPECT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "No device connected"; }));
  EXPECT_FALSE(window->btnBrowse->isEnabled());
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
  ASSERT_EQ(passwords.size(), 3u);
  EXPECT_NE(passwords[0], Bytes(32, 0xFF));
  EXPECT_EQ(passwords[1], Bytes(32, 0xFF));  // default after the mass erase ...
  EXPECT_EQ(passwords[2], Bytes(32, 0xFF));  // ... and for the RAM loader
  EXPECT_EQ(erased, std::vector<uint32_t>({0xFFFF}));  // the reset vector only
  ExpectFlashHolds(sample_);
  EXPECT_EQ(twin_->FirmwareVersion(), "V1.3.0");
}

TEST_F(UpgradeTest, VerificationErrorKeepsTheLoaderAndTheWindowOpen) {
  StartMainWindow();
  loader_->CorruptFlashByte(0x4410);
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  QPointer<firmware_upgrade> alive(window);

  fake_.files.push_back(sample_);
  window->btnBrowse->click();
  window->btnUpgrade->click();
  // Closing is refused while the upgrade runs, and a device change waits for it.
  window->btnClose->click();
  window->close();
  window->ParseMessages(0x0219, 0x8000);
  EXPECT_FALSE(window->backgroundWorkerCheckDevice->IsBusy());
  EXPECT_TRUE(firmware_upgrade::scanDeviceAgain);
  ASSERT_EQ(fake_.messages.size(), 3u);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(fake_.messages[i].text,
              "The firmware upgrade is still running. Please wait until it has finished.\n");
    EXPECT_EQ(fake_.messages[i].caption, "Orvane Ovitone");
    EXPECT_EQ(fake_.messages[i].icon, ui::Icon::Warning);
  }
  ASSERT_TRUE(WaitFor([&] { return finished_; }));
  EXPECT_TRUE(window->isVisible());

  EXPECT_FALSE(result_);
  Reports expected = Successful(sample_, false);
  expected.resize(expected.size() - 4);
  expected.push_back({85, "Memory verification error\r\n"});
  EXPECT_EQ(Normalised(), expected);
  EXPECT_EQ(window->progressBar->value(), 85);
  EXPECT_FALSE(Bus::Instance().IsPlugged(*twin_));  // still in the loader
  EXPECT_TRUE(loader_->RamLoaderRunning());

  // The count after the failure enables the buttons again; then the window closes.
  ASSERT_TRUE(WaitFor([&] { return !window->UpgradeOrCountRunning() && window->btnUpgrade->isEnabled(); }));
  EXPECT_FALSE(firmware_upgrade::scanDeviceAgain);
  fake_.messages.clear();
  window->btnClose->click();
  ASSERT_EQ(fake_.messages.size(), 1u);
  EXPECT_EQ(fake_.messages[0].text, "Please Click on Scan for.\n");
  EXPECT_EQ(fake_.messages[0].caption, "Orvane Ovitone");
  EXPECT_TRUE(WaitFor([&] { return alive.isNull(); }));
}

TEST_F(UpgradeTest, FilesThatCannotBeUsedNeverReachTheDevice) {
  StartMainWindow();
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  auto attempt = [&](const QString& file) {
    reports_.clear(), finished_ = false;
    if (file.isEmpty()) window->filenameTextBox->clear();
    Upgrade(window, file);
    EXPECT_FALSE(result_);
    EXPECT_EQ(window->progressBar->value(), 0);
    EXPECT_TRUE(WaitFor([&] { return window->btnUpgrade->isEnabled(); }));  // counted again
    return reports_.size() == 1 ? reports_[0] : std::pair<int, QString>{-1, "?"};
  };

  EXPECT_EQ(attempt(""), std::make_pair(0, QString("No file specified\r\n")));
  EXPECT_EQ(window->statusBox->toPlainText(), "Starting\nNo file specified\n");

  const QString broken = WriteFile("broken.txt", "@4400\r\n4F 5\r\nq\r\n");
  const auto [percent, text] = attempt(broken);
  EXPECT_EQ(percent, 0);
  EXPECT_TRUE(text.startsWith("Cannot use " + broken + ": ") && text.endsWith("\r\n") &&
              text.size() > broken.size() + 15) << text.toStdString();

  EXPECT_EQ(attempt(WriteFile("empty.txt", "@4400\r\nq\r\n")),
            std::make_pair(0, QString("The file holds no firmware data\r\n")));
  EXPECT_EQ(attempt(home_.path() + "/" + QString(200 - home_.path().size() - 1, 'f')),
            std::make_pair(0, QString("The file path is too long (199 characters at most)\r\n")));

  EXPECT_TRUE(loader_->Commands().empty());
  EXPECT_FALSE(loader_->RamLoaderRunning());
}

TEST_F(UpgradeTest, DeviceCountFollowsTheLoadersOnTheBus) {
  auto* window = new firmware_upgrade;
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
  EXPECT_EQ(firmware_upgrade::numberOfUSBDevicesConnected, 1u);
  Bus::Instance().Plug(second);
  EXPECT_TRUE(line("Found 2 devices", true));

  // Changes while a count runs make one more count afterwards; other events are ignored.
  window->ParseMessages(0x0219, 0x0007);
  window->ParseMessages(0x0200, 0x8000);
  EXPECT_FALSE(window->backgroundWorkerCheckDevice->IsBusy());
  window->ParseMessages(0x0219, 0x8004);
  EXPECT_TRUE(window->backgroundWorkerCheckDevice->IsBusy());
  Bus::Instance().Unplug(*first);
  Bus::Instance().Unplug(*second);
  window->ParseMessages(0x0219, 0x8004);
  EXPECT_TRUE(firmware_upgrade::scanDeviceAgain);
  EXPECT_TRUE(line("No device connected", false));
  EXPECT_FALSE(firmware_upgrade::scanDeviceAgain);
  delete window;
}

TEST_F(UpgradeTest, QuestionAnsweredNoSendsAndOpensNothing) {
  StartMainWindow();
  fake_.answers.push_back(ui::Answer::No);
  form_->btnLoadFirmware->click();
  EXPECT_EQ(fake_.messages.size(), 1u);
  EXPECT_EQ(FindWindow(), nullptr);
  EXPECT_TRUE(twin_->Commands().empty());
  EXPECT_EQ(form_->btnLoadFirmware->focusPolicy(), Qt::NoFocus);  // keys cannot start it
}

TEST_F(UpgradeTest, UnreadableStatusAndRefusedEntryStillOpenTheWindow) {
  StartMainWindow();
  firmware_upgrade::key_codes[0] = 0x33;
  firmware_upgrade::serialNumber = "OV000999";
  twin_->InjectFault(sim::EncoderFault::Refuse, 2);  // GetStatus and EnterFirmwareUpgrade
  form_->btnLoadFirmware->click();
  ASSERT_EQ(fake_.messages.size(), 2u);
  EXPECT_EQ(fake_.messages[1].text, "Unable to get device status information\n");
  EXPECT_EQ(fake_.messages[1].caption, "Orvane Drossel ");
  EXPECT_EQ(fake_.messages[1].icon, ui::Icon::Warning);
  EXPECT_EQ(firmware_upgrade::keypadType_index, 0);
  EXPECT_EQ(firmware_upgrade::ledBrightness_index, 6);
  EXPECT_EQ(firmware_upgrade::jackLedBrightness_index, 6);
  EXPECT_EQ(firmware_upgrade::serialNumber, " ");
  EXPECT_EQ(firmware_upgrade::key_codes[0], 0x33);  // left as it was
  EXPECT_FALSE(form_->button8->isEnabled() || form_->keypadTypeCbox->isEnabled());
  firmware_upgrade* window = FindWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(WaitFor([&] { return window->labelNumOfDevices->text() == "No device connected"; }));
}

// The settings restore on its own, as a successful upgrade's completion runs it.
TEST_F(UpgradeTest, RestoreWritesTheSerialNumberOnlyWhenItIsOne) {
  platform::SetTimeScale(0.001);
  twin_ = sim::PlugEncoder();
  firmware_upgrade window;
  firmware_upgrade::keypadType_index = 1, firmware_upgrade::ledBrightness_index = 3;
  firmware_upgrade::jackLedBrightness_index = 5;
  const Cmds rest = {{0x07, {1}}, {0x05, Bytes(8, 0)}, {0x02, {0, 3}}, {0x02, {1, 5}}, {0x09, {}}};
  auto restore = [&](const QString& serial) {
    firmware_upgrade::serialNumber = serial;
    twin_->ClearCommands();
    emit window.backgroundWorker1->RunWorkerCompleted(true, false);
    return EncoderCommands();
  };

  Cmds withSerial = {{0x0E, Bytes({'O', 'V', '0', '0', '0', '1', '2', '3', '4', '5', '6', '7'})}};
  withSerial.insert(withSerial.end(), rest.begin(), rest.end());
  EXPECT_EQ(restore("OV0001234567"), withSerial);
  EXPECT_EQ(twin_->SerialNumber(), "OV0001234567");
  EXPECT_EQ(restore(" No Serial Number"), rest);
  EXPECT_EQ(restore(" "), rest);
  EXPECT_TRUE(fake_.messages.empty());

  // A refused command ends the restore with its message.
  twin_->InjectFault(sim::EncoderFault::Refuse, 1);
  EXPECT_EQ(restore(" "), Cmds({{0x07, {1}}}));
  Bus::Instance().Unplug(*twin_);
  EXPECT_TRUE(restore(" ").empty());
  ASSERT_EQ(fake_.messages.size(), 2u);
  EXPECT_EQ(fake_.messages[0].text, "Unable to set Keypad Type..\n");
  EXPECT_EQ(fake_.messages[0].caption, "Orvane Ovitone ");
  EXPECT_EQ(fake_.messages[1].text, "Orvane Ovitone not connected..\n");
  EXPECT_EQ(fake_.messages[1].caption, "Orvane Ovitone");
}

}  // namespace
}  // namespace pellix_usb_encoder
