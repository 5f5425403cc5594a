#include "selftest/self_test_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "device/encoder_session.h"
#include "device/encoder_protocol.h"
#include "device/hid_transport.h"
#include "selftest/audio.h"
#include "support/ui/media.h"
#include "support/ui/message_box.h"
#include "support/service/background_worker.h"
#include "support/service/platform.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {

// What a window shares with its worker. The worker holds its own reference, so the
// state outlives a window that left the worker to finish on its own.
struct SelfTestState {
  std::atomic<int> closeForm{0};
  // The window has told the worker to stop: no more waiting on the window, no prompt.
  std::atomic<bool> abandoned{false};
  // The worker is asking the user to press the keys.
  std::atomic<bool> inPrompt{false};
  // The window is gone; the worker runs the end-of-test restore itself.
  std::atomic<bool> windowGone{false};
  // Guards the completion flags of changes handed to the window.
  std::mutex mutex;
  std::condition_variable changed;
  // The settings read at creation, for the restore.
  int volume = 0;
  int jack = 0;
  int keypadType = 0;
};

std::array<bool, 10> self_test::buttonArray{};

namespace {

constexpr int ClientWidth = 685;
constexpr int ClientHeight = 540;

// The picture box and the key buttons' places on the picture (the jack module picture
// is drawn unscaled from its top-left corner).
constexpr int PictureLeft = 340;
constexpr int PictureTop = 62;
constexpr int PictureWidth = 321;
constexpr int PictureHeight = 458;
constexpr QRect KeyPlaces[4] = {
    {33, 66, 103, 59},    // Volume Up
    {33, 151, 103, 59},   // Volume Down
    {181, 299, 103, 26},  // jack in
    {181, 420, 103, 26},  // jack out
};
constexpr int FirstKeyFlag = 6;  // buttonArray flags 6..9 are F13..F16

constexpr int LedStepMs = 500;
constexpr int KeyPhaseStepMs = 100;
constexpr int ChangePauseMs = 80;
constexpr int LedTestRounds = 4;
constexpr int LedTestLevel = 8;
constexpr int TopLevel = 9;

const QColor LightGreen(144, 238, 144);
const QColor KeyGray(150, 150, 150);
const QColor KeyMarkFallback(28, 100, 210);  // when "blue.bmp" cannot be read

const char* const FontFamily = "Microsoft Sans Serif";
const char* const RecordCaption = "Orvane Ovitone";
const char* const QuestionCaption = "OrvaneOvitoneUtility";
// Where the user picks the module's microphone as the input to record from.
#ifdef _WIN32
const char* const MicrophoneHint =
    "Please make sure <USB Advanced Audio device> in Sound panel->Recording tab is set as "
    "Default Device\n";
#else
const char* const MicrophoneHint =
    "Please make sure <USB Advanced Audio device> is chosen as the input device in the "
    "system's sound settings (Settings > Sound > Input)\n";
#endif

void SetBackground(QWidget* widget, const QColor& colour) {
  widget->setAutoFillBackground(true);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, colour);
  widget->setPalette(palette);
}

// Scales `source` to `size` keeping its `margin`-pixel edges and corners unstretched.
QPixmap NineSlice(const QPixmap& source, const QSize& size, int margin) {
  QPixmap out(size);
  out.fill(Qt::transparent);
  const int sw = source.width(), sh = source.height();
  const int m = std::max(0, std::min({margin, sw / 3, sh / 3}));
  const int t = std::max(0, std::min({m, size.width() / 2, size.height() / 2}));
  QPainter painter(&out);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const int sx[4] = {0, m, sw - m, sw};
  const int sy[4] = {0, m, sh - m, sh};
  const int dx[4] = {0, t, size.width() - t, size.width()};
  const int dy[4] = {0, t, size.height() - t, size.height()};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      const QRect from(sx[col], sy[row], sx[col + 1] - sx[col], sy[row + 1] - sy[row]);
      const QRect to(dx[col], dy[row], dx[col + 1] - dx[col], dy[row + 1] - dy[row]);
      if (!from.isEmpty() && !to.isEmpty()) painter.drawPixmap(to, source, from);
    }
  }
  return out;
}

int8_t SendLedBrightness(uint8_t led, uint8_t level) {
  return static_cast<int8_t>(SendLedLevel(led, level));
}

int8_t SendKeyboardTable(uint8_t table) { return static_cast<int8_t>(SendKeypadType(table)); }

// The end-of-test restore: the code table and both LED levels read at creation
// (results not examined).
void RestoreSettings(const SelfTestState& state) {
  SendKeyboardTable(uint8_t(state.keypadType));
  SendLedBrightness(VolumeLedGroup, uint8_t(state.volume));
  SendLedBrightness(JackLedGroup, uint8_t(state.jack));
}

// Paints a key button's embedded background (part of the picture, or the key mark) and
// draws the button's text over it. Lives as a child of its button.
class EmbeddedBackground : public QObject {
 public:
  EmbeddedBackground(QPushButton* button, QPixmap picture, bool keyMark)
      : QObject(button), button_(button), picture_(std::move(picture)), keyMark_(keyMark) {
    button->installEventFilter(this);
    button->update();
  }

  void Replace(QPixmap picture, bool keyMark) {
    picture_ = std::move(picture);
    keyMark_ = keyMark;
    button_->update();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != button_ || event->type() != QEvent::Paint) return false;
    QPainter painter(button_);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect area = button_->rect();
    if (keyMark_) {
      // Rounded corners: the picture shows through outside them.
      QPainterPath shape;
      shape.addRoundedRect(QRectF(area), 7, 7);
      painter.setClipPath(shape);
      if (picture_.isNull()) {
        painter.fillRect(area, KeyMarkFallback);
      } else {
        painter.drawPixmap(area, NineSlice(picture_, area.size(), 10));
      }
      painter.setClipping(false);
    } else if (!picture_.isNull()) {
      painter.drawPixmap(area, picture_);
    }
    QStyleOptionButton option;
    option.initFrom(button_);
    option.text = button_->text();
    option.icon = button_->icon();
    option.iconSize = button_->iconSize();
    option.palette.setColor(QPalette::ButtonText, keyMark_ ? QColor(Qt::white) : QColor(Qt::black));
    QFont font = button_->font();
    if (keyMark_) font.setBold(true);
    painter.setFont(font);
    option.fontMetrics = QFontMetrics(font);
    button_->style()->drawControl(QStyle::CE_PushButtonLabel, &option, &painter, button_);
    return true;
  }

 private:
  QPushButton* button_;
  QPixmap picture_;
  bool keyMark_;
};

}  // namespace

int SelfTestKeyIndex(int qtKey, quint32 nativeScanCode) {
  switch (qtKey) {
    case Qt::Key_F13:
    case Qt::Key_Tools:
      return 0;
    case Qt::Key_F14:
    case Qt::Key_Launch5:
      return 1;
    case Qt::Key_F15:
    case Qt::Key_Launch6:
      return 2;
    case Qt::Key_F16:
    case Qt::Key_Launch7:
      return 3;
    default:
      break;
  }
  // X11 and Wayland key codes of F13..F16 (evdev codes 183..186 plus 8).
  if (nativeScanCode >= 191 && nativeScanCode <= 194) return int(nativeScanCode - 191);
  return -1;
}

int SelfTestKeyIndex(const QKeyEvent& event) {
  return SelfTestKeyIndex(event.key(), event.nativeScanCode());
}

self_test::self_test(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      state_(std::make_shared<SelfTestState>()),
      closeForm(state_->closeForm) {
  setWindowTitle(QStringLiteral("Test Orvane Ovitone"));
  // No icon: an empty picture instead of the program's.
  QPixmap noIcon(16, 16);
  noIcon.fill(Qt::transparent);
  setWindowIcon(QIcon(noIcon));
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedSize(ClientWidth, ClientHeight);
  selfTestFrm1 = this;
  audio_ = CreateAudioDevice();

  BuildControls();

  promptCloser_ = new QTimer(this);
  promptCloser_->setInterval(5);
  connect(promptCloser_, &QTimer::timeout, this, &self_test::ClosePrompt);

  // The keyboard preview, and the program's end waiting for a running test.
  qApp->installEventFilter(this);
  connect(qApp, &QCoreApplication::aboutToQuit, this, &self_test::StopTestAndWait);

  InitializeSelfTest();
}

self_test::~self_test() {
  destroying_ = true;
  qApp->removeEventFilter(this);
  StopTestAndWait();
  if (worker_ != nullptr) {
    // Deleted from inside the key prompt's event loop: the worker cannot go on before
    // this call returns, so it is left to finish (and restore) on its own.
    state_->windowGone = true;
    BackgroundWorker* worker = worker_;
    worker_ = nullptr;
    disconnect(worker, nullptr, this, nullptr);
    if (worker->IsBusy()) {
      connect(worker, &BackgroundWorker::RunWorkerCompleted, worker, &QObject::deleteLater);
    } else {
      delete worker;
    }
  }
  if (audio_) audio_->Close();
}

void self_test::BuildControls() {
  const QFont controlFont(QString::fromLatin1(FontFamily), 10);
  setFont(controlFont);

  auto makeLabel = [this](const char* name, const QString& text, int x, int y, int w, int h) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(x, y, w, h);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setIndent(6);
    return label;
  };
  auto makeButton = [this](const char* name, const QString& text, int x, int y, int w, int h) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(x, y, w, h);
    button->setAutoDefault(false);
    return button;
  };

  label3 = makeLabel("label3", QStringLiteral("TEST Orvane Ovitone"), 20, 12, ClientWidth - 40, 36);
  QFont heading(QString::fromLatin1(FontFamily), 16, QFont::Bold);
  label3->setFont(heading);
  label3->setAlignment(Qt::AlignCenter);

  ledLbl = makeLabel("ledLbl", QStringLiteral("Testing Led"), 24, 72, 200, 30);
  ledColourLbl = makeLabel("ledColourLbl", QStringLiteral("LED"), 228, 72, 56, 30);
  ledCheckBox = new QCheckBox(this);
  ledCheckBox->setObjectName(QStringLiteral("ledCheckBox"));
  ledCheckBox->setGeometry(296, 77, 22, 20);
  ledCheckBox->setFocusPolicy(Qt::NoFocus);

  ledBrightnessLbl = makeLabel("ledBrightnessLbl", QStringLiteral("Testing Led Brightness "), 24,
                               114, 200, 30);
  ledLevelLbl = makeLabel("ledLevelLbl", QString(), 228, 114, 56, 30);
  brightnessCheckBox = new QCheckBox(this);
  brightnessCheckBox->setObjectName(QStringLiteral("brightnessCheckBox"));
  brightnessCheckBox->setGeometry(296, 119, 22, 20);
  brightnessCheckBox->setFocusPolicy(Qt::NoFocus);

  label1 = makeLabel("label1", QStringLiteral("Test Audio"), 24, 178, 200, 26);
  QFont audioHeading = controlFont;
  audioHeading.setBold(true);
  label1->setFont(audioHeading);
  button17 = makeButton("button17", QStringLiteral("Play"), 24, 210, 120, 38);
  button18 = makeButton("button18", QStringLiteral("Record"), 154, 210, 130, 38);
  button18->hide();

  pictureBox1 = new QLabel(this);
  pictureBox1->setObjectName(QStringLiteral("pictureBox1"));
  pictureBox1->setGeometry(PictureLeft, PictureTop, PictureWidth, PictureHeight);
  pictureBox1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // Shows as an empty panel until the opener gives it the picture.
  SetBackground(pictureBox1, QColor(226, 226, 226));

  QPushButton** keys[4] = {&button7, &button8, &button9, &button10};
  const char* const keyNames[4] = {"button7", "button8", "button9", "button10"};
  for (int i = 0; i < 4; ++i) {
    const QRect place = KeyPlaces[i].translated(PictureLeft, PictureTop);
    *keys[i] = makeButton(keyNames[i], QString(), place.x(), place.y(), place.width(),
                          place.height());
    (*keys[i])->setFocusPolicy(Qt::NoFocus);
    (*keys[i])->hide();
  }

  endBtn = makeButton("endBtn", QStringLiteral("Close"), 24, 476, 150, 44);
  endBtn->setEnabled(false);

  connect(button17, &QPushButton::clicked, this, &self_test::button17_Click);
  connect(button18, &QPushButton::clicked, this, &self_test::button18_Click);
  connect(endBtn, &QPushButton::clicked, this, &self_test::endBtn_MouseClick_1);
}

void self_test::InitializeSelfTest() {
  closeForm = 0;
  buttonArray.fill(false);

  backGroundColour = QApplication::palette("QPushButton").color(QPalette::Button);
  for (QLabel* label : {ledLbl, ledColourLbl, ledBrightnessLbl, ledLevelLbl})
    SetBackground(label, backGroundColour);
  ledCheckBox->setChecked(false);
  brightnessCheckBox->setChecked(false);

  if (GetDeviceStatusMessage() != 0) {
    statusReadFailed_ = true;
    ui::ShowMessage(nullptr, QStringLiteral("Device status message error..\n"),
                    QStringLiteral("Orvane USB Encoder"), ui::Buttons::Ok, ui::Icon::Warning);
    return;
  }

  ledLevelLbl->setText(QString::number(volLedBrightness_index));

  if (keypadType_index >= 0 && keypadType_index <= 2) {
    const QString texts[4] = {QStringLiteral("Volume Up"), QStringLiteral("Volume Down"),
                              QStringLiteral("jack in"), QStringLiteral("jack out")};
    QPushButton* keys[4] = {button7, button8, button9, button10};
    for (int i = 0; i < 4; ++i) {
      keys[i]->setText(texts[i]);
      keys[i]->show();
      QPalette palette = keys[i]->palette();
      palette.setColor(QPalette::Button, KeyGray);
      palette.setColor(QPalette::ButtonText, Qt::black);
      keys[i]->setPalette(palette);
    }
  }

  if (ui::ShowMessage(nullptr, QStringLiteral("Does Ovitone have microphone support?\n"),
                      QString::fromLatin1(QuestionCaption), ui::Buttons::YesNo,
                      ui::Icon::Warning) == ui::Answer::Yes) {
    button18->show();
    ui::ShowMessage(nullptr, QString::fromLatin1(MicrophoneHint),
                    QString::fromLatin1(QuestionCaption), ui::Buttons::Ok, ui::Icon::Warning);
  }

  state_->volume = volLedBrightness_index;
  state_->jack = jackLedBrightness_index;
  state_->keypadType = keypadType_index;
  // No parent: a window deleted while its test runs leaves the worker to end on its own.
  worker_ = new BackgroundWorker;
  worker_->SetWork([this, state = state_](BackgroundWorker&, BackgroundWorker::DoWorkEventArgs&) {
    backgroundWorker1_DoWork(state);
    if (state->windowGone) RestoreSettings(*state);
  });
  connect(worker_, &BackgroundWorker::RunWorkerCompleted, this, &self_test::OnWorkerFinished);
  worker_->RunWorkerAsync();
}

void self_test::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!loaded_ && !event->spontaneous()) {
    loaded_ = true;
    self_test_Load();
  }
}

void self_test::self_test_Load() {
  endBtn->setEnabled(true);
  audio_->Close();
  audio_->PlayTestSound(media::Path(media::TestSound));
}

// ---------------------------------------------------------------------------------
// The encoder exchanges.

int8_t self_test::GetDeviceStatusMessage() {
  EncoderStatus status;
  if (!ReadEncoderStatus(status)) return -1;
  volLedBrightness_index = status.volLedBrightness;
  jackLedBrightness_index = status.jackLedBrightness;
  keypadType_index = status.keypadType;
  return 0;
}

int8_t self_test::ledBrightness(uint8_t led, uint8_t level) {
  return SendLedBrightness(led, level);
}

int8_t self_test::setKeyboardTable(uint8_t table) { return SendKeyboardTable(table); }

// ---------------------------------------------------------------------------------
// Changes made by the worker.

void self_test::RunOnWindowThread(std::function<void()> change) {
  if (QThread::currentThread() == thread()) {
    change();
    return;
  }
  auto done = std::make_shared<bool>(false);
  QMetaObject::invokeMethod(
      this,
      [state = state_, change = std::move(change), done] {
        change();
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          *done = true;
        }
        state->changed.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->changed.wait(lock, [&] { return *done || state_->abandoned.load(); });
}

void self_test::AddTextToObject(QWidget* obj, QLabel* txtBox, const QString& str) {
  if (QThread::currentThread() != obj->thread()) {
    auto change = [obj, txtBox, str] { AddTextToObject(obj, txtBox, str); };
    if (auto* window = qobject_cast<self_test*>(obj)) {
      window->RunOnWindowThread(change);
    } else {
      QMetaObject::invokeMethod(obj, change, Qt::BlockingQueuedConnection);
    }
    return;
  }
  txtBox->setText(str);
  platform::SleepMs(ChangePauseMs);
}

void self_test::AmendCheckBox(QWidget* obj, QCheckBox* chkBox, bool checked, const QString& str) {
  if (QThread::currentThread() != obj->thread()) {
    auto change = [obj, chkBox, checked, str] { AmendCheckBox(obj, chkBox, checked, str); };
    if (auto* window = qobject_cast<self_test*>(obj)) {
      window->RunOnWindowThread(change);
    } else {
      QMetaObject::invokeMethod(obj, change, Qt::BlockingQueuedConnection);
    }
    return;
  }
  chkBox->setChecked(checked);
  platform::SleepMs(ChangePauseMs);
}

void self_test::ColourLabels(QLabel* first, QLabel* second, const QColor& colour) {
  RunOnWindowThread([first, second, colour] {
    SetBackground(first, colour);
    SetBackground(second, colour);
  });
}

// ---------------------------------------------------------------------------------
// The test sequence (worker thread).

void self_test::backgroundWorker1_DoWork(const std::shared_ptr<SelfTestState>& state) {
  // After each examined command: go on only while it succeeded and nobody asked to stop.
  auto goOn = [&state](int8_t result) { return result == 0 && state->closeForm.load() != 1; };

  ColourLabels(ledLbl, ledColourLbl, LightGreen);
  for (int round = 0; round < LedTestRounds; ++round) {
    ledBrightness(VolumeLedGroup, 0);
    ledBrightness(JackLedGroup, 0);
    platform::SleepMs(LedStepMs);
    ledBrightness(VolumeLedGroup, LedTestLevel);
    const int8_t jack = ledBrightness(JackLedGroup, LedTestLevel);
    platform::SleepMs(LedStepMs);
    if (!goOn(jack)) return;
  }
  ledBrightness(VolumeLedGroup, 0);
  ledBrightness(JackLedGroup, 0);
  AmendCheckBox(this, ledCheckBox, true, QString());
  ColourLabels(ledBrightnessLbl, ledLevelLbl, LightGreen);

  for (int level = 0; level <= TopLevel; ++level) {
    AddTextToObject(this, ledLevelLbl, QString::number(level));
    ledBrightness(VolumeLedGroup, uint8_t(level));
    const int8_t jack = ledBrightness(JackLedGroup, uint8_t(level));
    platform::SleepMs(LedStepMs);
    if (!goOn(jack)) return;
  }
  ledBrightness(VolumeLedGroup, 0);
  ledBrightness(JackLedGroup, 0);
  AmendCheckBox(this, brightnessCheckBox, true, QString());
  ledBrightness(VolumeLedGroup, uint8_t(state->volume));
  ledBrightness(JackLedGroup, uint8_t(state->jack));

  // A window on its way out (closed, or the program ending) asks nobody anything.
  if (state->abandoned) return;
  state->inPrompt = true;
  Qorn_test::CustomMessageBox::ShowBox(QStringLiteral("Press each key  on Ovitone... "), 1);
  state->inPrompt = false;

  // From here on the window may be gone: `state` and free functions only.
  const int8_t table = SendKeyboardTable(0);
  platform::SleepMs(KeyPhaseStepMs);
  if (table != 0) return;
  while (state->closeForm.load() != 1) platform::SleepMs(KeyPhaseStepMs);
}

// ---------------------------------------------------------------------------------
// The end of the test (GUI thread).

void self_test::OnWorkerFinished() {
  if (worker_ == nullptr) return;
  // Also called before the worker has reported: it is deleted once back in the event loop.
  disconnect(worker_, nullptr, this, nullptr);
  worker_->WaitForWork();
  worker_->deleteLater();
  worker_ = nullptr;
  promptCloser_->stop();
  backgroundWorker1_RunWorkerCompleted();
}

void self_test::backgroundWorker1_RunWorkerCompleted() {
  RestoreSettings(*state_);
  if (destroying_) return;
  if (isVisible()) {
    setAttribute(Qt::WA_DeleteOnClose, true);
    close();
  } else {
    deleteLater();  // closed already (from outside, while the test ran) or never shown
  }
}

void self_test::RequestStop() {
  closeForm = 1;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->abandoned = true;
  }
  state_->changed.notify_all();
  ClosePrompt();
  // The worker may be just about to open the prompt: keep closing it until it has ended.
  if (worker_ != nullptr) promptCloser_->start();
}

void self_test::ClosePrompt() {
  if (!state_->inPrompt) return;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<Qorn_test::CustomMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) box->close();  // answers "Cancel"
  }
}

bool self_test::PromptOnStack() const {
  // The box lives exactly as long as its modal loop runs, and that loop runs on this
  // thread: while it exists, everything on this thread runs inside it.
  if (!state_->inPrompt) return false;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<Qorn_test::CustomMessageBox*>(widget) != nullptr) return true;
  }
  return false;
}

void self_test::StopTestAndWait() {
  if (worker_ == nullptr) return;
  RequestStop();
  // Inside the prompt's loop the worker cannot return before this call does; it ends
  // (and reports) once the prompt's loop has closed.
  if (PromptOnStack()) return;
  // The worker may be waiting on this thread (a prompt being opened, a queued change):
  // keep its events flowing until the worker has ended. Input waits meanwhile. The
  // events may include the worker's own end (and, after it, this window's deletion).
  QPointer<self_test> self(this);
  while (self && worker_ != nullptr && !worker_->WaitForWork(0)) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 10);
    if (self && worker_ != nullptr) worker_->WaitForWork(5);
  }
  if (self) OnWorkerFinished();
}

void self_test::closeEvent(QCloseEvent* event) {
  if (worker_ != nullptr) {
    // Closed from outside while the test runs (the program is ending): stop the test;
    // the window stays until the worker has ended and the restore has run.
    RequestStop();
    setAttribute(Qt::WA_DeleteOnClose, false);
  }
  event->accept();
}

// ---------------------------------------------------------------------------------
// Keys.

void self_test::MarkKey(int index) {
  if (index < 0 || index > 3) return;
  self_test* target = selfTestFrm1 ? selfTestFrm1.data() : this;
  const int flag = FirstKeyFlag + index;
  if (buttonArray[flag]) return;
  QPushButton* keys[4] = {target->button7, target->button8, target->button9, target->button10};
  EmbedButtonInMirkelPicture(keys[index], target->pictureBox1, 1);
  buttonArray[flag] = true;
}

bool self_test::ProcessCmdKey(QKeyEvent* keyData) {
  const int index = SelfTestKeyIndex(*keyData);
  if (index >= 0) MarkKey(index);
  return false;
}

bool self_test::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride)
    return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != this) return false;
  if (type == QEvent::KeyPress) ProcessCmdKey(static_cast<QKeyEvent*>(event));
  // Handled: no control of the window acts on a key, and no shortcut fires.
  event->accept();
  return true;
}

void self_test::EmbedButtonInMirkelPicture(QPushButton* button, QLabel* pictureBox,
                                           int colourFlag) {
  // Same place on the screen, now in the picture box's coordinates.
  QPoint place;
  if (button->window() == pictureBox->window()) {
    place = pictureBox->mapFrom(pictureBox->window(), button->mapTo(button->window(), QPoint()));
  } else {
    place = pictureBox->mapFromGlobal(button->mapToGlobal(QPoint()));
  }
  if (button->parentWidget() != pictureBox) {
    const bool hidden = button->isHidden();
    button->setParent(pictureBox);
    if (!hidden) button->show();
  }
  button->move(place);
  button->raise();

  QPixmap background;
  const bool keyMark = colourFlag != 0;
  if (keyMark) {
    background = media::Picture(media::KeyMarkPicture);
  } else {
    const QPixmap picture = pictureBox->pixmap();
    if (!picture.isNull()) background = picture.copy(QRect(place, button->size()));
  }
  if (auto* painter = button->findChild<EmbeddedBackground*>(QString(), Qt::FindDirectChildrenOnly)) {
    painter->Replace(background, keyMark);
  } else {
    new EmbeddedBackground(button, background, keyMark);
  }
  button->setProperty("keyMarked", keyMark);
}

// ---------------------------------------------------------------------------------
// Buttons.

void self_test::ShowNoRecordMessage() {
  ui::ShowMessage(this, QStringLiteral("This device doesn't record.\n"),
                  QString::fromLatin1(RecordCaption), ui::Buttons::Ok, ui::Icon::Warning);
}

void self_test::button17_Click() {
  // The one audio handle goes to the test sound. A recording in progress is stopped
  // first, as "Stop Record" stops it, and an open recorder is given up; either way the
  // Record button starts over, so its next click opens a new recorder instead of
  // stopping one that no longer exists.
  const QString recordText = button18->text();
  if (recordText == QLatin1String("Stop Record")) audio_->StopRecording();
  if (recordText != QLatin1String("Record")) button18->setText(QStringLiteral("Record"));
  audio_->Close();
  audio_->PlayTestSound(media::Path(media::TestSound));
}

void self_test::button18_Click() {
  const QString text = button18->text();
  if (text == QLatin1String("Record")) {
    audio_->Close();
    audio_->OpenRecorder();
    if (audio_->CanRecord()) {
      button18->setText(QStringLiteral("Start Record"));
    } else {
      ShowNoRecordMessage();
    }
  } else if (text == QLatin1String("Start Record")) {
    if (audio_->CanRecord()) {
      audio_->StartRecording();
      button18->setText(QStringLiteral("Stop Record"));
    } else {
      ShowNoRecordMessage();
      button18->setText(QStringLiteral("Record"));
    }
  } else if (text == QLatin1String("Stop Record")) {
    if (!audio_->StopRecording()) {
      ShowNoRecordMessage();
    } else if (audio_->CanPlayRecording()) {
      audio_->PlayRecording();
    }
    button18->setText(QStringLiteral("Record"));
  }
}

void self_test::endBtn_MouseClick_1() {
  endBtn->setEnabled(false);
  audio_->Close();
  closeForm = 1;
  // A window whose status read failed runs no test, so no end of the test closes it.
  if (worker_ == nullptr) close();
}

}  // namespace pellix_usb_encoder
