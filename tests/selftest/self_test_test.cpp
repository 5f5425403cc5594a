// The self-test window against the encoder twin on the real bus clock (its worker is a
// real thread), with a fake player/recorder and scaled waits.
#include "selftest/self_test_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QAudioDevice>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMediaDevices>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "device/device_lock.h"
#include "device/hid_transport.h"
#include "selftest/audio.h"
#include "sim/encoder_twin.h"
#include "support/ui/media.h"
#include "support/ui/message_box.h"
#include "support/service/platform.h"


namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;
using testing::WaitUntil;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;

// The player/recorder: logs every call; recording and stopping work as the test says,
// and, like the real one, only on an open recorder (playing or closing drops it).
struct AudioLog {
  QStringList calls;
  bool canRecord = true, stopWorks = true;
};
class FakeAudio : public AudioDevice {
 public:
  explicit FakeAudio(std::shared_ptr<AudioLog> log) : log_(std::move(log)) {}
  void Close() override { log_->calls << "Close", open_ = recording_ = false; }
  void PlayTestSound(const QString& path) override {
    log_->calls << "Play " + path, open_ = recording_ = false;
  }
  void OpenRecorder() override { log_->calls << "OpenRecorder", open_ = true, recording_ = false; }
  bool CanRecord() override { return log_->calls << "CanRecord", open_ && log_->canRecord; }
  void StartRecording() override { log_->calls << "StartRecording", recording_ = open_; }
  bool StopRecording() override {
    log_->calls << "StopRecording";
    return std::exchange(recording_, false) && log_->stopWorks;
  }
  bool CanPlayRecording() override { return log_->calls << "CanPlayRecording", open_; }
  void PlayRecording() override { log_->calls << "PlayRecording"; }

 private:
  std::shared_ptr<AudioLog> log_;
  bool open_ = false, recording_ = false;
};

// The user: FakeInteraction answers the questions; the key prompt (asked on the worker
// thread) is answered at once, or held open until Release() after HoldPrompt().
class TestUser : public testing::FakeInteraction {
 public:
  QString CustomBox(const QString& text, int messageType) override {
    std::unique_lock<std::mutex> lock(mutex_);
    prompts_.emplace_back(text, messageType), open_ = true;
    changed_.wait(lock, [this] { return !hold_ || release_; });
    release_ = open_ = false;
    return QStringLiteral("Cancel");
  }
  void HoldPrompt() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    changed_.notify_all();
  }
  bool PromptOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }
  size_t Prompts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return prompts_.size();
  }
  std::vector<std::pair<QString, int>> prompts_;  // read once the worker waits or is done

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool hold_ = false, release_ = false, open_ = false;
};

Bytes Request(uint8_t command, const Bytes& payload) { return testing::RequestReport(command, payload); }

Cmds Led(uint8_t volume, uint8_t jack) { return {{2, {0, volume}}, {2, {1, jack}}}; }
Cmds operator+(Cmds a, const Cmds& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
const Cmds Round = Led(0, 0) + Led(8, 8);
const Cmds Status = {{1, {}}};
const Cmds Table0 = {{7, {0}}};
const Cmds Restore = Cmds({{7, {1}}}) + Led(3, 5);  // the twin starts at table 1, LEDs 3 and 5
Cmds Tail(const Cmds& c, size_t n) { return Cmds(c.end() - std::min(n, c.size()), c.end()); }

// Everything the worker sends when nothing goes wrong, up to the key prompt.
Cmds UpToPrompt() {
  Cmds c = Round + Round + Round + Round + Led(0, 0);
  for (uint8_t level = 0; level <= 9; ++level) c = c + Led(level, level);
  return c + Led(0, 0) + Led(3, 5);
}

QString Describe(const ui::MessageRequest& m) {
  return m.text + " | " + m.caption + " | " + (m.buttons == ui::Buttons::Ok ? "Ok" : "YesNo") +
         " | " + QString::number(int(m.icon));
}
QString Warning(const QString& text, const QString& caption, ui::Buttons b = ui::Buttons::Ok) {
  return Describe({text, caption, b, ui::Icon::Warning});
}
const QString MicQuestion = Warning("Does Ovitone have microphone support?\n", "OrvaneOvitoneUtility",
                                    ui::Buttons::YesNo);
const QString MicHint = Warning(
    "Please make sure <USB Advanced Audio device> is chosen as the input device in the system's sound "
    "settings (Settings > Sound > Input)\n", "OrvaneOvitoneUtility");
const QString NoRecord = Warning("This device doesn't record.\n", "Orvane Ovitone");

void Pump(int ms) { WaitUntil([] { return false; }, ms); }

// A point of a key button clear of its text and corners.
bool BlueBeside(QWidget* button) {
  const QColor c = button->grab().toImage().pixelColor(8, button->height() / 2);
  return c.blue() > 150 && c.blue() > c.red() + 60;
}

class SelfTestWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Instance().Reset();  // the real clock: the worker is a thread
    platform::SetTimeScale(0.001);
    twin_ = sim::PlugEncoder();
    sim::EncoderSettings s = twin_->Settings();
    s.volLedBrightness = 3, s.jackLedBrightness = 5, s.keypadType = 1;
    twin_->SetSettings(s);
    auto lock = LockDevice();
    char manufacturer[DeviceNameBufferSize], product[DeviceNameBufferSize];
    hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
    ASSERT_NE(hid_handle, nullptr);
    SetAudioFactory([log = audio_] { return std::make_unique<FakeAudio>(log); });
    twin_->ClearCommands();
    Bus::Instance().ClearTraffic();
  }
  void TearDown() override {
    std::vector<QPointer<self_test>> left;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* window = qobject_cast<self_test*>(w)) left.emplace_back(window);
    user_.Release();
    for (const auto& window : left) delete window.data();
    user_.Release();
    SetAudioFactory({});
    auto lock = LockDevice();
    if (hid_handle) hid_exit_safely(hid_handle);
    hid_handle = nullptr;
    Bus::Instance().Reset();
  }

  // A new window, shown as the opener shows it. `beforeWork` runs after creation and
  // before the worker's first command (the worker first waits for the GUI thread).
  QPointer<self_test> Open(const std::function<void()>& beforeWork = {}) {
    auto* window = new self_test();
    if (beforeWork) beforeWork();
    window->show();
    return window;
  }
  Cmds Sent() const {
    Cmds out;
    for (const auto& c : twin_->Commands()) out.emplace_back(c.command, c.payload);
    return out;
  }
  QStringList Messages() const {
    QStringList out;
    for (const auto& m : user_.messages) out << Describe(m);
    return out;
  }
  bool WaitForPrompt() { return WaitUntil([this] { return user_.PromptOpen(); }); }
  static bool Gone(const QPointer<self_test>& w) { return w.isNull(); }

  TestUser user_;
  std::shared_ptr<AudioLog> audio_ = std::make_shared<AudioLog>();
  std::shared_ptr<sim::EncoderTwin> twin_;
};

TEST_F(SelfTestWindowTest, FullRunFromCreationToClose) {
  user_.HoldPrompt();
  QPointer<self_test> w = Open();
  EXPECT_FALSE(w->windowFlags() & (Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
  EXPECT_EQ(Messages(), QStringList({MicQuestion, MicHint}));  // answered Yes
  EXPECT_TRUE(w->button18->isVisibleTo(w));
  EXPECT_EQ(w->ledLevelLbl->text(), "3");
  QStringList keys;
  for (QPushButton* b : {w->button7, w->button8, w->button9, w->button10})
    keys << (b->isVisibleTo(w) ? b->text() : "hidden");
  EXPECT_EQ(keys, QStringList({"Volume Up", "Volume Down", "jack in", "jack out"}));
  EXPECT_EQ(audio_->calls, QStringList({"Close", "Play " + media::Path(media::TestSound)}));

  ASSERT_TRUE(WaitForPrompt());
  EXPECT_EQ(user_.prompts_, (std::vector<std::pair<QString, int>>{{"Press each key  on Ovitone... ", 1}}));
  EXPECT_TRUE(w->ledCheckBox->isChecked() && w->brightnessCheckBox->isChecked());
  EXPECT_EQ(w->ledLevelLbl->text(), "9");
  for (QLabel* l : {w->ledLbl, w->ledColourLbl, w->ledBrightnessLbl, w->ledLevelLbl})
    EXPECT_EQ(l->palette().color(QPalette::Window), QColor(144, 238, 144));
  EXPECT_EQ(twin_->Settings().volLedBrightness, 3);  // back at the levels read at creation
  EXPECT_EQ(twin_->Settings().jackLedBrightness, 5);

  // Confirmed: code table 0, then the key phase lasts until "Close".
  user_.Release();
  ASSERT_TRUE(WaitUntil([this] { return twin_->Settings().keypadType == 0; }));
  Pump(30);
  ASSERT_TRUE(w && w->TestRunning());
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));

  std::vector<Bytes> wire, want;
  for (const auto& r : Bus::Instance().Writes()) wire.push_back(r.bytes);
  for (const auto& [command, payload] : Status + UpToPrompt() + Table0 + Restore)
    want.push_back(Request(uint8_t(command), payload));
  EXPECT_EQ(wire, want);
  EXPECT_EQ(audio_->calls.last(), "Close");
}

TEST_F(SelfTestWindowTest, CloseDuringTheLedTestEndsAtTheEndOfTheStep) {
  platform::SetTimeScale(0.05);  // 25 ms per LED step: "Close" lands in round 1
  QPointer<self_test> w = Open();
  ASSERT_TRUE(WaitUntil([this] { return Sent().size() >= 3; }));
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  EXPECT_FALSE(w->endBtn->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  const Cmds sent = Sent();
  const size_t rounds = (sent.size() - 4) / 4;
  ASSERT_TRUE(rounds == 1 || rounds == 2) << sent.size();
  EXPECT_EQ(sent, Status + Round + (rounds == 2 ? Round : Cmds()) + Restore);
  EXPECT_EQ(user_.Prompts(), 0u);
}

TEST_F(SelfTestWindowTest, CloseWhileThePromptIsOpenWaitsForTheAnswer) {
  user_.HoldPrompt();
  QPointer<self_test> w = Open();
  ASSERT_TRUE(WaitForPrompt());
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  Pump(50);
  ASSERT_FALSE(Gone(w));
  EXPECT_EQ(Sent().size(), 1 + UpToPrompt().size());
  user_.Release();
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  EXPECT_EQ(Sent(), Status + UpToPrompt() + Table0 + Restore);
}

TEST_F(SelfTestWindowTest, FailedCommandsEndTheTestOnlyWhenExamined) {
  // Only the jack LED result after each step is examined: three refusals (volume off,
  // jack off, volume on) leave the test running into its key phase.
  QPointer<self_test> w = Open([this] { twin_->InjectFault(EncoderFault::Refuse, 3); });
  ASSERT_TRUE(WaitUntil([this] { return Sent().size() == 1 + UpToPrompt().size() + 1; }));
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));

  // A refused jack LED command ends the test: the restore runs, the window closes.
  twin_->ClearCommands();
  w = Open([this] { twin_->InjectFault(EncoderFault::Refuse, 4); });
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  EXPECT_EQ(Sent(), Status + Round + Restore);
  EXPECT_EQ(user_.Prompts(), 1u);  // none for this window

  // So does a refused code table 0 after the prompt.
  twin_->ClearCommands();
  user_.HoldPrompt();
  w = Open();
  ASSERT_TRUE(WaitForPrompt());
  twin_->InjectFault(EncoderFault::Refuse, 1);
  user_.Release();
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  EXPECT_EQ(Tail(Sent(), 4), Table0 + Restore);
  EXPECT_EQ(twin_->Settings().keypadType, 1);
}

// The real key prompt: the other windows stay usable while it is open, and neither
// closing the window nor the program's end hangs on it.
TEST_F(SelfTestWindowTest, RealPromptNeverHoldsUpTheProgram) {
  QTimer poll;
  std::function<void(Qorn_test::CustomMessageBox*)> onPrompt;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    for (QWidget* t : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<Qorn_test::CustomMessageBox*>(t);
      if (box && box->isVisible() && onPrompt) {
        std::exchange(onPrompt, nullptr)(box);  // runs inside the prompt's own loop
        break;  // the list may hold deleted windows now
      }
    }
  });
  poll.start(2);
  // The fake answers the creation questions, then steps aside for the real prompt.
  auto open = [&] {
    ui::SetInteraction(&user_);
    return Open([] { ui::SetInteraction(nullptr); });
  };

  Form1 form;
  form.show();
  QPointer<self_test> w = open();
  bool free = false, marked = false, running = false;
  onPrompt = [&](Qorn_test::CustomMessageBox* box) {
    free = QApplication::activeModalWidget() == nullptr && box->cancelButton_->text() == "OK";
    QTest::keyClick(w, Qt::Key_F13);  // keys are marked in every phase
    marked = self_test::buttonArray[6];
    QTest::mouseClick(w->endBtn, Qt::LeftButton);  // noted; the prompt stays
    running = w->TestRunning() && box->isVisible();
    w->close();  // as when the program closes every window
  };
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  EXPECT_TRUE(free && marked && running);
  EXPECT_EQ(Qorn_test::CustomMessageBox::Button_ID_, "Cancel");
  EXPECT_EQ(Tail(Sent(), 3), Restore);

  // The program's exit closes every window; the test ends as the program quits.
  twin_->ClearCommands();
  w = open();
  onPrompt = [this](Qorn_test::CustomMessageBox*) {
    twin_->SetReplyLatencyMs(150);  // the worker is still busy when the loop has ended
    QApplication::closeAllWindows();
  };
  ASSERT_TRUE(WaitUntil([&] { return !onPrompt; }));
  ASSERT_FALSE(Gone(w));
  w->StopTestAndWait();  // returns (a hang would end the test by its time-out)
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  EXPECT_EQ(Tail(Sent(), 4), Table0 + Restore);
  twin_->SetReplyLatencyMs(0);

  // Deleted from inside the prompt's loop: the worker finishes and restores by itself.
  twin_->ClearCommands();
  w = open();
  onPrompt = [&](Qorn_test::CustomMessageBox*) { delete w.data(); };
  ASSERT_TRUE(WaitUntil([&] { return Sent() == Status + UpToPrompt() + Table0 + Restore; }));
  EXPECT_TRUE(Gone(w));
}

TEST(SelfTestKeys, OnlyF13ToF16InTheirQtAndLinuxForms) {
  struct Case { int key; quint32 scan; int index; };
  for (const Case& c : {Case{Qt::Key_F13, 0, 0}, {Qt::Key_F14, 0, 1}, {Qt::Key_F15, 0, 2},
                        {Qt::Key_F16, 0, 3}, {Qt::Key_Tools, 179, 0}, {Qt::Key_Launch5, 0, 1},
                        {Qt::Key_Launch6, 0, 2}, {Qt::Key_Launch7, 0, 3}, {Qt::Key_unknown, 191, 0},
                        {Qt::Key_unknown, 194, 3}, {Qt::Key_F12, 96, -1}, {Qt::Key_F17, 0, -1},
                        {Qt::Key_Launch4, 0, -1}, {Qt::Key_Launch8, 0, -1},
                        {Qt::Key_unknown, 190, -1}, {Qt::Key_unknown, 195, -1}})
    EXPECT_EQ(SelfTestKeyIndex(c.key, c.scan), c.index) << std::hex << c.key << std::dec << " " << c.scan;
}

TEST_F(SelfTestWindowTest, KeyMarksOncePerKeyAndKeysActivateNothing) {
  user_.HoldPrompt();
  QPointer<self_test> w = Open();
  QPushButton* keys[4] = {w->button7, w->button8, w->button9, w->button10};
  const QPoint place = w->button7->mapTo(w, QPoint());
  EXPECT_FALSE(BlueBeside(w->button7));
  auto marks = [&] {
    std::vector<bool> out;
    for (int i = 0; i < 4; ++i) out.push_back(self_test::buttonArray[6 + i] && keys[i]->property("keyMarked").toBool());
    return out;
  };
  auto press = [&](int key, quint32 scan, bool repeat = false) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, scan, 0, 0, QString(), repeat);
    QApplication::sendEvent(w->focusWidget() ? w->focusWidget() : w.data(), &event);
  };

  press(Qt::Key_F13, 0);  // during the LED test
  EXPECT_EQ(marks(), std::vector<bool>({true, false, false, false}));
  EXPECT_EQ(w->button7->parentWidget(), w->pictureBox1);
  EXPECT_EQ(w->button7->mapTo(w, QPoint()), place);  // same place on the screen
  EXPECT_TRUE(BlueBeside(w->button7));
  w->button7->setProperty("keyMarked", false);  // a second mark would set it again
  press(Qt::Key_F13, 0, true);
  press(Qt::Key_Tools, 179);
  EXPECT_FALSE(w->button7->property("keyMarked").toBool());
  w->button7->setProperty("keyMarked", true);
  press(Qt::Key_F12, 96);
  press(Qt::Key_unknown, 195);
  ASSERT_TRUE(WaitForPrompt());
  press(Qt::Key_unknown, 192);  // the native F14, whatever the keymap calls it
  press(Qt::Key_Launch7, 194);
  EXPECT_EQ(marks(), std::vector<bool>({true, true, false, true}));

  // No key press reaches a control: Space and Enter on the focused Play button.
  w->button17->setFocus();
  const QStringList calls = audio_->calls;
  QTest::keyClick(w->button17, Qt::Key_Space);
  QTest::keyClick(w->button17, Qt::Key_Return);
  EXPECT_EQ(audio_->calls, calls);

  // A new window starts with no key seen.
  user_.Release();
  delete w.data();
  w = Open();
  EXPECT_EQ(self_test::buttonArray, (std::array<bool, 10>{}));
}

TEST_F(SelfTestWindowTest, MicrophoneQuestionAndRecordButton) {
  user_.answers = {ui::Answer::No};
  QPointer<self_test> w = Open();
  EXPECT_EQ(Messages(), QStringList({MicQuestion}));
  EXPECT_FALSE(w->button18->isVisibleTo(w));
  delete w.data();

  user_.messages.clear();
  w = Open();
  audio_->calls.clear();
  auto click = [&](QPushButton* b) { return QTest::mouseClick(b, Qt::LeftButton), b->text(); };
  EXPECT_EQ(click(w->button18), "Start Record");
  EXPECT_EQ(click(w->button18), "Stop Record");
  EXPECT_EQ(click(w->button18), "Record");
  EXPECT_EQ(audio_->calls, QStringList({"Close", "OpenRecorder", "CanRecord", "CanRecord", "StartRecording",
                                        "StopRecording", "CanPlayRecording", "PlayRecording"}));
  audio_->calls.clear();
  click(w->button17);
  EXPECT_EQ(audio_->calls, QStringList({"Close", "Play " + media::Path(media::TestSound)}));

  // Refusals: no recording device, a recorder that stops answering, a failed stop.
  audio_->canRecord = false;
  EXPECT_EQ(click(w->button18), "Record");
  audio_->canRecord = true;
  click(w->button18);
  audio_->canRecord = false;
  EXPECT_EQ(click(w->button18), "Record");
  audio_->canRecord = true, audio_->stopWorks = false;
  click(w->button18), click(w->button18);
  audio_->calls.clear();
  EXPECT_EQ(click(w->button18), "Record");
  EXPECT_EQ(audio_->calls, QStringList({"StopRecording"}));  // nothing played back
  EXPECT_EQ(Messages(), QStringList({MicQuestion, MicHint, NoRecord, NoRecord, NoRecord}));
}

// Play takes the audio handle from the recorder: a recording is stopped first, and the
// Record button starts over instead of later stopping a recorder that is gone.
TEST_F(SelfTestWindowTest, PlayDuringARecordingEndsItAndResetsRecord) {
  QPointer<self_test> w = Open();
  auto click = [&](QPushButton* b) { return QTest::mouseClick(b, Qt::LeftButton), b->text(); };
  const QString play = "Play " + media::Path(media::TestSound);
  click(w->button18), click(w->button18);
  audio_->calls.clear();
  EXPECT_EQ(click(w->button17), "Play");
  EXPECT_EQ(w->button18->text(), "Record");
  EXPECT_EQ(audio_->calls, QStringList({"StopRecording", "Close", play}));

  // From an open recorder not yet recording, too.
  EXPECT_EQ(click(w->button18), "Start Record");
  click(w->button17);
  EXPECT_EQ(w->button18->text(), "Record");

  // The next cycle records and plays back as usual.
  audio_->calls.clear();
  EXPECT_EQ(click(w->button18), "Start Record");
  EXPECT_EQ(click(w->button18), "Stop Record");
  EXPECT_EQ(click(w->button18), "Record");
  EXPECT_EQ(audio_->calls, QStringList({"Close", "OpenRecorder", "CanRecord", "CanRecord", "StartRecording",
                                        "StopRecording", "CanPlayRecording", "PlayRecording"}));
  EXPECT_EQ(Messages(), QStringList({MicQuestion, MicHint}));  // no "doesn't record"
}

TEST_F(SelfTestWindowTest, StatusReadFailureRunsNoTestAndCloseCloses) {
  twin_->InjectFault(EncoderFault::Refuse, 1);
  QPointer<self_test> w = Open();
  EXPECT_EQ(Messages(), QStringList({Warning("Device status message error..\n", "Orvane USB Encoder")}));
  EXPECT_TRUE(w->StatusReadFailed());
  EXPECT_FALSE(w->TestRunning() || w->button7->isVisibleTo(w) || w->button18->isVisibleTo(w));
  Pump(20);
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  EXPECT_EQ(Sent(), Status);
}

TEST_F(SelfTestWindowTest, OpenerPlacesTheWindowAndRefusesWithoutStatus) {
  Form1 form;
  form.move(40, 30);
  form.show();
  twin_->InjectFault(EncoderFault::Refuse, 1);
  form.button2_Click();
  EXPECT_EQ(Messages(), QStringList({Warning(
                            "Unable to get device message..Please click on Scan for and try again..\n",
                            "Orvane Ovitone ")}));
  EXPECT_TRUE(form.selfTestFrm.isNull());

  user_.HoldPrompt();
  form.button2_Click();
  QPointer<self_test> w = form.selfTestFrm.data();
  ASSERT_FALSE(w.isNull());
  EXPECT_EQ(w->selfTestFrm1, w);
  EXPECT_TRUE(w->isVisible() && !w->isModal());
  EXPECT_EQ(w->pos(), form.frameGeometry().topLeft());
  EXPECT_EQ(w->pictureBox1->pixmap().isNull(), media::Picture(media::ModulePicture).isNull());
  user_.Release();
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return form.selfTestFrm.isNull(); }));
}

// The worker's exchanges and the main window's at once, each answered as its own: the
// device lock keeps request and reply together, also across the main window's rescans.
TEST_F(SelfTestWindowTest, WorkerAndMainWindowExchangeSideBySide) {
  twin_->SetReplyLatencyMs(1);
  Form1 form;
  user_.HoldPrompt();
  QPointer<self_test> w = Open();
  int rounds = 0;
  for (; !user_.PromptOpen() && rounds < 2000; ++rounds) {
    form.button11_Click();  // close and rescan, then the status read
    ASSERT_EQ(form.GetDeviceStatusMessage(), 0);
    ASSERT_EQ(form.serialNumber, "OV000123");
    QCoreApplication::processEvents();
  }
  EXPECT_GT(rounds, 3);
  EXPECT_EQ(Messages().size(), 2);  // no warnings
  user_.Release();
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
  Cmds worker;
  for (const auto& c : Sent())
    if (c.first != 1) worker.push_back(c);
  EXPECT_EQ(worker, UpToPrompt() + Table0 + Restore);
}

// The real player and recorder, headless, on a machine that may have no sound device:
// nothing hangs or crashes, and without an input recording is refused.
TEST_F(SelfTestWindowTest, QtAudioWithoutASoundDevice) {
  const bool noInput = QMediaDevices::defaultAudioInput().isNull();
  {
    auto audio = CreateQtAudioDevice();
    for (const QString& path : {media::Path(media::TestSound), QStringLiteral(":/media/Audio Test.mp3"),
                                QStringLiteral("/nonexistent/Audio Test.mp3")})
      audio->PlayTestSound(path);
    audio->OpenRecorder();
    const bool canRecord = audio->CanRecord();
    EXPECT_FALSE(noInput && canRecord);
    audio->StartRecording();
    Pump(50);
    EXPECT_FALSE(!canRecord && audio->StopRecording());
    if (audio->CanPlayRecording()) audio->PlayRecording();
    Pump(50);
  }
  SetAudioFactory({});
  QPointer<self_test> w = Open();
  QTest::mouseClick(w->button17, Qt::LeftButton);
  QTest::mouseClick(w->button18, Qt::LeftButton);
  if (noInput) {
    EXPECT_EQ(Messages().last(), NoRecord);
  }
  QTest::mouseClick(w->endBtn, Qt::LeftButton);
  ASSERT_TRUE(WaitUntil([&] { return Gone(w); }));
}

}  // namespace
}  // namespace pellix_usb_encoder
