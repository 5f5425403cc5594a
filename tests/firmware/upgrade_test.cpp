// The firmware upgrade driven as a user would, headless, against the encoder and loader
// twins on the simulated bus (real clock: the window runs worker threads).
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <fstream>

#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/ui/upgrade_window.h"
#include "loader/ti_txt.h"
#include "sim/loader_twin.h"
#include "support/core/ini_file.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using testing::WaitUntil;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;
using Reports = std::vector<std::pair<int, QString>>;

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

const QString Question = "Are you sure you want to upgrade the firmware?|Firmware Upgrade|YesNo|3";
const QString NoStatus = "Unable to get device status information\n|Orvane Drossel |Ok|2";
const QString StillRunning = "The firmware upgrade is still running. Please wait until it has finished.\n|Orvane Ovitone|Ok|2";
class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    testing::UseDataFolder(home_.path());
    Bus::Instance().Reset();
    // The scaled waits (3 x 1000 ms, 6000 ms) still cover the twins' 100 and 500 ms.
    platform::SetTimeScale(0.15);
    firmware_upgrade::scanDeviceAgain = false;
    sample_ = home_.path() + "/sample_firmware_v1.3.0.txt";
    ASSERT_TRUE(QFile::copy(":/firmware/sample_firmware_v1.3.0.txt", sample_));
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets()) delete qobject_cast<firmware_upgrade*>(w);
    form_.reset();
    if (auto lock = LockDevice(); hid_handle) hid_exit_safely(hid_handle), hid_handle = nullptr;
    Bus::Instance().Reset();
    FileName.clear();
    FirmwareUpgrader::SetRealUnitsForTests(std::nullopt);
    FirmwareUpgrader::SetRamLoaderDataFolders(std::nullopt);
  }
  // The encoder with its loader, and the main window connected to it.
  void StartMainWindow() {
    loader_ = sim::AttachLoaderTo(twin_ = sim::PlugEncoder());
    form_ = std::make_unique<Form1>();
    form_->Form1_Load();
    twin_->ClearCommands();
  }
  static firmware_upgrade* FindWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* window = qobject_cast<firmware_upgrade*>(w)) return window;
    }
    return nullptr;
  }
  // Follows `window`'s upgrade: its reports, and its result once the restore is over.
  void Follow(firmware_upgrade* window) {
    QObject::connect(window->backgroundWorker1, &BackgroundWorker::ProgressChanged, window,
                     [this](int percent, const QString& text) { reports_.emplace_back(percent, text); },
                     Qt::QueuedConnection);
    QObject::connect(window->backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, window,
                     [this](const QVariant& result, bool) { result_ = result.toBool(), finished_ = true; });
  }
  // "Update Ovitone Firmware" answered Yes; the window once it has counted `count`.
  firmware_upgrade* OpenUpgradeWindow(const QString& count = "Found 1 device") {
    form_->btnLoadFirmware->click();
    firmware_upgrade* window = FindWindow();
    if (!window) return nullptr;
    Follow(window);
    EXPECT_TRUE(WaitUntil([&] { return window->labelNumOfDevices->text() == count; }));
    return window;
  }
  // Closes `window` once it is idle.
  static void Close(firmware_upgrade* window) {
    ASSERT_TRUE(WaitUntil([&] { return !window->UpgradeOrCountRunning(); }));
    window->close();
    ASSERT_TRUE(WaitUntil([&] { return FindWindow() == nullptr; }));
  }
  // Chooses `file` (none when empty), clicks "Upgrade Firmware"; waits for the end.
  void Upgrade(firmware_upgrade* window, const QString& file, bool wait = true) {
    reports_.clear(), finished_ = false;
    if (!file.isEmpty()) {
      fake_.files.push_back(file);
      window->btnBrowse->click();
    }
    window->btnUpgrade->click();
    if (wait) {
      ASSERT_TRUE(WaitUntil([&] { return finished_; }));
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
  std::vector<uint32_t> Erased() const {
    std::vector<uint32_t> erased;
    for (const auto& c : loader_->Commands()) if (c.code == 0x12) erased.push_back(c.address);
    return erased;
  }
  QStringList Messages() {  // text|caption|buttons|icon
    QStringList out;
    for (const auto& m : fake_.messages)
      out << m.text + "|" + m.caption + (m.buttons == ui::Buttons::Ok ? "|Ok|" : "|YesNo|") + QString::number(int(m.icon));
    fake_.messages.clear();
    return out;
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

// All of information memory, a header, a run into the next main segment and the vector,
// over old contents, from a file whose name is not ASCII: programmed, verified, reset, and
// the settings restored.
TEST_F(UpgradeTest, UpgradeProgramsVerifiesResetsAndRestoresTheSettings) {
  StartMainWindow();
  sim::EncoderSettings s = twin_->Settings();
  s.keypadType = 2, s.volLedBrightness = 4, s.jackLedBrightness = 8;
  s.keyCodeTable = {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F};
  twin_->SetSettings(s);
  form_->button11->click();  // the main window reads the new settings
  loader_->LoadFlash(0x1800, Bytes(0x200, 0x00)), loader_->LoadFlash(0x4400, Bytes(0x400, 0x00));  // old contents
  Bytes pattern(0x200), header = {'O', 'V', 'F', 'W', 'V', '2', '.', '0', '.', '0', 0};
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 7 + 1);
  const std::vector<TiTxtRun> runs = {{0x1800, pattern}, {0x4400, header}, {0x45F0, Bytes(pattern.begin(), pattern.begin() + 0x30)},
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
  twin_->ClearCommands();
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(EncoderCommands(), Cmds({{0x01, {}}, {0x0C, {}}}));  // status, then into the loader
  twin_->ClearCommands();
  Upgrade(window, file);
  std::remove(narrowed.c_str());  // a name the temporary folder's clean-up cannot spell
  EXPECT_TRUE(result_);
  EXPECT_EQ(Normalised(), Successful(file, false));
  EXPECT_EQ(QString::fromStdString(CIniFile::GetValue("FirmwareFile", "appSettings", FileName)), QChar(0x20AC) + QString("uro.txt"));
  // The log ends in plain words, and the main window shows the new firmware unasked.
  EXPECT_TRUE(window->statusBox->toPlainText().endsWith(
      "Done!\nUpgrade complete: the encoder runs firmware V2.0.0, and its settings were restored.\n"));
  EXPECT_TRUE(form_->richTextBox1->toPlainText().contains("V2.0.0")) << form_->richTextBox1->toPlainText().toStdString();
  for (const auto& run : runs) EXPECT_EQ(loader_->ReadRange(run.address, run.bytes.size()), run.bytes) << run.address;
  // The reset vector first, then each segment the image touches once.
  EXPECT_EQ(Erased(), std::vector<uint32_t>({0xFFFF, 0x1800, 0x1880, 0x1900, 0x1980, 0x4400, 0x4600, 0xFE00}));
  EXPECT_EQ(loader_->MassEraseCount(), 0);
  // Back in the new firmware, the encoder gets the saved settings.
  EXPECT_EQ(twin_->FirmwareVersion(), "V2.0.0");
  // Who it is first (its serial number proves it is the unit that left), then the settings.
  EXPECT_EQ(EncoderCommands(), Cmds({{0x01, {}}, {0x0E, {'O', 'V', '0', '0', '0', '1', '2', '3'}}, {0x07, {2}},
                                     {0x05, {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F}}, {0x02, {0, 4}},
                                     {0x02, {1, 8}}, {0x09, {}}, {0x01, {}}, {0x01, {}}}));  // log, main window
  EXPECT_TRUE(LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).empty());
  // Only a device count enables the button again: the loader has gone, so it does not.
  EXPECT_TRUE(WaitUntil([&] { return window->labelNumOfDevices->text() == "No device connected"; }));
  EXPECT_FALSE(window->btnUpgrade->isEnabled() || window->btnBrowse->isEnabled());
}

// A refused password mass-erases the flash (no segment erase then); the RAM loader gets
// the default password. The erase took the serial number too: the window asks before it
// writes the kept settings, naming the port, the serial number and when they were kept.
TEST_F(UpgradeTest, RefusedPasswordMassErasesAndTheUserConfirmsWhoseSettings) {
  StartMainWindow();
  sim::EncoderSettings s = twin_->Settings();
  s.keypadType = 1, s.volLedBrightness = 2;
  twin_->SetSettings(s);
  form_->button11->click();
  loader_->LoadFlash(0xFFE0, Bytes(32, 0x11));  // flash of another password
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  const auto kept = LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
  ASSERT_EQ(kept.size(), 1u);
  Messages();
  Upgrade(window, sample_);
  EXPECT_TRUE(result_);
  EXPECT_EQ(Normalised(), Successful(sample_, true));
  EXPECT_EQ(loader_->MassEraseCount(), 1);
  std::vector<Bytes> passwords;  // the image's, then the default one, also for the RAM loader
  for (const auto& c : loader_->Commands())
    if (c.code == 0x11) passwords.push_back(c.data);
  ASSERT_EQ(passwords.size(), 3u);
  EXPECT_EQ(std::vector<Bytes>(passwords.begin() + 1, passwords.end()), std::vector<Bytes>(2, Bytes(32, 0xFF)));
  EXPECT_EQ(Erased(), std::vector<uint32_t>({0xFFFF}));  // the reset vector only
  EXPECT_EQ(Messages(), QStringList{"The encoder on USB port 1-1 reports no serial number, so the program cannot tell "
                                    "whose settings it should have.\n\nWrite the settings of serial number OV000123, kept " +
                                    QString::fromStdString(kept[0].keptAt) + " on USB port 1-1 into it?|Firmware Upgrade|YesNo|3"});
  EXPECT_TRUE(twin_->SerialNumber() == "OV000123" && twin_->Settings() == s && twin_->Defaults() == s);
  EXPECT_TRUE(window->statusBox->toPlainText().endsWith(
      "and the settings of serial number OV000123 were written into it on your word.\n"));
  EXPECT_TRUE(LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).empty());
}

// An encoder giving no status and refusing EnterFirmwareUpgrade still gets the window. The
// settings restore writes no blank serial number, and ends at a refusal or a missing encoder.
TEST_F(UpgradeTest, EntryWithoutStatusOrRefusedAndTheRestoreOnItsOwn) {
  StartMainWindow();
  twin_->InjectFault(sim::EncoderFault::Refuse, 2);
  form_->btnLoadFirmware->click();
  EXPECT_EQ(Messages(), QStringList({Question, NoStatus}));
  firmware_upgrade* window = FindWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->unit.settings == EncoderSettings::Fallback() && !window->unit.settingsKnown &&
              window->unit.port == twin_->UsbPort());
  EXPECT_FALSE(form_->button8->isEnabled() || form_->keypadTypeCbox->isEnabled());
  Close(window);
  // On its own, as a successful upgrade's completion runs it: the unit that left proves
  // who it is and gets its settings; with nothing known, the defaults (no serial number)
  // and the log says so; a refusal or a missing encoder ends it.
  firmware_upgrade restoring;
  restoring.unit.port = twin_->UsbPort();
  restoring.unit.settings.keypadType = 1, restoring.unit.settings.volumeLed = 3, restoring.unit.settings.jackLed = 5;
  const Cmds rest = {{0x07, {1}}, {0x05, Bytes(8, 0)}, {0x02, {0, 3}}, {0x02, {1, 5}}, {0x09, {}}, {0x01, {}}};
  auto restore = [&](const std::string& serial, bool known) {
    restoring.unit.settings.serialNumber = serial, restoring.unit.settingsKnown = known;
    twin_->ClearCommands();
    emit restoring.backgroundWorker1->RunWorkerCompleted(true, false);
    return EncoderCommands();
  };
  twin_->SetSerialNumber("OV0001234567");
  Cmds withSerial = {{0x01, {}}, {0x0E, Bytes({'O', 'V', '0', '0', '0', '1', '2', '3', '4', '5', '6', '7'})}};
  withSerial.insert(withSerial.end(), rest.begin(), rest.end());
  EXPECT_EQ(restore("OV0001234567", true), withSerial);
  Cmds fallback = {{0x01, {}}};
  fallback.insert(fallback.end(), rest.begin(), rest.end());
  EXPECT_TRUE(restore("OV0001234567", false) == fallback && Messages().isEmpty());
  EXPECT_TRUE(restoring.statusBox->toPlainText().endsWith(
      "The encoder on USB port 1-1 runs firmware V1.2.7 and got the default settings (code table 0, both LED groups "
      "at 6, an empty custom table, no serial number): its own settings were not known. Set them in the main window "
      "or from a saved configuration file.\n")) << restoring.statusBox->toPlainText().toStdString();
  twin_->InjectFault(sim::EncoderFault::Refuse, 2);  // the status, then the keypad type
  EXPECT_EQ(restore(" ", false), Cmds({{0x01, {}}, {0x07, {1}}}));
  Bus::Instance().Unplug(*twin_);
  EXPECT_TRUE(restore(" ", false).empty());
  EXPECT_EQ(Messages(), QStringList({"Unable to set Keypad Type..\n|Orvane Ovitone |Ok|2",
                                     "Orvane Ovitone not connected..\n|Orvane Ovitone|Ok|2"}));
  // Closed with the unit gone, the window says so instead of the usual line.
  restoring.show();
  ASSERT_TRUE(WaitUntil([&] { return !restoring.UpgradeOrCountRunning(); }));
  restoring.btnClose->click();
  EXPECT_EQ(Messages(), QStringList{"The encoder is not on the USB bus (USB port 1-1). Plug it in again, then click "
                                    "Scan For Device in the main window.\n|Orvane Ovitone|Ok|2"});
}

TEST_F(UpgradeTest, FilesThatCannotBeUsedNeverReachTheDevice) {
  StartMainWindow();
  firmware_upgrade* window = OpenUpgradeWindow();
  ASSERT_NE(window, nullptr);
  const QString ram = WriteFile("ram.txt", "@2500\r\n01 02\r\n@FFFE\r\n00 44\r\nq\r\n");
  const QString noVector = WriteFile("no_vector.txt", "@4400\r\n01 02\r\nq\r\n");
  const std::pair<QString, QString> cases[] = {
      {"", "No file specified"},
      {WriteFile("empty.txt", "@4400\r\nq\r\n"), "The file holds no firmware data"},
      {ram, "Cannot use " + ram + ": byte at 0x2500 is outside the flash this encoder can be programmed in "
            "(information memory 0x1800-0x19FF, main flash 0x4400-0x243FF)"},
      {noVector, "Cannot use " + noVector + ": the image has no reset vector at 0xFFFE-0xFFFF; the encoder would not start it"},
      {home_.path() + "/" + QString(200 - home_.path().size() - 1, 'f'), "The file path is too long (199 characters at most)"},
      {home_.path() + "/a" + QChar(0xD800) + ".txt",
       "The file path has characters this system cannot use in a file name; rename the file or choose another folder"},
  };
  for (const auto& [file, expected] : cases) {
    Upgrade(window, file);
    EXPECT_FALSE(result_);
    EXPECT_EQ(reports_, Reports({{0, expected + "\r\n"}})) << file.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return window->btnUpgrade->isEnabled(); }));  // counted again
  }
  // The encoder's settings were kept before it left for its loader, and the window says so.
  const auto kept = LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(window->statusBox->toPlainText(),
            "Starting\n" + std::rbegin(cases)->second +
                "\nThe encoder waits in its firmware loader on USB port 1-1; nothing was programmed. Choose a firmware file "
                "it can take, then click Upgrade Firmware.\nThe settings of serial number OV000123 (kept " +
                QString::fromStdString(kept[0].keptAt) + ") are safe; the next upgrade of this unit will restore them.\n");
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
  fake_.answers.push_back(ui::Answer::No);  // answered No: nothing at all
  form_->btnLoadFirmware->click();
  EXPECT_EQ(Messages(), QStringList{Question});
  form_->btnLoadFirmware->click();
  const QStringList shown = Messages();
  ASSERT_EQ(shown.size(), 2);
  EXPECT_TRUE(shown[1].startsWith(missing) && shown[1].contains(" Nothing was sent.\n|")) << shown[1].toStdString();
  EXPECT_TRUE(FindWindow() == nullptr && twin_->Commands().empty());
  auto loader = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(loader);
  auto* window = new firmware_upgrade();  // opened on its own, with the loader waiting
  window->show();
  EXPECT_TRUE(window->statusBox->toPlainText().startsWith(missing));
  ASSERT_TRUE(WaitUntil([&] { return window->btnUpgrade->isEnabled(); }));
  fake_.files.push_back(sample_), window->btnBrowse->click();
  window->btnUpgrade->click();
  ASSERT_TRUE(WaitUntil([&] { return window->statusBox->toPlainText().contains("nothing was programmed."); }));
  EXPECT_TRUE(window->statusBox->toPlainText().startsWith("Starting\n" + missing));
  EXPECT_TRUE(loader->Commands().empty());
}

// Two units, one already waiting in its loader: the window programs the unit it sent into
// its loader, and after a failed attempt it finds the unit's settings kept for the retry.
// Two units, one already in its loader: the window programs the one it sent there, will not
// close (nor the program exit) while it runs, and after a failed check retries with its settings.
TEST_F(UpgradeTest, TheRightUnitIsProgrammedAndItsKeptSettingsSurviveARetry) {
  auto waiting = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(waiting);
  StartMainWindow();
  sim::EncoderSettings s = twin_->Settings();
  s.keypadType = 2, s.volLedBrightness = 4, s.jackLedBrightness = 8;
  twin_->SetSettings(s);
  form_->button11->click();
  firmware_upgrade* window = OpenUpgradeWindow("Found 2 devices");
  ASSERT_NE(window, nullptr);
  loader_->SetCrcSilent(true);
  Upgrade(window, sample_, false);
  window->btnClose->click();
  window->close();
  form_->show();
  form_->button10_Click();  // "Exit"
  EXPECT_TRUE(form_->isVisible());
  window->ParseMessages(0x0219, 0x8000);  // a count waits for the upgrade
  EXPECT_FALSE(window->backgroundWorkerCheckDevice->IsBusy());
  EXPECT_EQ(Messages(), QStringList({Question, StillRunning, StillRunning, StillRunning}));
  ASSERT_TRUE(WaitUntil([&] { return finished_; }));
  EXPECT_TRUE(window->isVisible() && !result_);
  EXPECT_EQ(window->progressBar->value(), 85);
  EXPECT_TRUE(window->statusBox->toPlainText().contains(
      "Memory verification error\nThe encoder waits in its firmware loader on USB port 1-2: the upgrade did not finish. "
      "Click Upgrade Firmware to try again.\nThe settings of serial number OV000123 (kept "));
  EXPECT_TRUE(loader_->RamLoaderRunning() && waiting->Commands().empty() && !Bus::Instance().IsPlugged(*twin_));
  // The counts after the failure (one more for the change) enable the buttons again.
  ASSERT_TRUE(WaitUntil([&] { return !window->UpgradeOrCountRunning() && window->btnUpgrade->isEnabled(); }));
  EXPECT_FALSE(firmware_upgrade::scanDeviceAgain);
  window->btnClose->click();
  EXPECT_EQ(Messages(), QStringList{"The encoder on USB port 1-2 waits in its firmware loader and cannot be used until an "
                                    "upgrade finishes. To finish it, click Update Ovitone Firmware in the main window "
                                    "again.\n|Orvane Ovitone|Ok|2"});
  ASSERT_TRUE(WaitUntil([&] { return FindWindow() == nullptr; }));
  // The retry: no status to read; the unit proves who it is afterwards and gets its own record.
  loader_->SetCrcSilent(false);
  ASSERT_NE(window = OpenUpgradeWindow("Found 2 devices"), nullptr);
  EXPECT_EQ(Messages(), QStringList({Question, NoStatus}));
  Upgrade(window, sample_);
  EXPECT_TRUE(result_);
  EXPECT_TRUE(window->statusBox->toPlainText().endsWith("and its settings were restored.\n"));
  EXPECT_TRUE(twin_->FirmwareVersion() == "V1.3.0" && twin_->Settings() == s && twin_->Defaults() == s);
  EXPECT_TRUE(waiting->Commands().empty());
  EXPECT_TRUE(LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder()).empty());
  Close(window);
  // A window that does not know its unit, with two loaders waiting, sends nothing.
  auto third = std::make_shared<sim::LoaderTwin>();
  Bus::Instance().Plug(third);
  firmware_upgrade blind;
  blind.show();
  Follow(&blind);
  ASSERT_TRUE(WaitUntil([&] { return blind.labelNumOfDevices->text() == "Found 2 devices"; }));
  Upgrade(&blind, sample_);
  EXPECT_FALSE(result_);
  EXPECT_TRUE(blind.statusBox->toPlainText().contains(
      "Several units wait in their firmware loader (USB ports 1-1, 1-3); the upgrade cannot tell which one to "
      "program. Unplug the other units and try again. Nothing was sent.")) << blind.statusBox->toPlainText().toStdString();
  EXPECT_TRUE(waiting->Commands().empty() && third->Commands().empty());
  ASSERT_TRUE(WaitUntil([&] { return !blind.UpgradeOrCountRunning(); }));
}

// The settings restore on its own, as a successful upgrade's completion runs it: the
// serial number only when there is one; a refusal or a missing encoder ends it.

}  // namespace
}  // namespace pellix_usb_encoder
