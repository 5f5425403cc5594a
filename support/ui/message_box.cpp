#include "support/ui/message_box.h"

#include <QEventLoop>

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <mutex>

#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder::Qorn_test {

namespace {

// Client area of the box. The controls are laid out for a box of this size, so it is
// given to the client area and the window manager's frame goes around it.
constexpr int BoxWidth = 420;
constexpr int BoxHeight = 140;

constexpr int ButtonWidth = 70;
constexpr int ButtonHeight = 22;
constexpr int ButtonTop = 87;

// Button_ID_ is one value for every box. Only the GUI thread shows boxes, but the
// lock keeps a stray reader on another thread from seeing a half-assigned string.
std::mutex& AnswerLock() {
  static std::mutex lock;
  return lock;
}

void SetAnswer(const QString& answer) {
  std::lock_guard<std::mutex> guard(AnswerLock());
  CustomMessageBox::Button_ID_ = answer;
}

QString Answer() {
  std::lock_guard<std::mutex> guard(AnswerLock());
  return CustomMessageBox::Button_ID_;
}

// The screen the user is looking at: the one under the mouse pointer, else the primary.
QScreen* ScreenForNewBox() {
  if (QScreen* screen = QGuiApplication::screenAt(QCursor::pos())) return screen;
  return QGuiApplication::primaryScreen();
}

void CentreOnScreen(QWidget* window) {
  QScreen* screen = ScreenForNewBox();
  if (screen == nullptr) return;
  QRect frame = window->frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  window->move(frame.topLeft());
}

// Builds, shows and answers one box. GUI thread only. A box asked for by a worker
// blocks only that worker: it is not modal, and a local event loop waits for the
// answer while every window stays usable. A box asked for on the GUI thread is modal.
QString RunBox(const QString& myString, int messageType, bool forWorker) {
  CustomMessageBox box;
  SetAnswer(QStringLiteral("Cancel"));
  if (messageType == 1) {
    box.cancelButton_->setText(QStringLiteral("OK"));
    box.yesButton_->hide();
    box.noButton_->hide();
    box.cancelButton_->setDefault(true);
    box.cancelButton_->setFocus();
  }
  box.warningLabel_->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  box.warningLabel_->setText(myString);
  // Centre last: the text and the flags are final now.
  box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  CentreOnScreen(&box);
  if (forWorker) {
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    box.setWindowModality(Qt::NonModal);
    box.show();
    loop.exec();
  } else {
    box.exec();
  }
  return Answer();
}

}  // namespace

QString CustomMessageBox::Button_ID_ = QStringLiteral("Cancel");

CustomMessageBox::CustomMessageBox() : QDialog(nullptr) {
  // A tool window has no task bar entry; the hints leave a title and a close box only.
  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QStringLiteral(" Ovitone Message "));
  setFont(QFont(QStringLiteral("Microsoft Sans Serif"), 8));
  setFixedSize(BoxWidth, BoxHeight);
  setSizeGripEnabled(false);

  warningLabel_ = new QLabel(QStringLiteral("This may take awhile, do you wish to continue?"),
                             this);
  warningLabel_->setObjectName(QStringLiteral("warningLabel_"));
  warningLabel_->setGeometry(5, 5, 400, 78);
  warningLabel_->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  warningLabel_->setWordWrap(true);

  auto makeButton = [this](const char* name, const QString& text, int x) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(x, ButtonTop, ButtonWidth, ButtonHeight);
    return button;
  };
  yesButton_ = makeButton("yesButton_", QStringLiteral("Yes"), 10);
  noButton_ = makeButton("noButton_", QStringLiteral("No"), 180);
  cancelButton_ = makeButton("cancelButton_", QStringLiteral("Cancel"), 320);

  connect(yesButton_, &QPushButton::clicked, this, &CustomMessageBox::btnYes_Click);
  connect(noButton_, &QPushButton::clicked, this, &CustomMessageBox::btnNo_Click);
  connect(cancelButton_, &QPushButton::clicked, this, &CustomMessageBox::btnCancel_Click);

  CentreOnScreen(this);
}

QString CustomMessageBox::ShowBox(const QString& myString, int messageType) {
  if (ui::Interaction* handler = ui::CurrentInteraction())
    return handler->CustomBox(myString, messageType);

  QCoreApplication* app = QCoreApplication::instance();
  // Nobody can answer while the program shuts down: a worker asking then must not wait.
  if (app == nullptr || QCoreApplication::closingDown()) return QStringLiteral("Cancel");
  if (QThread::currentThread() == app->thread()) return RunBox(myString, messageType, false);

  // A worker hands the box to the GUI thread and waits there; its own event loop would
  // not paint widgets, and only the GUI thread may create them.
  QString answer = QStringLiteral("Cancel");
  QMetaObject::invokeMethod(
      app, [&] { answer = RunBox(myString, messageType, true); }, Qt::BlockingQueuedConnection);
  return answer;
}

void CustomMessageBox::btnYes_Click() {
  SetAnswer(QStringLiteral("Yes"));
  close();
}

void CustomMessageBox::btnNo_Click() {
  SetAnswer(QStringLiteral("No"));
  close();
}

void CustomMessageBox::btnCancel_Click() {
  SetAnswer(QStringLiteral("Cancel"));
  close();
}

void CustomMessageBox::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Cancel) && cancelButton_->isVisible()) {
    cancelButton_->click();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace pellix_usb_encoder::Qorn_test
