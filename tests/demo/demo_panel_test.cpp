// The demo's "Simulated encoder" panel: the keys it types into the focused window (and the
// self test), the jack and the cable, the faults it switches on, the display following the twin.
#include "demo/demo_panel.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "selftest/audio.h"
#include "selftest/self_test_window.h"
#include "sim/loader_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus, sim::EncoderFault, testing::WaitUntil;
using Table = std::array<uint8_t, 8>;

// "F13", "Shift+A 'A'": a typed key as the tests compare it.
QString Describe(const std::optional<TypedKey>& key) {
  if (!key) return QStringLiteral("nothing");
  const QString name = QKeySequence(key->combination).toString();
  return key->text.isEmpty() ? name : name + " '" + key->text + "'";
}

// The keys each code table types: table 0 F13..F16, table 1 the volume keys first, the
// custom table its bytes (Shift types the shifted character, Ctrl makes a shortcut
// without text, 0x82 has no key); every key the code table editor offers can be typed.
TEST(DemoPanelKeys, EachCodeTableTypesItsKeys) {
  const Table custom{0xE1, 0x04, 0x00, 0x1E, 0xE4, 0x06, 0x00, 0x82};
  QStringList typed;
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < 4; ++i) typed << Describe(KeyOfCodeTable(t, custom, ModuleKey(i)));
  EXPECT_EQ(typed, QStringList({"F13", "F14", "F15", "F16", "Volume Up", "Volume Down", "F15", "F16", "Shift+A 'A'",
                                "1 '1'", "Ctrl+C", "nothing"}));
  struct Case { uint8_t modifier, usage; const char* expected; };
  for (const Case& c : {Case{0xE5, 0x1F, "Shift+2 '@'"}, {0, 0x73, "F24"}, {0, 0x59, "Num+1 '1'"}, {0xE2, 0x2B, "Alt+Tab"},
                        {0xE7, 0x04, "Meta+A"}, {0x04, 0x05, "B 'b'"}, {0, 0x03, "nothing"}, {0, 0xE0, "nothing"}})
    EXPECT_EQ(Describe(QtKeyForUsage(c.modifier, c.usage)), c.expected) << std::hex << int(c.usage);
  for (int usage = 0x04; usage <= 0x81; ++usage) EXPECT_TRUE(QtKeyForUsage(0, uint8_t(usage))) << std::hex << usage;
}

// A window of the program that takes the keyboard focus and logs the keys it receives.
struct KeyRecorder : QWidget {
  KeyRecorder() { setWindowTitle("Receiver"), setFocusPolicy(Qt::StrongFocus), resize(200, 100); }
  void keyPressEvent(QKeyEvent* e) override { keys << "press " + Seen(e); }
  void keyReleaseEvent(QKeyEvent* e) override { keys << "release " + Seen(e); }
  static QString Seen(QKeyEvent* e) { return Describe(TypedKey{e->keyCombination(), e->text()}); }
  QStringList keys;
};

bool Focus(QWidget* window, QWidget* focus) {
  window->show(), window->activateWindow(), focus->setFocus();
  return WaitUntil([focus] { return QApplication::focusWidget() == focus; });
}

struct NullAudio : AudioDevice {
  void Close() override {}
  void PlayTestSound(const QString&) override {}
  void OpenRecorder() override {}
  void StartRecording() override {}
  void PlayRecording() override {}
  bool CanRecord() override { return false; }
  bool StopRecording() override { return false; }
  bool CanPlayRecording() override { return false; }
};

class DemoPanelTest : public testing::MainWindowFixture {
 protected:
  void SetUp() override {
    MainWindowFixture::SetUp();
    twin_ = sim::PlugEncoder();
    loader_ = sim::AttachLoaderTo(twin_);
    panel_ = std::make_unique<DemoPanel>(twin_, loader_);
  }
  void TearDown() override { panel_.reset(), MainWindowFixture::TearDown(); }
  // Opens the encoder as the program does (into hid_handle, which TearDown closes).
  bool OpenEncoder() {
    auto lock = LockDevice();
    if (hid_handle) hid_exit_safely(hid_handle);
    char manufacturer[DeviceNameBufferSize], product[DeviceNameBufferSize];
    return (hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product)) != nullptr;
  }
  int32_t Send(uint8_t command) {
    auto lock = LockDevice();
    uint8_t reply[64];
    uint32_t length = 0;
    return USBEncoderSendAndReceive_a(hid_handle, command, nullptr, 0, reply, sizeof reply, &length, CommandTimeoutMs);
  }
  void SetTable(int keypadType, const Table& table = {}) {
    sim::EncoderSettings s = twin_->Settings();
    s.keypadType = uint8_t(keypadType), s.keyCodeTable = keypadType == 2 ? table : s.keyCodeTable;
    twin_->SetSettings(s);
  }
  QString State() { return panel_->Refresh(), panel_->stateLabel->text(); }
  QCheckBox* Fault(EncoderFault fault) { return panel_->faultBoxes.at(fault); }

  testing::FakeInteraction fake_;
  std::shared_ptr<sim::EncoderTwin> twin_;
  std::shared_ptr<sim::LoaderTwin> loader_;
  std::unique_ptr<DemoPanel> panel_;
};

TEST_F(DemoPanelTest, KeysReachTheFocusedWindowNeverThePanel) {
  EXPECT_TRUE(panel_->windowFlags() & Qt::WindowDoesNotAcceptFocus);
  for (QWidget* child : panel_->findChildren<QWidget*>())
    EXPECT_EQ(child->focusPolicy(), Qt::NoFocus) << child->metaObject()->className();
  panel_->show();
  KeyRecorder receiver;
  ASSERT_TRUE(Focus(&receiver, &receiver));
  panel_->keyButtons[0]->click();  // Vol Up, code table 0
  ASSERT_TRUE(WaitUntil([&] { return receiver.keys.size() == 2; }));
  EXPECT_EQ(receiver.keys, QStringList({"press F13", "release F13"}));
  EXPECT_EQ(panel_->statusLine->text(), "Vol Up typed F13 into “Receiver”.");

  // A window manager that activates the panel anyway (the headless platform activates
  // every window it shows): the keys still go to the window that had the focus. Keys
  // without a Qt key type nothing, and the status line says why; the custom table's
  // modifier comes with its key.
  panel_->hide(), panel_->show();
  ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == panel_.get(); }));
  receiver.keys.clear();
  SetTable(2, {0x00, 0x80, 0xE1, 0x04, 0x00, 0x00, 0x00, 0x82});
  panel_->Press(ModuleKey::JackIn);
  EXPECT_EQ(panel_->statusLine->text(), "Jack inserted. Jack IN has no key in the custom table: nothing typed.");
  panel_->Press(ModuleKey::JackOut);
  EXPECT_EQ(panel_->statusLine->text(),
            "Jack removed. Jack OUT sends usage 0x82, which the demo cannot type: nothing typed.");
  panel_->keyButtons[1]->click();
  ASSERT_TRUE(WaitUntil([&] { return receiver.keys.size() == 2; }));
  EXPECT_EQ(receiver.keys, QStringList({"press Shift+A 'A'", "release Shift+A 'A'"}));
}

TEST_F(DemoPanelTest, TheSelfTestMarksTheKeysThePanelTypes) {
  Bus::Instance().UseVirtualClock(false);  // the self test's worker is a real thread
  SetAudioFactory([] { return std::make_unique<NullAudio>(); });
  SetTable(1);
  ASSERT_TRUE(OpenEncoder());
  QPointer<self_test> test = new self_test();
  // The key prompt is answered at once; the test then switches to code table 0.
  ASSERT_TRUE(WaitUntil([this] { return twin_->Settings().keypadType == 0; }));
  ASSERT_TRUE(Focus(test, test->endBtn));
  panel_->show();
  panel_->keyButtons[0]->click(), panel_->keyButtons[2]->click();  // Vol Up, Insert jack: F13, F15
  EXPECT_TRUE(WaitUntil([] { return self_test::buttonArray[6] && self_test::buttonArray[8]; }));
  EXPECT_FALSE(self_test::buttonArray[7] || self_test::buttonArray[9]);
  EXPECT_TRUE(test->button7->property("keyMarked").toBool());
  ASSERT_TRUE((test->endBtn->click(), WaitUntil([&] { return test.isNull(); })));
  EXPECT_EQ(twin_->Settings().keypadType, 1);  // restored
  SetAudioFactory({});
}

// While the program waits for a silent encoder its windows keep running (timers fire);
// the panel, standing for the hardware, works at once (a cable pulled mid-wait), while a
// click on a window of the program waits until the program's call has returned.
TEST_F(DemoPanelTest, ThePanelIsNeverHeldWhileTheProgramWaits) {
  ASSERT_TRUE(OpenEncoder());
  QPushButton programButton("a control of the program");
  int programClicks = 0, programClicksDuringWait = -1, fired = 0;
  QObject::connect(&programButton, &QPushButton::clicked, [&] { ++programClicks; });
  std::atomic<bool> open{false};
  SetExchangeRunner([&](const std::function<void()>& exchange) {
    platform::RunResponsively([&] {
      while (!open) std::this_thread::yield();
      exchange();
    });
  });
  bool unpluggedDuringWait = false;
  QTimer timer;  // the gate opens at its fifth tick
  QObject::connect(&timer, &QTimer::timeout, [&] {
    if (++fired == 3) {
      QTest::mouseClick(&programButton, Qt::LeftButton);
      QTest::mouseClick(panel_->unplugButton, Qt::LeftButton);
      unpluggedDuringWait = !Bus::Instance().IsPlugged(*twin_);
      programClicksDuringWait = programClicks;
    }
    open = fired >= 5;
  });
  timer.start(1);
  twin_->InjectFault(EncoderFault::Silence);
  EXPECT_EQ(SendKeypadType(1), ResultNoDevice);  // the cable went while it waited
  timer.stop();
  SetExchangeRunner([](const std::function<void()>& exchange) { platform::RunResponsively(exchange); });
  EXPECT_TRUE(unpluggedDuringWait);
  EXPECT_EQ(programClicksDuringWait, 0);
  EXPECT_TRUE(WaitUntil([&] { return programClicks == 1; }));
}

// Each fault box stays on until switched off, independently of the others; dropping off
// the bus shows as unplugged until Replug and stays on for the next command.
TEST_F(DemoPanelTest, FaultsStayUntilSwitchedOffEachOnItsOwn) {
  ASSERT_TRUE(OpenEncoder());
  Fault(EncoderFault::Refuse)->click(), Fault(EncoderFault::BadStatus)->click();
  EXPECT_EQ(Send(GetStatus), ResultRefused);
  EXPECT_EQ(Send(GetStatus), ResultRefused);  // until switched off
  Fault(EncoderFault::Refuse)->click();
  EXPECT_NE(Send(GetStatus), ResultOk);  // the error status is still on
  Fault(EncoderFault::BadStatus)->click();
  EXPECT_EQ(Send(GetStatus), ResultOk);
  Fault(EncoderFault::Silence)->click();
  EXPECT_EQ(Send(GetStatus), ResultTimeout);  // at once on the virtual clock
  Fault(EncoderFault::Silence)->click();
  EXPECT_EQ(Send(GetStatus), ResultOk);
  Fault(EncoderFault::UnplugDuringExchange)->click();
  for (int replug = 0; replug < 2; ++replug) {
    EXPECT_NE(Send(GetStatus), ResultOk);
    EXPECT_EQ(State(), "Unplugged");
    panel_->replugButton->click();
    ASSERT_TRUE(OpenEncoder());
  }
  Fault(EncoderFault::UnplugDuringExchange)->click();
  EXPECT_EQ(Send(GetStatus), ResultOk);
  panel_->accessDeniedBox->click();
  EXPECT_FALSE(OpenEncoder());
  panel_->accessDeniedBox->click();
  EXPECT_TRUE(OpenEncoder());
}

// The display follows the twin by itself; the jack buttons move the jack; the cable
// takes the encoder (and its firmware loader) off the bus and puts it back.
TEST_F(DemoPanelTest, DisplayJackAndCableFollowTheTwin) {
  SetTable(2, {0xE1, 0x04, 0x00, 0x81, 0x00, 0x00, 0x00, 0x68});
  twin_->SetSettings([&] { auto s = twin_->Settings(); s.volLedBrightness = 3, s.jackLedBrightness = 0; return s; }());
  twin_->SetFirmwareVersion("V1.3.0");
  ASSERT_TRUE(WaitUntil([this] { return panel_->firmwareLabel->text() == "V1.3.0"; }));  // the poll
  EXPECT_EQ(panel_->volumeLeds[0]->Level() * 10 + panel_->jackLed->Level(), 30);
  EXPECT_EQ(panel_->volumeLevelLabel->text() + "|" + panel_->jackLevelLabel->text(), "Level 3|Off");
  EXPECT_EQ(panel_->codeTableLabel->text(), "Customised (2)");
  EXPECT_EQ(panel_->keyLabels[1]->text(), "→  0x00  0x81   Volume Down");

  panel_->keyButtons[2]->click();
  EXPECT_TRUE(twin_->JackInserted() && !panel_->keyButtons[2]->isEnabled());  // in already
  EXPECT_EQ(panel_->jackLabel->text(), "In");
  panel_->keyButtons[3]->click(), panel_->unplugButton->click();
  EXPECT_FALSE(twin_->JackInserted());
  EXPECT_EQ(State(), "Unplugged");
  EXPECT_EQ(panel_->volumeLevelLabel->text(), "No power");
  panel_->keyButtons[2]->click();  // the jack still moves, but nothing is typed
  EXPECT_TRUE(twin_->JackInserted());
  EXPECT_EQ(panel_->statusLine->text(), "Jack inserted. The encoder is not running on the bus: Jack IN typed nothing.");
  panel_->replugButton->click();
  EXPECT_EQ(State(), "On the bus");
  EXPECT_EQ(panel_->volumeLeds[0]->Level(), 6);  // powered up with its defaults

  // Sent into its firmware loader, the encoder leaves and the loader joins.
  ASSERT_TRUE(OpenEncoder());
  ASSERT_EQ(Send(EnterFirmwareUpgrade), ResultOk);
  Bus::Instance().AdvanceMs(1000);
  ASSERT_TRUE(Bus::Instance().IsPlugged(*loader_));
  EXPECT_EQ(State(), "In its firmware loader");
  panel_->unplugButton->click();
  EXPECT_FALSE(Bus::Instance().IsPlugged(*loader_));
  EXPECT_EQ(State(), "Unplugged");
  panel_->replugButton->click();
  EXPECT_EQ(State(), "On the bus");
}

}  // namespace
}  // namespace pellix_usb_encoder
