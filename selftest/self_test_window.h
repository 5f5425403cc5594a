// The self-test window: blinks and dims the encoder's LEDs while ticking off each step,
// asks the user to press the jack module's four keys and marks each key on the module
// picture as its press arrives, and offers the audio playback and record tests.
//
// Threads: the window, the key handling, the audio buttons and the end-of-test restore
// run on the GUI thread. The test sequence runs on a worker thread; it changes controls
// only through AddTextToObject, AmendCheckBox and the label colouring, which run the
// change on the GUI thread while the worker waits, and asks the user through
// Qorn_test::CustomMessageBox::ShowBox. Every exchange with the encoder, on either
// thread, holds the device lock from reading hid_handle to the end of the exchange.
//
// The key prompt is shown without blocking the other windows: the main window and this
// window stay usable (key presses are marked, "Close" is noted) while it is open.
//
// Lifetime: the window deletes itself once it has closed. It never goes away under a
// running worker: closing it or closing the program asks the worker to stop (closing
// the key prompt if it is open) and waits for it, keeping the GUI thread's events
// flowing meanwhile so that the worker cannot wait on it forever. Deleted from inside
// the key prompt's own event loop, where waiting could never end, it leaves the worker
// to finish on its own: from then on the worker uses only the state it shares with the
// window, and runs the end-of-test restore itself.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QCloseEvent;
class QKeyEvent;
class QLabel;
class QPushButton;
class QShowEvent;
class QTimer;

namespace pellix_usb_encoder {

class AudioDevice;
class BackgroundWorker;
struct SelfTestState;

// Which of the jack module's keys a key press is: 0..3 for F13..F16, -1 for any other
// key. Recognised by Qt's key F13..F16; by the keys Linux keymaps make of F13..F16
// (XF86Tools, XF86Launch5..7, which Qt reports as Key_Tools and Key_Launch5..7); or by
// the X11/Wayland key code of F13..F16 (191..194), whatever the keymap calls it.
int SelfTestKeyIndex(int qtKey, quint32 nativeScanCode);
int SelfTestKeyIndex(const QKeyEvent& event);

class self_test : public QWidget {
  Q_OBJECT

  // What the window shares with its worker (first: closeForm refers into it).
  std::shared_ptr<SelfTestState> state_;

 public:
  // Builds the window and runs InitializeSelfTest: the status read, the microphone
  // question and the start of the test sequence. Call on the GUI thread.
  explicit self_test(QWidget* parent = nullptr);
  // Stops and waits for a running test sequence first (see StopTestAndWait).
  ~self_test() override;

  // From the status read at creation (status block offsets 0, 1 and 7).
  int volLedBrightness_index = 0;
  int jackLedBrightness_index = 0;
  int keypadType_index = 0;
  // 0 while the test runs; 1 once the user pressed "Close". Written on the GUI thread,
  // polled by the worker.
  std::atomic<int>& closeForm;
  // Which key has been seen: flags 6..9 for F13..F16. Cleared by every new window.
  static std::array<bool, 10> buttonArray;
  // The neutral label colour: a button's default background.
  QColor backGroundColour;
  // The window whose key buttons the key handler marks; the opener sets it to the
  // window itself (and so does the constructor).
  QPointer<self_test> selfTestFrm1;

  // Controls.
  QLabel* label3 = nullptr;               // "TEST Orvane Ovitone"
  QLabel* ledLbl = nullptr;               // "Testing Led"
  QLabel* ledColourLbl = nullptr;         // "LED"
  QCheckBox* ledCheckBox = nullptr;
  QLabel* ledBrightnessLbl = nullptr;     // "Testing Led Brightness "
  QLabel* ledLevelLbl = nullptr;          // the level digit
  QCheckBox* brightnessCheckBox = nullptr;
  QLabel* label1 = nullptr;               // "Test Audio"
  QPushButton* button17 = nullptr;        // "Play"
  QPushButton* button18 = nullptr;        // "Record" / "Start Record" / "Stop Record"
  QLabel* pictureBox1 = nullptr;          // the jack module picture, set by the opener
  QPushButton* button7 = nullptr;         // Volume Up (F13)
  QPushButton* button8 = nullptr;         // Volume Down (F14)
  QPushButton* button9 = nullptr;         // jack in (F15)
  QPushButton* button10 = nullptr;        // jack out (F16)
  QPushButton* endBtn = nullptr;          // "Close"

  // The window's exchanges with the encoder, each under the device lock. The status
  // read fills the three fields above: 0 on success, -1 on failure. The commands
  // return the exchange result (0 on success) narrowed to a signed byte.
  int8_t GetDeviceStatusMessage();
  int8_t ledBrightness(uint8_t led, uint8_t level);
  int8_t setKeyboardTable(uint8_t table);

  // Set a label's text / a check box's state. From another thread the change is handed
  // to the window's thread and the caller waits until it has run (or until the window
  // stops its test); on the window's thread it is applied, then the window pauses
  // 80 ms. `str` of AmendCheckBox is not used.
  static void AddTextToObject(QWidget* obj, QLabel* txtBox, const QString& str);
  static void AmendCheckBox(QWidget* obj, QCheckBox* chkBox, bool checked, const QString& str);

  // Moves `button` into `pictureBox` so that it keeps its place on the screen, and
  // gives it a background: with colourFlag 0 the part of the picture under the button,
  // with any other flag the key mark picture "blue.bmp". The button's text stays on top.
  static void EmbedButtonInMirkelPicture(QPushButton* button, QLabel* pictureBox, int colourFlag);

  // True from the start of the test sequence until its end-of-test restore has run.
  bool TestRunning() const { return worker_ != nullptr; }
  // True when the status read at creation failed: no test runs, and "Close" closes the
  // window at once.
  bool StatusReadFailed() const { return statusReadFailed_; }

  // Ends a running test sequence now and waits for it: sets closeForm, closes the key
  // prompt if it is open, releases the worker from any wait on this window, then runs
  // the end-of-test restore. GUI thread; returns at once when no test runs. Runs when
  // the program quits.
  void StopTestAndWait();

  // Marks the button of F13..F16 (`index` 0..3) in selfTestFrm1 unless already marked.
  // The key handler's work, public for the opener's and the tests' use.
  void MarkKey(int index);

 public slots:
  void button17_Click();     // Play; ends a recording and resets Record first
  void button18_Click();     // Record
  void endBtn_MouseClick_1();  // Close

 protected:
  // Called for every key press that reaches the window or one of its controls, before
  // the control sees it. Marks F13..F16; returns false, as the base behaviour does for
  // keys without a shortcut.
  bool ProcessCmdKey(QKeyEvent* keyData);
  // The keyboard preview: every key event meant for this window or its controls goes to
  // ProcessCmdKey and is then swallowed, so no key press activates a control.
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void InitializeSelfTest();
  void self_test_Load();
  // The worker's work. Until the key prompt it may use the window (which waits for it);
  // from the prompt on only `state`.
  void backgroundWorker1_DoWork(const std::shared_ptr<SelfTestState>& state);
  void backgroundWorker1_RunWorkerCompleted();

  // Runs `change` on the window's thread while the worker waits; returns early (change
  // possibly not run) once the window has told the worker to stop.
  void RunOnWindowThread(std::function<void()> change);
  void ColourLabels(QLabel* first, QLabel* second, const QColor& colour);
  // Tells the worker to stop: closeForm 1, no more waiting on the window, the key prompt
  // closed. Does not wait.
  void RequestStop();
  void ClosePrompt();
  // True while the key prompt's event loop runs below the current call.
  bool PromptOnStack() const;
  // The worker thread has finished: joins it and runs the end-of-test restore once.
  void OnWorkerFinished();
  void ShowNoRecordMessage();

  std::unique_ptr<AudioDevice> audio_;
  BackgroundWorker* worker_ = nullptr;
  bool statusReadFailed_ = false;
  bool loaded_ = false;
  bool destroying_ = false;
  // Closes the key prompt while the window is stopping its worker.
  QTimer* promptCloser_ = nullptr;
};

}  // namespace pellix_usb_encoder
