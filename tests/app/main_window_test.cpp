// The main window driven as a user would, headless, against the simulated encoder: start,
// scan, no access, the settings lists, Save Changes, the two resets, import and export,
// the data folder, the about window, and the encoder's texts on their way out.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTextEdit>

#include <algorithm>
#include <sstream>
#include <tuple>

#include "cli/provisioning_cli.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/encoder_session.h"
#include "sim/encoder_twin.h"
#include "support/ui/about_window.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus, sim::EncoderFault, testing::WaitUntil;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;  // command code, payload
QString Blanks(int n) { return QString(n, QLatin1Char(' ')); }
const QString NotConnected0 =
    "Device Connected   -    None" + Blanks(40) + "Firmware Version" + Blanks(8) + "-   None";
const QByteArray EmptyConfig =
    " [appSettings]\n SerialNumber=\n FirmwareVersion=\n CodeTableValues=\n"
    " JackLedBrightness=\n VolumeLedBrightness=\n KeypadLayout=\n FirstUp=\n";
const QByteArray Broken = " [appSettings\n FirstUp=Yes\n KeypadLayout=0\n";
QStringList Connected(const QString& version, const QString& keypadItem, bool jackIn, const QString& serial) {
  return {"Device Connected" + Blanks(9) + "Ovitone " + Blanks(41) + "Firmware Version  :   " + version,
          "Code Table Loaded" + Blanks(7) + keypadItem + Blanks(40) + "Jack Status" + Blanks(12) + ":   " +
              (jackIn ? "Jack  IN" : "Jack OUT"),
          "Serial Number" + Blanks(15) + serial};
}
const QStringList Default = Connected("V1.2.7", "Default      ", false, "OV000123");
QByteArray Config(const QByteArray& firstUp, const QByteArray& layout, const QByteArray& volume,
                  const QByteArray& jack, const QByteArray& table = "225,4,0,5,224,30,0,31,") {
  return QByteArray(" [appSettings]\n SerialNumber=OV000123\n FirmwareVersion=V1.2.7\n CodeTableValues=") +
         table + "\n JackLedBrightness=" + jack + "\n VolumeLedBrightness=" + volume +
         "\n KeypadLayout=" + layout + "\n FirstUp=" + firstUp + "\n";
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : "<missing>";
}
void Write(const QString& path, const QByteArray& bytes) {
  if (QFile f(path); f.open(QIODevice::WriteOnly)) f.write(bytes);
}

// What a list shows: the chosen item, or its fallback text when nothing is chosen.
QString Shown(const QComboBox* box) {
  return box->currentIndex() >= 0 ? box->currentText() : box->placeholderText();
}
// The three lists: layout | volume LED | jack LED.
QString Lists(const Form1& f) {
  return Shown(f.keypadTypeCbox) + "|" + Shown(f.ledBrightnessCbox) + "|" + Shown(f.jackLedBrightnessCbox);
}
const QString NoLists = "Keypad - Layout|LED Brightness|JACK LED Brightness";
const QString Unplugged = "Keypad - Layout|LED Brightness|Jack LED Brightness";
void Choose(QComboBox* box, int index) { box->setCurrentIndex(index), emit box->activated(index); }
QString Describe(const ui::MessageRequest& m) {
  return m.text + " | " + m.caption + " | " + QString::number(int(m.buttons)) + " | " + QString::number(int(m.icon));
}

// Scan, firmware and Exit first; then the device controls: 1 for enabled.
QString Enabled(const Form1& f) {
  QString out;
  for (QWidget* w : std::initializer_list<QWidget*>{f.button11, f.btnLoadFirmware, f.button10, f.button1, f.button2,
           f.button3, f.button8, f.button9, f.ledBrightnessCbox, f.jackLedBrightnessCbox, f.keypadTypeCbox})
    out += w->isEnabled() ? '1' : '0';
  return out;
}
const QString Disconnected = "11100000000", AllEnabled = "11111111111";

class MainWindowTest : public testing::MainWindowFixture {
 protected:
  // A window after its load handler, with or without an encoder on the bus.
  std::unique_ptr<Form1> Start(bool encoder) {
    if (encoder && !twin_) twin_ = sim::PlugEncoder();
    auto form = std::make_unique<Form1>();
    form->Form1_Load();
    if (twin_) twin_->ClearCommands();
    return Bus::Instance().ClearTraffic(), std::move(form);
  }
  QString ConfigPath() const { return QDir::toNativeSeparators(home_.path() + "/OrvaneInterface/USBOvitoneUtilityCfg.ini"); }
  QString Folder(const QString& name) const { return QDir(home_.path()).mkpath(name), home_.path() + "/" + name; }
  Cmds Sent() const {
    Cmds out;
    for (const auto& c : twin_->Commands()) out.emplace_back(c.command, c.payload);
    return out;
  }
  static QStringList Lines(const Form1& f) { return f.richTextBox1->toPlainText().split('\n'); }
  // The messages since the last check: these texts, each in the window's warning form.
  void ExpectWarnings(const QStringList& texts) {
    QStringList shown, expected;
    for (const auto& m : fake_.messages) shown << Describe(m);
    for (const auto& t : texts) expected << Describe({t + "\n", "Orvane Ovitone ", ui::Buttons::Ok, ui::Icon::Warning});
    EXPECT_EQ(shown, expected);
    fake_.messages.clear();
  }
  testing::FakeInteraction fake_;
  std::shared_ptr<sim::EncoderTwin> twin_;
};

// Start, scan after the cable went and came back, and the factory reset, which rescans
// after its wait (the virtual clock runs through it): the encoder is back, or it is not.
TEST_F(MainWindowTest, StartScanAndFactoryReset) {
  twin_ = sim::PlugEncoder();
  sim::EncoderSettings s = twin_->Settings();
  s.volLedBrightness = 4, s.jackLedBrightness = 9, s.keypadType = 2;
  twin_->SetSettings(s);
  twin_->SetJackInserted(true), twin_->SetSerialNumber(""), twin_->SetFirmwareVersion("V2.0.1");
  auto form = Start(true);
  ExpectWarnings({});
  const QStringList lines = Connected("V2.0.1", "Customise", true, " No Serial Number");
  EXPECT_EQ(form->richTextBox1->toPlainText(), lines.join('\n'));
  EXPECT_EQ(Lists(*form), "Customise|Volume LED Brightness - 4|JACK LED Brightness - 9");
  EXPECT_EQ(Enabled(*form), AllEnabled);
  // Unplugged: the scan closes the stale handle and keeps the last lines 1 and 2.
  Bus::Instance().Unplug(*twin_);
  form->button11->click();
  ExpectWarnings({"Orvane Ovitone  not connected.."});
  EXPECT_EQ(Lines(*form), QStringList({NotConnected0, lines[1], lines[2]}));
  EXPECT_EQ(Lists(*form), Unplugged);
  EXPECT_EQ(Enabled(*form), Disconnected);
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);
  Bus::Instance().Plug(twin_);  // powers up with its default settings
  twin_->SetJackInserted(false), twin_->SetSerialNumber("OV000123"), twin_->SetFirmwareVersion("V1.2.7");
  twin_->ClearCommands(), form->button11->click();
  ExpectWarnings({});
  EXPECT_EQ(Lines(*form), Default);
  EXPECT_EQ(Lists(*form), "Default      |Volume LED Brightness - 6|JACK LED Brightness - 6");
  EXPECT_EQ(Enabled(*form), AllEnabled);
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));  // showing the values sends nothing
  platform::SetSleepOverride([](int ms) { Bus::Instance().AdvanceMs(ms); });
  for (int64_t rejoin : {2000, 10'000'000}) {
    Choose(form->keypadTypeCbox, 1), twin_->ClearCommands(), twin_->SetRejoinDelayMs(rejoin);
    form->button9->click();
    EXPECT_EQ(Sent(), rejoin == 2000 ? Cmds({{0x0A, {}}, {0x01, {}}}) : Cmds({{0x0A, {}}}));
    EXPECT_EQ(Lists(*form), rejoin == 2000 ? "Default      |Volume LED Brightness - 6|JACK LED Brightness - 6" : Unplugged);
    ExpectWarnings(rejoin == 2000 ? QStringList() : QStringList{"Orvane Ovitone  not connected.."});
  }
  EXPECT_EQ(Lines(*form), QStringList({NotConnected0, Connected("", "Alternate   ", false, "")[1], Default[2]}));
  EXPECT_EQ(Enabled(*form), Disconnected);
  Bus::Instance().Plug(twin_), form->button11->click();
  form->button10->click();  // "Exit" lets the encoder go
  EXPECT_EQ(hid_handle, nullptr);
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);
}

TEST_F(MainWindowTest, SettingsListsSendTheChoiceAndFallBackWhenRefused) {
  auto form = Start(true);
  Choose(form->keypadTypeCbox, 1), Choose(form->ledBrightnessCbox, 4), Choose(form->jackLedBrightnessCbox, 8);
  std::vector<Bytes> wire;
  for (const auto& w : Bus::Instance().Writes()) wire.push_back(w.bytes);
  using testing::RequestReport;
  EXPECT_EQ(wire, std::vector<Bytes>({RequestReport(7, {1}), RequestReport(2, {0, 4}), RequestReport(2, {1, 8})}));
  const sim::EncoderSettings set = twin_->Settings();
  EXPECT_EQ(std::vector<int>({set.keypadType, set.volLedBrightness, set.jackLedBrightness}), std::vector<int>({1, 4, 8}));
  EXPECT_EQ(Lines(*form), Connected("V1.2.7", "Alternate   ", false, "OV000123"));
  ExpectWarnings({});
  // Refused: the message, and the list falls back to the encoder's value.
  for (const auto& [box, choice, message] : {std::tuple{form->keypadTypeCbox, 2, "Unable to set Keypad Type.."},
                                             {form->ledBrightnessCbox, 9, "Unable to set the VOLUME LED Brightness.."},
                                             {form->jackLedBrightnessCbox, 0, "Unable to set the JACK LED Brightness.."}}) {
    twin_->ClearCommands(), twin_->InjectFault(EncoderFault::Refuse);
    Choose(box, choice);
    ExpectWarnings({message});
    EXPECT_EQ(Lists(*form), "Alternate   |Volume LED Brightness - 4|JACK LED Brightness - 8");
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(twin_->Settings(), set);
  }
  EXPECT_EQ(Lines(*form)[1], Connected("", "Alternate   ", false, "")[1]);
}

TEST_F(MainWindowTest, SaveChangesWritesDefaultThenTheConfigFile) {
  twin_ = sim::PlugEncoder();
  twin_->SetSettings([&] { auto s = twin_->Settings(); s.keyCodeTable = {0xE1, 4, 0, 5, 0xE0, 0x1E, 0, 0x1F}; return s; }());
  auto form = Start(true);
  Choose(form->keypadTypeCbox, 2), Choose(form->ledBrightnessCbox, 3), Choose(form->jackLedBrightnessCbox, 7);
  twin_->ClearCommands(), twin_->InjectFault(EncoderFault::Refuse);
  form->button8->click();
  ExpectWarnings({"Unable to Write Default.."});
  EXPECT_EQ(Sent(), Cmds({{0x09, {}}}));
  EXPECT_EQ(Read(ConfigPath()), EmptyConfig);
  twin_->ClearCommands();
  form->button8->click();
  ExpectWarnings({});
  EXPECT_EQ(Sent(), Cmds({{0x09, {}}, {0x01, {}}}));
  EXPECT_EQ(twin_->Defaults(), twin_->Settings());
  EXPECT_EQ(Read(ConfigPath()), Config("Yes", "2", "3", "7", "225,4,0,5,224,30,0,31,"));
  // The encoder keeps its defaults but its status cannot be read: the file is left alone.
  Write(ConfigPath(), Config("Yes", "0", "0", "0"));  // what a save would overwrite
  twin_->InjectFault(EncoderFault::AckStream), twin_->InjectFault(EncoderFault::Refuse);
  form->button8->click();
  ExpectWarnings({"Unable to Save Config file."});
  EXPECT_EQ(Read(ConfigPath()), Config("Yes", "0", "0", "0"));
  // A malformed file is reported once (the seven keys go in one save) and left alone;
  // the second line names the file and says what is wrong with it.
  Write(ConfigPath(), Broken);
  form->button8->click();
  ExpectWarnings({"Failed to update USBOvitoneUtilityCfg.ini file.\nINI file " + ConfigPath() +
                  ", line 1: section name without ']'"});
  EXPECT_EQ(Read(ConfigPath()), Broken);
}

TEST_F(MainWindowTest, ResetFromConfigFileSendsTheSavedSettings) {
  auto form = Start(true);
  form->button3->click();  // FirstUp still empty
  EXPECT_EQ(Sent(), Cmds());
  using Values = std::tuple<int, int, int>;  // layout, volume, jack
  for (const auto& [layout, vol, jack] : {Values{0, 1, 2}, Values{1, 9, 0}, Values{2, 5, 4}}) {
    SCOPED_TRACE(layout);
    const auto text = [](int v) { return QByteArray::number(v); };
    Write(ConfigPath(), Config("Yes", text(layout), text(vol), text(jack)));
    twin_->ClearCommands(), form->button3->click();
    Cmds expected = {{0x07, {uint8_t(layout)}}};
    if (layout == 2) expected.push_back({0x05, {225, 4, 0, 5, 224, 30, 0, 31}});
    expected.insert(expected.end(), {{0x02, {0, uint8_t(vol)}}, {0x02, {1, uint8_t(jack)}}, {0x01, {}}});
    EXPECT_EQ(Sent(), expected);
    ExpectWarnings({});
    EXPECT_EQ(Lists(*form), QString("%1|Volume LED Brightness - %2|JACK LED Brightness - %3")
                                .arg(form->keypadTypeCbox->itemText(layout)).arg(vol).arg(jack));
  }
  // A refused step ends the sequence with its own message (the file still holds layout 2).
  const QStringList messages = {"Unable to set Keypad Type..", "Unable to Load Table..",
                                "Unable to set Volume KeyLED Brightness..", "Unable to set Jack LED Brightness.."};
  for (int step = 0; step < 4; ++step) {
    twin_->ClearCommands();
    for (int i = 0; i < step; ++i) twin_->InjectFault(EncoderFault::AckStream);  // answered late, but fine
    twin_->InjectFault(EncoderFault::Refuse), form->button3->click();
    ExpectWarnings({messages[step]});
    EXPECT_EQ(Sent().size(), size_t(step + 1));
  }
  // Files it cannot use send nothing.
  for (const auto& [file, message] : std::initializer_list<std::pair<QByteArray, QString>>{
           {Broken, "Unable to read USBOvitoneUtilityCfg.ini file."},
           {Config("Yes", "two", "1", "1"), "KeypadLayout in USBOvitoneUtilityCfg.ini is not a number."},
           {Config("Yes", "1", "265", "1"),
            "VolumeLedBrightness in USBOvitoneUtilityCfg.ini is 265, which does not fit one byte (0 to 255)."},
           {Config("Yes", "2", "1", "1", "1,2,3,4,5,6,7,"),
            "CodeTableValues in USBOvitoneUtilityCfg.ini does not hold eight numbers."}}) {
    twin_->ClearCommands(), Write(ConfigPath(), file);
    form->button3->click();
    ExpectWarnings({message});
    EXPECT_EQ(Sent(), Cmds()) << message.toStdString();
  }
}

TEST_F(MainWindowTest, ImportAndExportTheConfigFile) {
  auto form = Start(false);
  fake_.messages.clear();
  const QByteArray good = "; from another machine\n" + Config("Yes", "2", "3", "7");
  const QByteArray noSerial = QByteArray(good).replace(" SerialNumber=OV000123\n", "");
  form->aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem->trigger();  // cancelled
  ExpectWarnings({});
  ASSERT_EQ(fake_.openRequests.size(), 1u);
  EXPECT_EQ(fake_.openRequests[0].filter + "|" + fake_.openRequests[0].presetName, "(*.ini);;All files (*.ini)|");
  for (const auto& [folder, name, content, message] : std::initializer_list<std::tuple<QString, QString, QByteArray, QString>>{
           {"lower", "usbovitoneutilitycfg.ini", good, "Incorrect Filename."},
           {"noserial", "USBOvitoneUtilityCfg.ini", noSerial, "File is incorrect format."},
           {"broken", "USBOvitoneUtilityCfg.ini", Broken, "Exception :Failed to copy the new file."},
           {"good", "USBOvitoneUtilityCfg.ini", good, ""}}) {
    Write(Folder(folder) + "/" + name, content);
    fake_.files.push_back(home_.path() + "/" + folder + "/" + name);
    form->aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem->trigger();
    ExpectWarnings(message.isEmpty() ? QStringList() : QStringList{message});
    EXPECT_EQ(Read(ConfigPath()), message.isEmpty() ? good : EmptyConfig);
  }
  // Export: a cancel is reported, an existing file replaced only on Yes.
  const auto exportTo = [&](const QString& folder) {
    if (!folder.isEmpty()) fake_.folders.push_back(folder);
    form->exitToolStripMenuItem->trigger();
  };
  exportTo({});
  ExpectWarnings({"Unable to save the cfg file."});
  ASSERT_EQ(fake_.folderRequests.size(), 1u);
  EXPECT_EQ(fake_.folderRequests[0].description, "Select Folder - To Copy The USBFendalUtilityCfg.ini File");
  const QString target = Folder("full") + "/USBOvitoneUtilityCfg.ini";
  Write(target, "old"), fake_.answers = {ui::Answer::No, ui::Answer::Yes};
  exportTo(home_.path() + "/full");
  ASSERT_EQ(fake_.messages.size(), 1u);
  EXPECT_EQ(Describe(fake_.messages[0]),
            Describe({"USBOvitoneUtilityCfg.ini file already exists. Do you want to overwrite it?",
                      "Save USBOvitoneUtilityCfg File", ui::Buttons::YesNo, ui::Icon::Question}));
  EXPECT_EQ(Read(target), "old");
  exportTo(home_.path() + "/full");
  EXPECT_EQ(fake_.messages.size(), 2u);
  EXPECT_EQ(Read(target), good);
  fake_.messages.clear(), exportTo(Folder("empty"));
  ExpectWarnings({});
  EXPECT_EQ(Read(home_.path() + "/empty/USBOvitoneUtilityCfg.ini"), good);
}

// Without an encoder: "not connected", the controls off and an empty settings file,
// made with every folder on the way and kept as it is by a later start. An encoder on
// the bus that this user may not open (no udev rule) adds a line on installing the rule.
TEST_F(MainWindowTest, StartWithoutEncoderOrWithoutAccess) {
  const QString absent = "Orvane Ovitone  not connected..";
  Bus::Instance().SetOpenFails(true);  // nothing to deny: the plain message
  auto form = Start(false);
  EXPECT_EQ(Lines(*form), QStringList({NotConnected0, "", "Serial Number" + Blanks(15)}));
  EXPECT_EQ(Enabled(*form), Disconnected);
  EXPECT_EQ(Lists(*form), NoLists);
  EXPECT_EQ(Read(ConfigPath()), EmptyConfig);
  Write(ConfigPath(), Config("Yes", "1", "2", "3")), Start(false);
  EXPECT_EQ(Read(ConfigPath()), Config("Yes", "1", "2", "3"));
  testing::UseDataFolder(home_.path() + "/not/yet"), Start(false);
  EXPECT_EQ(Read(home_.path() + "/not/yet/OrvaneInterface/USBOvitoneUtilityCfg.ini"), EmptyConfig);
  ExpectWarnings({absent, absent, absent});
  twin_ = sim::PlugEncoder();
  for (int scan = 0; scan < 2; ++scan) {  // every scan while denied repeats the hint
    form->button11->click();
    ExpectWarnings({absent + "\n" + QString::fromLatin1(AccessDeniedAdvice)});
    EXPECT_EQ(Enabled(*form), Disconnected);
  }
  Bus::Instance().SetOpenFails(false);  // rule installed, encoder replugged
  form->button11->click();
  ExpectWarnings({});
  EXPECT_EQ(Enabled(*form), AllEnabled);
}

// Without a usable per-user data folder the start says once why the settings cannot be
// saved, and each save fails with that reason; nothing is written under "/", the current
// folder or a folder that cannot be made. A relative XDG_DATA_HOME counts as none.
TEST_F(MainWindowTest, StartWithoutAUsableDataFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows' shell always names the folder; HOME and XDG_DATA_HOME are Linux's";
#endif
  const QByteArray home = home_.path().toLocal8Bit(), userHome = qgetenv("HOME");
  const QString unset = "HOME is not set, so there is no folder for this user's settings; set HOME to the user's "
                        "home folder and start again";
  const QString blocked = home_.path() + "/file/data/OrvaneInterface/USBOvitoneUtilityCfg.ini";  // under a file
  Write(home_.path() + "/file", "");
  // XDG_DATA_HOME and HOME (null: unset); the reason given at the start; the file; the reason a save gives.
  const std::tuple<QByteArray, QByteArray, QString, QString, QString> cases[] = {
      {{}, {}, unset, {}, unset},
      {"rel/data", home, {}, home_.path() + "/.local/share/OrvaneInterface/USBOvitoneUtilityCfg.ini", {}},
      {home + "/file/data", home, "the folder " + blocked.section('/', 0, -2) + " cannot be created", blocked,
       "cannot create " + blocked + ": the folder is not writable"}};
  for (const auto& [xdg, user, reason, file, saveReason] : cases) {
    xdg.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", xdg);
    user.isNull() ? qunsetenv("HOME") : qputenv("HOME", user);
    auto form = Start(true);
    ExpectWarnings(reason.isEmpty() ? QStringList() : QStringList{"The settings cannot be saved: " + reason + "."});
    EXPECT_EQ(QString::fromStdString(FileName), file);
    form->button8->click();
    ExpectWarnings(saveReason.isEmpty() ? QStringList() : QStringList{"Failed to update USBOvitoneUtilityCfg.ini file.\n" + saveReason});
    EXPECT_EQ(!file.isEmpty() && Read(file).contains(" FirstUp=Yes\n"), saveReason.isEmpty());
  }
  qputenv("HOME", userHome);
}

// The about window opens centred over the main window, wherever that stands.
TEST_F(MainWindowTest, AboutWindowOpensCentredOverTheMainWindow) {
  auto form = Start(false);
  form->show();
  for (const QPoint& at : {QPoint(40, 30), QPoint(300, 200)}) {
    form->move(at);
    form->aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1->trigger();
    QPointer<about> window = form->findChild<about*>();
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_EQ(window->frameGeometry().center(), form->frameGeometry().center()) << at.x();
    window->close();
    ASSERT_TRUE(WaitUntil([&] { return window.isNull(); }));
  }
}

// A firmware version and a serial number with escape sequences, CR, LF and BEL reach the
// status panel, the saved file and ovitone-cli status (text and JSON) with each control
// character as '?': no line is added anywhere, nothing reaches the terminal raw.
TEST_F(MainWindowTest, ControlCharactersFromTheEncoderReachNoWindowFileOrTerminal) {
  twin_ = sim::PlugEncoder();
  twin_->SetFirmwareVersion("V1\x1b[2J\r\n");
  twin_->SetSerialNumber("\aOV\x1b]0;x\r\nFirstUp=No");
  auto form = Start(true);
  EXPECT_EQ(Lines(*form), Connected("V1?[2J??", "Default      ", false, "?OV?]0;x??FirstUp=No"));
  form->button8->click();
  ExpectWarnings({});
  EXPECT_EQ(Read(ConfigPath()), " [appSettings]\n SerialNumber=?OV?]0;x??FirstUp=No\n FirmwareVersion=V1?[2J??\n"
                                " CodeTableValues=0,128,0,129,0,104,0,105,\n JackLedBrightness=6\n"
                                " VolumeLedBrightness=6\n KeypadLayout=0\n FirstUp=Yes\n");
  for (const auto& [json, shown] : {std::pair{false, "Serial number:         ?OV?]0;x??FirstUp=No\n"},
                                    std::pair{true, "\"serial_number\": \"?OV?]0;x??FirstUp=No\""}}) {
    std::ostringstream out, err;
    ASSERT_EQ(cli::Run(json ? std::vector<std::string>{"status", "--json"} : std::vector<std::string>{"status"}, out, err), 0);
    const std::string text = out.str();
    EXPECT_NE(text.find(shown), std::string::npos) << text;
    EXPECT_FALSE(std::any_of(text.begin(), text.end(), [](unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; }));
  }
}

}  // namespace
}  // namespace pellix_usb_encoder
