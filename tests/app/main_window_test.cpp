// The main window driven as a user would, headless, against the simulated encoder:
// start-up, scan, the settings lists, Save Changes, the two resets, import and export.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>
#include <memory>
#include <tuple>
#include <vector>

#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/device_lock.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"
#include "support/service/platform.h"

// Readable failure output for Qt strings.

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;
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
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(bytes);
}

// What a list shows: the chosen item, or its fallback text when nothing is chosen.
QString Shown(const QComboBox* box) {
  return box->currentIndex() >= 0 ? box->currentText() : box->placeholderText();
}
void Choose(QComboBox* box, int index) { box->setCurrentIndex(index), emit box->activated(index); }

Bytes Request(uint8_t command, const Bytes& payload) { return testing::RequestReport(command, payload); }

QString Describe(const ui::MessageRequest& m) {
  return m.text + " | " + m.caption + " | " + (m.buttons == ui::Buttons::Ok ? "Ok" : "YesNo") + " | icon " +
         QString::number(int(m.icon));
}

// Scan, firmware and Exit first; then the device controls.
std::vector<bool> Enabled(const Form1& f) {
  std::vector<bool> out;
  for (QWidget* w : std::initializer_list<QWidget*>{
           f.button11, f.btnLoadFirmware, f.button10, f.button1, f.button2, f.button3, f.button8, f.button9,
           f.ledBrightnessCbox, f.jackLedBrightnessCbox, f.keypadTypeCbox})
    out.push_back(w->isEnabled());
  return out;
}
const std::vector<bool> Disconnected = {true,  true,  true,  false, false, false,
                                        false, false, false, false, false};
const std::vector<bool> AllEnabled(11, true);

class MainWindowTest : public testing::MainWindowFixture {
 protected:
  // A window after its load handler, with or without an encoder on the bus.
  std::unique_ptr<Form1> Start(bool encoder) {
    if (encoder && !twin_) twin_ = sim::PlugEncoder();
    auto form = std::make_unique<Form1>();
    form->Form1_Load();
    if (twin_) twin_->ClearCommands();
    Bus::Instance().ClearTraffic();
    return form;
  }
  QString ConfigPath() const { return home_.path() + "/OrvaneInterface/USBOvitoneUtilityCfg.ini"; }
  QString Folder(const QString& name) const {
    QDir(home_.path()).mkpath(name);
    return home_.path() + "/" + name;
  }
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
    for (const auto& t : texts)
      expected << Describe({t + "\n", "Orvane Ovitone ", ui::Buttons::Ok, ui::Icon::Warning});
    EXPECT_EQ(shown, expected);
    fake_.messages.clear();
  }

  testing::FakeInteraction fake_;
  std::shared_ptr<sim::EncoderTwin> twin_;
};

TEST_F(MainWindowTest, StartWithoutEncoder) {
  Form1 form;
  EXPECT_EQ(form.windowTitle(), "Orvane Ovitone  Configuration Utility");
  EXPECT_EQ(form.button11->geometry(), QRect(27, 82, 125, 67));
  EXPECT_EQ(form.richTextBox1->geometry(), QRect(158, 82, 680, 67));
  EXPECT_EQ(form.button10->geometry(), QRect(633, 383, 206, 67));
  QStringList menus;
  for (QMenu* menu : {form.helpToolStripMenuItem, form.helpToolStripMenuItem1}) {
    menus << menu->title();
    for (QAction* a : menu->actions()) menus << a->text();
  }
  EXPECT_EQ(menus, QStringList({"File", "Import Cfg File", "Export Cfg File", "Exit", "Help",
                                "About Ovitone  Configuration Utility"}));

  form.Form1_Load();
  ExpectWarnings({"Orvane Ovitone  not connected.."});
  EXPECT_EQ(Lines(form), QStringList({NotConnected0, "", "Serial Number" + Blanks(15)}));
  EXPECT_EQ(Enabled(form), Disconnected);
  EXPECT_EQ(Shown(form.keypadTypeCbox), "Keypad - Layout");
  EXPECT_EQ(Shown(form.ledBrightnessCbox), "LED Brightness");
  EXPECT_EQ(Shown(form.jackLedBrightnessCbox), "JACK LED Brightness");
  EXPECT_EQ(Read(ConfigPath()), EmptyConfig);

  // A later start keeps the existing file as it is.
  const QByteArray edited = Config("Yes", "1", "2", "3");
  Write(ConfigPath(), edited);
  Start(false);
  ExpectWarnings({"Orvane Ovitone  not connected.."});
  EXPECT_EQ(Read(ConfigPath()), edited);

  // A data folder that does not exist yet is made, with every folder on the way.
  qputenv("XDG_DATA_HOME", (home_.path() + "/not/yet/there").toLocal8Bit());
  Start(false);
  ExpectWarnings({"Orvane Ovitone  not connected.."});
  EXPECT_EQ(Read(home_.path() + "/not/yet/there/OrvaneInterface/USBOvitoneUtilityCfg.ini"), EmptyConfig);
  qputenv("XDG_DATA_HOME", home_.path().toLocal8Bit());
}

TEST_F(MainWindowTest, StartWithEncoderAndScan) {
  twin_ = sim::PlugEncoder();
  sim::EncoderSettings s = twin_->Settings();
  s.volLedBrightness = 4, s.jackLedBrightness = 9, s.keypadType = 2;
  twin_->SetSettings(s);
  twin_->SetJackInserted(true);
  twin_->SetSerialNumber("");
  twin_->SetFirmwareVersion("V2.0.1");
  auto form = Start(true);
  ExpectWarnings({});
  const QStringList lines = Connected("V2.0.1", "Customise", true, " No Serial Number");
  EXPECT_EQ(form->richTextBox1->toPlainText(), lines.join('\n'));
  EXPECT_EQ(Shown(form->ledBrightnessCbox), "Volume LED Brightness - 4");
  EXPECT_EQ(Shown(form->jackLedBrightnessCbox), "JACK LED Brightness - 9");
  EXPECT_EQ(Shown(form->keypadTypeCbox), "Customise");
  EXPECT_EQ(Enabled(*form), AllEnabled);

  // Unplugged: the scan closes the stale handle and keeps the last lines 1 and 2.
  Bus::Instance().Unplug(*twin_);
  form->button11->click();
  ExpectWarnings({"Orvane Ovitone  not connected.."});
  EXPECT_EQ(Lines(*form), QStringList({NotConnected0, lines[1], lines[2]}));
  EXPECT_EQ(Shown(form->jackLedBrightnessCbox), "Jack LED Brightness");
  EXPECT_EQ(Enabled(*form), Disconnected);
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);

  Bus::Instance().Plug(twin_);  // powers up with its default settings
  twin_->SetJackInserted(false);
  twin_->SetSerialNumber("OV000123");
  twin_->SetFirmwareVersion("V1.2.7");
  twin_->ClearCommands();
  form->button11->click();
  ExpectWarnings({});
  EXPECT_EQ(Lines(*form), Default);
  EXPECT_EQ(Shown(form->ledBrightnessCbox), "Volume LED Brightness - 6");
  EXPECT_EQ(Shown(form->jackLedBrightnessCbox), "JACK LED Brightness - 6");
  EXPECT_EQ(Enabled(*form), AllEnabled);
  EXPECT_EQ(Sent(), Cmds({{0x01, {}}}));  // showing the values sends nothing

  form->button10->click();  // "Exit" lets the encoder go
  EXPECT_EQ(hid_handle, nullptr);
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);
}

// While the encoder stays silent the window keeps running: its timers fire, it paints,
// and a click made meanwhile reaches its control only after the handler has finished.
TEST_F(MainWindowTest, WindowStaysResponsiveWhileTheEncoderIsSilent) {
  auto form = Start(true);
  Choose(form->ledBrightnessCbox, 4);
  ExpectWarnings({});
  // The exchange waits at a gate that the window thread's own timer opens, so the wait
  // lasts as long as the test needs it on any machine.
  std::atomic<bool> open{false};
  SetExchangeRunner([&](const std::function<void()>& exchange) {
    platform::RunResponsively([&] {
      while (!open) std::this_thread::yield();
      exchange();
    });
  });
  int fired = 0, clicksDuringWait = -1;
  std::vector<size_t> messagesAtClick;
  QObject::connect(form->button11, &QPushButton::clicked, form.get(),
                   [&] { messagesAtClick.push_back(fake_.messages.size()); });
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (++fired == 3) {
      QTest::mouseClick(form->button11, Qt::LeftButton);
      clicksDuringWait = int(messagesAtClick.size());
    }
    if (fired == 5) open = true;
  });
  timer.start(1);
  twin_->InjectFault(EncoderFault::Silence);
  Choose(form->ledBrightnessCbox, 9);
  timer.stop();
  SetExchangeRunner([](const std::function<void()>& exchange) { platform::RunResponsively(exchange); });

  EXPECT_GE(fired, 5);
  EXPECT_EQ(clicksDuringWait, 0);  // held back while the handler ran
  EXPECT_EQ(Shown(form->ledBrightnessCbox), "Volume LED Brightness - 4");
  QTest::qWait(20);  // the held click arrives now, after the handler's message
  EXPECT_EQ(messagesAtClick, std::vector<size_t>{1});
  ExpectWarnings({"Unable to set the VOLUME LED Brightness.."});
}

TEST_F(MainWindowTest, SettingsListsSendTheChoiceAndFallBackWhenRefused) {
  auto form = Start(true);
  Choose(form->keypadTypeCbox, 1);
  Choose(form->ledBrightnessCbox, 4);
  Choose(form->jackLedBrightnessCbox, 8);
  std::vector<Bytes> wire;
  for (const auto& w : Bus::Instance().Writes()) wire.push_back(w.bytes);
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(Bytes(wire[0].begin(), wire[0].begin() + 10),
            Bytes({0x3F, 0x40, 0x02, '0', '7', '0', '1', 1, 3, 6}));
  EXPECT_EQ(wire, std::vector<Bytes>({Request(7, {1}), Request(2, {0, 4}), Request(2, {1, 8})}));
  EXPECT_EQ(twin_->Settings().keypadType, 1);
  EXPECT_EQ(twin_->Settings().volLedBrightness, 4);
  EXPECT_EQ(twin_->Settings().jackLedBrightness, 8);
  EXPECT_EQ(Lines(*form), Connected("V1.2.7", "Alternate   ", false, "OV000123"));
  ExpectWarnings({});

  struct Case { QComboBox* box; int choice; const char* message; const char* shown; };
  for (const Case& c : {Case{form->keypadTypeCbox, 2, "Unable to set Keypad Type..", "Alternate   "},
                        Case{form->ledBrightnessCbox, 9, "Unable to set the VOLUME LED Brightness..",
                             "Volume LED Brightness - 4"},
                        Case{form->jackLedBrightnessCbox, 0, "Unable to set the JACK LED Brightness..",
                             "JACK LED Brightness - 8"}}) {
    SCOPED_TRACE(c.message);
    twin_->ClearCommands();
    const sim::EncoderSettings before = twin_->Settings();
    twin_->InjectFault(EncoderFault::Refuse);
    Choose(c.box, c.choice);
    ExpectWarnings({c.message});
    EXPECT_EQ(Shown(c.box), c.shown);
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(twin_->Settings(), before);
  }
  EXPECT_EQ(Lines(*form)[1], Connected("", "Alternate   ", false, "")[1]);
}

TEST_F(MainWindowTest, SaveChangesWritesDefaultThenTheConfigFile) {
  twin_ = sim::PlugEncoder();
  sim::EncoderSettings s = twin_->Settings();
  s.keyCodeTable = {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x1E, 0x00, 0x1F};
  twin_->SetSettings(s);
  auto form = Start(true);
  Choose(form->keypadTypeCbox, 2);
  Choose(form->ledBrightnessCbox, 3);
  Choose(form->jackLedBrightnessCbox, 7);

  twin_->ClearCommands();
  twin_->InjectFault(EncoderFault::Refuse);
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
  const QByteArray saved = Read(ConfigPath());
  Choose(form->ledBrightnessCbox, 5);
  twin_->InjectFault(EncoderFault::AckStream);
  twin_->InjectFault(EncoderFault::Refuse);
  form->button8->click();
  ExpectWarnings({"Unable to Save Config file."});
  EXPECT_EQ(Read(ConfigPath()), saved);

  // A malformed file is reported once (the seven keys go in one save) and left alone.
  Write(ConfigPath(), Broken);
  form->button8->click();
  ExpectWarnings({"Failed to update USBOvitoneUtilityCfg.ini file."});
  EXPECT_EQ(Read(ConfigPath()), Broken);
}

TEST_F(MainWindowTest, FactoryResetRescansAndShowsFactorySettingsOrNotConnected) {
  twin_ = sim::PlugEncoder();
  sim::EncoderSettings s = twin_->Settings();
  s.volLedBrightness = 2, s.jackLedBrightness = 3, s.keypadType = 1;
  twin_->SetSettings(s);
  // On the real clock: the encoder is back 1 ms after its reply, well within the (scaled) wait.
  Bus::Instance().UseVirtualClock(false);
  twin_->SetRejoinDelayMs(1);
  auto form = Start(true);
  EXPECT_EQ(Shown(form->keypadTypeCbox), "Alternate   ");

  form->button9->click();
  ExpectWarnings({});
  EXPECT_EQ(Sent(), Cmds({{0x0A, {}}, {0x01, {}}}));
  EXPECT_EQ(Shown(form->ledBrightnessCbox), "Volume LED Brightness - 6");
  EXPECT_EQ(Shown(form->jackLedBrightnessCbox), "JACK LED Brightness - 6");
  EXPECT_EQ(Lines(*form), Default);

  twin_->SetRejoinDelayMs(10'000'000);  // this time it stays away
  form->button9->click();
  ExpectWarnings({"Orvane Ovitone  not connected.."});
  EXPECT_EQ(Lines(*form), QStringList({NotConnected0, Default[1], Default[2]}));
  EXPECT_EQ(Shown(form->jackLedBrightnessCbox), "Jack LED Brightness");
  EXPECT_EQ(Shown(form->ledBrightnessCbox), "LED Brightness");
  EXPECT_EQ(Shown(form->keypadTypeCbox), "Keypad - Layout");
  EXPECT_EQ(Enabled(*form), Disconnected);
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
    twin_->ClearCommands();
    form->button3->click();
    Cmds expected = {{0x07, {uint8_t(layout)}}};
    if (layout == 2) expected.push_back({0x05, {225, 4, 0, 5, 224, 30, 0, 31}});
    expected.insert(expected.end(), {{0x02, {0, uint8_t(vol)}}, {0x02, {1, uint8_t(jack)}}, {0x01, {}}});
    EXPECT_EQ(Sent(), expected);
    ExpectWarnings({});
    EXPECT_EQ(Shown(form->ledBrightnessCbox), QString("Volume LED Brightness - %1").arg(vol));
    EXPECT_EQ(Shown(form->jackLedBrightnessCbox), QString("JACK LED Brightness - %1").arg(jack));
    EXPECT_EQ(Shown(form->keypadTypeCbox), form->keypadTypeCbox->itemText(layout));
  }

  // A refused step ends the sequence with its own message (the file still holds layout 2).
  const QStringList messages = {"Unable to set Keypad Type..", "Unable to Load Table..",
                                "Unable to set Volume KeyLED Brightness..",
                                "Unable to set Jack LED Brightness.."};
  for (int step = 0; step < 4; ++step) {
    twin_->ClearCommands();
    for (int i = 0; i < step; ++i) twin_->InjectFault(EncoderFault::AckStream);  // answered late, but fine
    twin_->InjectFault(EncoderFault::Refuse);
    form->button3->click();
    ExpectWarnings({messages[step]});
    EXPECT_EQ(Sent().size(), size_t(step + 1));
  }

  // Files it cannot use send nothing.
  for (const auto& [file, message] : std::initializer_list<std::pair<QByteArray, QString>>{
           {Broken, "Unable to read USBOvitoneUtilityCfg.ini file."},
           {Config("Yes", "two", "1", "1"), "KeypadLayout in USBOvitoneUtilityCfg.ini is not a number."},
           {Config("Yes", "0", "", "1"), "VolumeLedBrightness in USBOvitoneUtilityCfg.ini is not a number."},
           {Config("Yes", "1", "1", "7x"), "JackLedBrightness in USBOvitoneUtilityCfg.ini is not a number."},
           {Config("Yes", "1", "265", "1"),
            "VolumeLedBrightness in USBOvitoneUtilityCfg.ini is 265, which does not fit one byte (0 to 255)."},
           {Config("Yes", "2", "1", "1", "1,2,3,4,5,6,7,"),
            "CodeTableValues in USBOvitoneUtilityCfg.ini does not hold eight numbers."}}) {
    twin_->ClearCommands();
    Write(ConfigPath(), file);
    form->button3->click();
    ExpectWarnings({message});
    EXPECT_EQ(Sent(), Cmds()) << message.toStdString();
  }
}

TEST_F(MainWindowTest, ImportAndExportTheConfigFile) {
  auto form = Start(false);
  fake_.messages.clear();
  const QByteArray good = "; from another machine\n" + Config("Yes", "2", "3", "7");
  QByteArray noSerial = good;
  noSerial.replace(" SerialNumber=OV000123\n", "");
  const auto import = [&](const QString& folder, const char* name, const QByteArray& content) {
    Write(Folder(folder) + "/" + name, content);
    fake_.files.push_back(home_.path() + "/" + folder + "/" + name);
    form->aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem->trigger();
  };

  form->aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem->trigger();  // cancelled
  ExpectWarnings({});
  ASSERT_EQ(fake_.openRequests.size(), 1u);
  EXPECT_EQ(fake_.openRequests[0].filter, "(*.ini);;All files (*.ini)");
  EXPECT_EQ(fake_.openRequests[0].presetName, "");

  import("lower", "usbovitoneutilitycfg.ini", good);
  ExpectWarnings({"Incorrect Filename."});
  import("noserial", "USBOvitoneUtilityCfg.ini", noSerial);
  ExpectWarnings({"File is incorrect format."});
  import("broken", "USBOvitoneUtilityCfg.ini", Broken);
  ExpectWarnings({"Exception :Failed to copy the new file."});
  EXPECT_EQ(Read(ConfigPath()), EmptyConfig);
  import("good", "USBOvitoneUtilityCfg.ini", good);
  ExpectWarnings({});
  EXPECT_EQ(Read(ConfigPath()), good);

  // Export: a cancel is reported, an existing file replaced only on Yes.
  const QByteArray& config = good;
  const auto exportTo = [&](const QString& folder) {
    if (!folder.isEmpty()) fake_.folders.push_back(folder);
    form->exitToolStripMenuItem->trigger();
  };

  exportTo({});
  ExpectWarnings({"Unable to save the cfg file."});
  ASSERT_EQ(fake_.folderRequests.size(), 1u);
  EXPECT_EQ(fake_.folderRequests[0].description, "Select Folder - To Copy The USBFendalUtilityCfg.ini File");

  const QString target = Folder("full") + "/USBOvitoneUtilityCfg.ini";
  Write(target, "old");
  fake_.answers = {ui::Answer::No, ui::Answer::Yes};
  exportTo(home_.path() + "/full");
  ASSERT_EQ(fake_.messages.size(), 1u);
  EXPECT_EQ(Describe(fake_.messages[0]),
            Describe({"USBOvitoneUtilityCfg.ini file already exists. Do you want to overwrite it?",
                      "Save USBOvitoneUtilityCfg File", ui::Buttons::YesNo, ui::Icon::Question}));
  EXPECT_EQ(Read(target), "old");
  EXPECT_EQ(Read(ConfigPath()), config);

  exportTo(home_.path() + "/full");
  EXPECT_EQ(fake_.messages.size(), 2u);
  EXPECT_EQ(Read(target), config);

  fake_.messages.clear();
  exportTo(Folder("empty"));
  ExpectWarnings({});
  EXPECT_EQ(Read(home_.path() + "/empty/USBOvitoneUtilityCfg.ini"), config);
}

}  // namespace
}  // namespace pellix_usb_encoder
