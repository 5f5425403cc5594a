// The self-test window against the encoder twin on the real bus clock (its worker is a
// real thread) and a fake player/recorder; the worker's waits go to the sleep override.
#include "selftest/self_test_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#ifndef _WIN32
#include <QAudioDevice>
#include <QMediaDevices>
#endif
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <condition_variable>

#include "app/main_window.h"
#include "common/fake_interaction.h"
#include "common/window_test_support.h"
#include "selftest/audio.h"
#include "sim/encoder_twin.h"
#include "support/ui/media.h"
#include "support/ui/message_box.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus, sim::EncoderFault, testing::WaitUntil;
using Bytes = std::vector<uint8_t>;
using Cmds = std::vector<std::pair<int, Bytes>>;

// The player/recorder: logs every call; recording and stopping work as the test says,
// and, like the real one, only on an open recorder (playing or closing drops it).
struct AudioLog { QStringList calls; bool canRecord = true, stopWorks = true; };
struct FakeAudio : AudioDevice {
  explicit FakeAudio(std::shared_ptr<AudioLog> log) : log_(std::move(log)) {}
  void Close() override { Note("Close"); open_ = recording_ = false; }
  void PlayTestSound(const QString& path) override { Note("Play " + path); open_ = recording_ = false; }
  void OpenRecorder() override { Note("OpenRecorder"); open_ = true, recording_ = false; }
  bool CanRecord() override { return Note("CanRecord") && open_ && log_->canRecord; }
  void StartRecording() override { Note("StartRecording"); recording_ = open_; }
  bool StopRecording() override { return Note("StopRecording") && std::exchange(recording_, false) && log_->stopWorks; }
  bool CanPlayRecording() override { return Note("CanPlayRecording") && open_; }
  void PlayRecording() override { Note("PlayRecording"); }
  bool Note(const QString& call) { log_->calls << call; return true; }
  std::shared_ptr<AudioLog> log_;
  bool open_ = false, recording_ = false;
};

// The user and the worker's clock (until the tear-down): each wait of the worker and the key
// prompt (answered "Cancel") are steps; Hold(n) holds the worker in its n-th step until Go().
class TestUser : public testing::FakeInteraction {
 public:
  TestUser() { platform::SetSleepOverride([this](int) { if (QThread::currentThread() != qApp->thread()) Step(); }); }
  QString CustomBox(const QString& text, int type) override {
    prompts_.emplace_back(text, type);
    Step();
    return "Cancel";
  }
  void Hold(int n) { Locked([&] { holdAt_ = steps_ + n; }); }
  void Go() { Locked([&] { holdAt_ = -1; }); }
  bool Held() { return Locked([&] { return steps_ == holdAt_; }); }
  std::vector<std::pair<QString, int>> prompts_;  // read while the worker is held or done

 private:
  template <typename F>
  auto Locked(F f) -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();  // the worker wakes once the lock is free
    return f();
  }
  void Step() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++steps_;
    changed_.wait(lock, [this] { return steps_ != holdAt_; });
    changed_.wait_for(lock, std::chrono::milliseconds(1));  // the key phase polls
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  int steps_ = 0, holdAt_ = -1;
};
constexpr int PromptStep = 19;  // after four LED rounds of two waits and ten levels
Cmds Led(uint8_t volume, uint8_t jack) { return {{2, {0, volume}}, {2, {1, jack}}}; }
Cmds operator+(Cmds a, const Cmds& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
const Cmds Round = Led(0, 0) + Led(8, 8), Rounds = Round + Round + Round + Round;
const Cmds Status = {{1, {}}}, Table0 = {{7, {0}}};
const Cmds Restore = Cmds({{7, {1}}}) + Led(3, 5);  // the twin starts at table 1, LEDs 3 and 5
Cmds Tail(const Cmds& c, size_t n) { return Cmds(c.end() - std::min(n, c.size()), c.end()); }

Cmds UpToPrompt() {  // everything the worker sends when nothing goes wrong, up to the key prompt
  Cmds c = Rounds + Led(0, 0);
  for (uint8_t level = 0; level <= 9; ++level) c = c + Led(level, level);
  return c + Led(0, 0) + Led(3, 5);
}

QString Warning(const QString& text, const QString& caption, ui::Buttons b = ui::Buttons::Ok,
                ui::Icon icon = ui::Icon::Warning) {
  return text + " | " + caption + " | " + (b == ui::Buttons::Ok ? "Ok" : "YesNo") + " | " + QString::number(int(icon));
}
const QString MicQuestion = Warning("Does Ovitone have microphone support?\n", "OrvaneOvitoneUtility",
                                    ui::Buttons::YesNo);
#ifdef _WIN32
const QString MicHint = Warning(
    "Please make sure <USB Advanced Audio device> in Sound panel->Recording tab is set as Default Device\n",
    "OrvaneOvitoneUtility");
#else
const QString MicHint = Warning(
    "Please make sure <USB Advanced Audio device> is chosen as the input device in the system's sound "
    "settings (Settings > Sound > Input)\n", "OrvaneOvitoneUtility");
#endif
const QString NoRecord = Warning("This device doesn't record.\n", "Orvane Ovitone");
const QStringList RecordCycle = {"Close", "OpenRecorder", "CanRecord", "CanRecord", "StartRecording",
                                 "StopRecording", "CanPlayRecording", "PlayRecording"};
QString Click(QPushButton* b) { return QTest::mouseClick(b, Qt::LeftButton), b->text(); }

class SelfTestWindowTest : public testing::MainWindowFixture {
 protected:
  void SetUp() override {
    MainWindowFixture::SetUp();
    Bus::Instance().UseVirtualClock(false);  // the real clock: the worker is a thread
    twin_ = sim::PlugEncoder();
    sim::EncoderSettings s = twin_->Settings();
    s.volLedBrightness = 3, s.jackLedBrightness = 5, s.keypadType = 1;
    twin_->SetSettings(s);
    char manufacturer[DeviceNameBufferSize], product[DeviceNameBufferSize];
    hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
    ASSERT_NE(hid_handle, nullptr);
    SetAudioFactory([log = audio_] { return std::make_unique<FakeAudio>(log); });
    twin_->ClearCommands(), Bus::Instance().ClearTraffic();
  }
  void TearDown() override {
    user_.Go();
    std::vector<QPointer<self_test>> left;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* window = qobject_cast<self_test*>(w)) left.emplace_back(window);
    for (const auto& window : left) delete window.data();
    SetAudioFactory({});
    MainWindowFixture::TearDown();
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
    for (const auto& m : user_.messages) out << Warning(m.text, m.caption, m.buttons, m.icon);
    return out;
  }
  bool Gone(const QPointer<self_test>& w) { return WaitUntil([&] { return w.isNull(); }); }
  bool CloseAndWait(const QPointer<self_test>& w) { return QTest::mouseClick(w->endBtn, Qt::LeftButton), Gone(w); }
  TestUser user_;
  std::shared_ptr<AudioLog> audio_ = std::make_shared<AudioLog>();
  std::shared_ptr<sim::EncoderTwin> twin_;
};

// "Close" in the key phase, or while the key prompt is open (the window waits for the
// answer; this window comes from the opener, which places it): the same bytes either way.
TEST_F(SelfTestWindowTest, FullRunFromCreationToClose) {
  Form1 form;
  form.move(40, 30), form.show();
  for (bool closeInPrompt : {false, true}) {
    SCOPED_TRACE(closeInPrompt);
    user_.messages.clear(), twin_->ClearCommands(), Bus::Instance().ClearTraffic();
    user_.Hold(PromptStep);
    QPointer<self_test> w = closeInPrompt ? (form.button2_Click(), form.selfTestFrm) : Open();
    ASSERT_TRUE(w);
    EXPECT_EQ(Messages(), QStringList({MicQuestion, MicHint}));  // answered Yes
    EXPECT_TRUE(w->button18->isVisibleTo(w) && w->button10->isVisibleTo(w) && !w->isModal());
    EXPECT_EQ(audio_->calls.mid(audio_->calls.size() - 2), QStringList({"Close", "Play " + media::Path(media::TestSound)}));
    ASSERT_TRUE(WaitUntil([this] { return user_.Held(); }));
    EXPECT_EQ(user_.prompts_.back(), std::make_pair(QString("Press each key  on Ovitone... "), 1));
    EXPECT_TRUE(w->ledCheckBox->isChecked() && w->brightnessCheckBox->isChecked() && w->ledLevelLbl->text() == "9");
    EXPECT_EQ(twin_->Settings().volLedBrightness * 10 + twin_->Settings().jackLedBrightness, 35);  // as read
    if (closeInPrompt) {
      EXPECT_TRUE(w->selfTestFrm1 == w && w->pos() == form.frameGeometry().topLeft());
      EXPECT_EQ(w->pictureBox1->pixmap().isNull(), media::Picture(media::ModulePicture).isNull());
      QTest::mouseClick(w->endBtn, Qt::LeftButton);
      QCoreApplication::processEvents(), QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      ASSERT_TRUE(w);
      EXPECT_EQ(Sent().size(), 2 + UpToPrompt().size());  // the opener reads the status, too
    } else {  // confirmed: code table 0, then the key phase lasts until "Close"
      user_.Hold(5);
      ASSERT_TRUE(WaitUntil([this] { return user_.Held(); }));
      EXPECT_TRUE(w->TestRunning() && twin_->Settings().keypadType == 0);
      QTest::mouseClick(w->endBtn, Qt::LeftButton);
    }
    user_.Go();
    ASSERT_TRUE(Gone(w));
    std::vector<Bytes> wire, want;
    for (const auto& r : Bus::Instance().Writes()) wire.push_back(r.bytes);
    for (const auto& [command, payload] : (closeInPrompt ? Status : Cmds()) + Status + UpToPrompt() + Table0 + Restore)
      want.push_back(testing::RequestReport(uint8_t(command), payload));
    EXPECT_EQ(wire, want);
    EXPECT_EQ(audio_->calls.last(), "Close");
  }
}

// "Close" clicked while the worker is in its n-th wait: the step ends, then the restore.
TEST_F(SelfTestWindowTest, CloseDuringTheLedTestEndsAtTheEndOfTheStep) {
  const Cmds dark = Rounds + Led(0, 0) + Led(0, 0);
  for (const auto& [wait, sent] : {std::pair{1, Round}, {2, Round}, {3, Round + Round}, {9, dark},
                                   {11, dark + Led(1, 1) + Led(2, 2)}}) {
    SCOPED_TRACE(wait);
    twin_->ClearCommands(), user_.Hold(wait);
    QPointer<self_test> w = Open();
    ASSERT_TRUE(WaitUntil([this] { return user_.Held(); }));
    QTest::mouseClick(w->endBtn, Qt::LeftButton);
    user_.Go();
    ASSERT_TRUE(Gone(w));
    EXPECT_EQ(Sent(), Status + sent + Restore);
  }
}

TEST_F(SelfTestWindowTest, RefusalsEndTheTestOnlyWhenExamined) {
  // No status: the opener refuses; a window of its own runs no test; "Close" closes it.
  Form1 form;
  twin_->InjectFault(EncoderFault::Refuse, 2);
  form.button2_Click();
  EXPECT_TRUE(form.selfTestFrm.isNull());
  QPointer<self_test> w = Open();
  EXPECT_EQ(Messages(), QStringList({Warning("Unable to get device message..Please click on Scan for and try again..\n",
                                             "Orvane Ovitone "),
                                     Warning("Device status message error..\n", "Orvane USB Encoder")}));
  EXPECT_FALSE(w->TestRunning() || w->button7->isVisibleTo(w) || w->button18->isVisibleTo(w));
  ASSERT_TRUE(CloseAndWait(w));
  EXPECT_EQ(Sent(), Status + Status);
  // Only the jack LED result is examined: refused volume off, jack off, volume on pass.
  w = Open([this] { twin_->InjectFault(EncoderFault::Refuse, 3); });
  ASSERT_TRUE(WaitUntil([this] { return Sent().size() == 3 + UpToPrompt().size() + 1; }));
  ASSERT_TRUE(CloseAndWait(w));
  // A refused jack LED command ends the test: the restore runs, the window closes.
  twin_->ClearCommands();
  w = Open([this] { twin_->InjectFault(EncoderFault::Refuse, 4); });
  ASSERT_TRUE(Gone(w));
  EXPECT_EQ(Sent(), Status + Round + Restore);
  EXPECT_EQ(user_.prompts_.size(), 1u);  // none for this window
  // So does a refused code table 0 after the prompt.
  user_.Hold(PromptStep);
  w = Open();
  ASSERT_TRUE(WaitUntil([this] { return user_.Held(); }));
  twin_->InjectFault(EncoderFault::Refuse, 1);
  user_.Go();
  ASSERT_TRUE(Gone(w));
  EXPECT_EQ(Tail(Sent(), 4), Table0 + Restore);
  EXPECT_EQ(twin_->Settings().keypadType, 1);
}

// The real key prompt: the other windows stay usable while it is open, and neither
// closing the window nor the program's end hangs on it.
TEST_F(SelfTestWindowTest, RealPromptNeverHoldsUpTheProgram) {
  std::function<void(Qorn_test::CustomMessageBox*)> onPrompt;
  QTimer poll;
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
  auto open = [&] { return ui::SetInteraction(&user_), Open([] { ui::SetInteraction(nullptr); }); };
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
  ASSERT_TRUE(Gone(w));
  EXPECT_TRUE(free && marked && running);
  EXPECT_EQ(Tail(Sent(), 3), Restore);
  // Deleted from inside the prompt's loop: the worker finishes and restores by itself.
  twin_->ClearCommands();
  w = open();
  onPrompt = [&](Qorn_test::CustomMessageBox*) { delete w.data(); };
  ASSERT_TRUE(WaitUntil([&] { return Sent() == Status + UpToPrompt() + Table0 + Restore; }));
  EXPECT_TRUE(w.isNull());
}

// F13..F16, as Qt, a Linux keymap (XF86Tools, XF86Launch5..7) or the native key code has
// them, mark their buttons (which keep their places) in every phase; no key reaches a control.
TEST_F(SelfTestWindowTest, KeysMarkTheirButtonsAndActivateNothing) {
  user_.Hold(PromptStep);
  QPointer<self_test> w = Open();
  const QPoint place = w->button7->mapTo(w, QPoint());  // kept when the button moves into the picture
  auto blue = [](QWidget* b) {  // most of a band along the left edge, clear of the corners
    const QImage image = b->grab().toImage();
    int blues = 0, all = 0;
    for (int y = 8; y < image.height() - 8; ++y) {
      for (int x = 4; x < 14; ++x, ++all) {
        const QColor c = image.pixelColor(x, y);
        blues += c.blue() > 150 && c.blue() > c.red() + 60;
      }
    }
    return all > 0 && blues * 4 > all * 3;
  };
  auto press = [&](int key, quint32 scan) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, scan, 0, 0);
    QApplication::sendEvent(w->focusWidget() ? w->focusWidget() : w.data(), &event);
  };
  EXPECT_FALSE(blue(w->button7));
  press(Qt::Key_Tools, 179), press(Qt::Key_F12, 96), press(Qt::Key_Launch4, 0);  // during the LED test
  EXPECT_EQ(w->button7->parentWidget(), w->pictureBox1);
  EXPECT_TRUE(blue(w->button7));
  EXPECT_EQ(w->button7->mapTo(w, QPoint()), place);
  ASSERT_TRUE(WaitUntil([this] { return user_.Held(); }));
  press(Qt::Key_unknown, 192), press(Qt::Key_unknown, 195), press(Qt::Key_F16, 0);  // 192: the native F14
  EXPECT_TRUE(w->button8->property("keyMarked").toBool() && !w->button9->property("keyMarked").toBool());
  EXPECT_EQ(self_test::buttonArray, (std::array<bool, 10>{0, 0, 0, 0, 0, 0, 1, 1, 0, 1}));
  w->button17->setFocus();
  const QStringList calls = audio_->calls;
  QTest::keyClick(w->button17, Qt::Key_Space), QTest::keyClick(w->button17, Qt::Key_Return);
  EXPECT_EQ(audio_->calls, calls);
  user_.Go(), delete w.data();
  w = Open();
  EXPECT_EQ(self_test::buttonArray, (std::array<bool, 10>{}));
  using Key = std::tuple<int, int, int>;  // Qt key, native key code, index
  for (const auto& [key, scan, index] : {Key{Qt::Key_F13, 0, 0}, {Qt::Key_F15, 0, 2}, {Qt::Key_Launch5, 0, 1},
           {Qt::Key_Launch6, 0, 2}, {Qt::Key_Launch7, 0, 3}, {Qt::Key_unknown, 191, 0}, {Qt::Key_unknown, 194, 3},
           {Qt::Key_Launch8, 0, -1}, {Qt::Key_F17, 0, -1}, {Qt::Key_unknown, 190, -1}})
    EXPECT_EQ(SelfTestKeyIndex(key, quint32(scan)), index) << std::hex << key << std::dec << " " << scan;
}

// Record cycles through its texts; Play takes the audio from a recording; refusals are reported.
TEST_F(SelfTestWindowTest, MicrophoneQuestionRecordAndPlay) {
  user_.answers = {ui::Answer::No};
  QPointer<self_test> w = Open();
  EXPECT_FALSE(w->button18->isVisibleTo(w));
  delete w.data();
  w = Open(), audio_->calls.clear();
  for (const char* next : {"Start Record", "Stop Record", "Record"}) EXPECT_EQ(Click(w->button18), next);
  EXPECT_EQ(audio_->calls, RecordCycle);
  Click(w->button18), Click(w->button18), audio_->calls.clear();
  EXPECT_EQ(Click(w->button17), "Play");  // and Record starts over
  EXPECT_EQ(w->button18->text(), "Record");
  EXPECT_EQ(audio_->calls, QStringList({"StopRecording", "Close", "Play " + media::Path(media::TestSound)}));
  audio_->calls.clear(), Click(w->button18), Click(w->button18), Click(w->button18);
  EXPECT_EQ(audio_->calls, RecordCycle);
  audio_->canRecord = false;  // refused: no recording device, then a failed stop
  EXPECT_EQ(Click(w->button18), "Record");
  audio_->canRecord = true, audio_->stopWorks = false;
  Click(w->button18), Click(w->button18), audio_->calls.clear();
  EXPECT_EQ(Click(w->button18), "Record");
  EXPECT_EQ(audio_->calls, QStringList({"StopRecording"}));  // nothing played back
  EXPECT_EQ(Messages(), QStringList({MicQuestion, MicQuestion, MicHint, NoRecord, NoRecord}));
  // The real player and recorder: nothing hangs; without an input device no recording.
#ifndef _WIN32
  auto audio = CreateSystemAudioDevice();
  EXPECT_FALSE(QMediaDevices::defaultAudioInput().isNull() && (audio->OpenRecorder(), audio->CanRecord()));
  SetAudioFactory({}), delete w.data(), w = Open();
  Click(w->button17), Click(w->button18), Click(w->button18), Click(w->button18);
  if (QMediaDevices::defaultAudioInput().isNull()) {
    EXPECT_EQ(Messages().last(), NoRecord);
  }
#else
  // Windows' MCI: a recorder that cannot record says so, and nothing hangs.
  auto audio = CreateSystemAudioDevice();
  audio->OpenRecorder();
  const bool canRecord = audio->CanRecord();
  audio->Close();
  SetAudioFactory({}), delete w.data(), w = Open();
  Click(w->button17), Click(w->button18), Click(w->button18), Click(w->button18);
  if (!canRecord) {
    EXPECT_EQ(Messages().last(), NoRecord);
  }
#endif
}

}  // namespace
}  // namespace pellix_usb_encoder
