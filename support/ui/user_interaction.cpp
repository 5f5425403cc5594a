#include "support/ui/user_interaction.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QWindow>

#include <atomic>
#include <functional>

#include "device/encoder_session.h"
#include "support/service/platform.h"

namespace pellix_usb_encoder::ui {

namespace {

std::atomic<Interaction*> installedHandler{nullptr};

QMessageBox::Icon BoxIcon(Icon icon) {
  switch (icon) {
    case Icon::Information: return QMessageBox::Information;
    case Icon::Warning: return QMessageBox::Warning;
    case Icon::Question: return QMessageBox::Question;
    case Icon::Error: return QMessageBox::Critical;
    case Icon::None: break;
  }
  return QMessageBox::NoIcon;
}

// Runs `show` on the GUI thread and returns its result. A worker waits until the user
// has answered; only that worker blocks, the windows stay usable. Without a running
// application (none created, or it is shutting down) nobody could answer, so the
// caller gets `unanswered` at once.
template <typename Result, typename Show>
Result OnGuiThread(Show&& show, Result unanswered) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QCoreApplication::closingDown()) return unanswered;
  if (QThread::currentThread() == app->thread()) return show();
  Result result = unanswered;
  QMetaObject::invokeMethod(
      app, [&] { result = show(); }, Qt::BlockingQueuedConnection);
  return result;
}

// The widget a dialog may be parented to: only a widget still alive, and only when
// the dialog is made on that widget's thread (always the GUI thread).
QWidget* UsableParent(const QPointer<QWidget>& parent) {
  return parent.isNull() ? nullptr : parent.data();
}

}  // namespace

void InstallResponsiveWaits() {
  platform::SetBusyIndicator([](bool busy) {
    if (busy) {
      QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
      QGuiApplication::restoreOverrideCursor();
    }
  });
  platform::SetInputHoldExemption([](QObject* receiver) {
    QWidget* widget = qobject_cast<QWidget*>(receiver);
    if (widget == nullptr) {
      // Input reaches a window before its widgets.
      if (auto* window = qobject_cast<QWindow*>(receiver)) {
        for (QWidget* top : QApplication::topLevelWidgets()) {
          if (top->windowHandle() == window) widget = top;
        }
      }
    }
    return widget != nullptr && widget->window()->property(NeverHoldInputProperty).toBool();
  });
  SetExchangeRunner([](const std::function<void()>& exchange) { platform::RunResponsively(exchange); });
}

void SetInteraction(Interaction* handler) { installedHandler.store(handler); }

Interaction* CurrentInteraction() { return installedHandler.load(); }

Answer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                   Buttons buttons, Icon icon) {
  if (Interaction* handler = CurrentInteraction())
    return handler->Message(MessageRequest{text, caption, buttons, icon});

  // Closing a Yes/No box without choosing counts as No, an Ok box can only say Ok.
  const Answer unanswered = buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
  QPointer<QWidget> owner(parent);
  return OnGuiThread(
      [&]() -> Answer {
        QMessageBox box(BoxIcon(icon), caption, text,
                        buttons == Buttons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                  : QMessageBox::Ok,
                        UsableParent(owner));
        box.exec();
        const QMessageBox::StandardButton chosen = box.standardButton(box.clickedButton());
        if (buttons == Buttons::Ok) return Answer::Ok;
        return chosen == QMessageBox::Yes ? Answer::Yes : Answer::No;
      },
      unanswered);
}

QString AskOpenFile(QWidget* parent, const OpenFileRequest& request) {
  if (Interaction* handler = CurrentInteraction()) return handler->OpenFile(request);

  QPointer<QWidget> owner(parent);
  return OnGuiThread(
      [&]() -> QString {
        QFileDialog dialog(UsableParent(owner), request.caption, request.folder,
                           request.filter);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (!request.presetName.isEmpty()) dialog.selectFile(request.presetName);
        if (dialog.exec() != QDialog::Accepted) return QString();
        const QStringList chosen = dialog.selectedFiles();
        return chosen.isEmpty() ? QString() : QDir::toNativeSeparators(chosen.first());
      },
      QString());
}

QString AskFolder(QWidget* parent, const FolderRequest& request) {
  if (Interaction* handler = CurrentInteraction()) return handler->Folder(request);

  QPointer<QWidget> owner(parent);
  return OnGuiThread(
      [&]() -> QString {
        const QString chosen = QFileDialog::getExistingDirectory(
            UsableParent(owner), request.description, request.folder,
            QFileDialog::ShowDirsOnly);
        return QDir::toNativeSeparators(chosen);
      },
      QString());
}

}  // namespace pellix_usb_encoder::ui
