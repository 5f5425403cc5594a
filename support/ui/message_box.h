// The program's own message box, with up to three answer buttons.
#pragma once

#include <QDialog>
#include <QString>

class QKeyEvent;
class QLabel;
class QPushButton;

namespace pellix_usb_encoder::Qorn_test {

class CustomMessageBox : public QDialog {
  Q_OBJECT

 public:
  CustomMessageBox();

  // Shows `myString` in a modal box that stays on top and returns the answer: "Yes",
  // "No" or "Cancel". Type 1 shows one "OK" button, which answers "Cancel"; Escape and
  // the title bar's close box answer "Cancel" too. Safe to call from any thread: the
  // box is always created on the GUI thread, and a worker that calls it waits there
  // until the user answers while the windows stay usable.
  static QString ShowBox(const QString& myString, int messageType);

  QLabel* warningLabel_ = nullptr;
  QPushButton* yesButton_ = nullptr;
  QPushButton* noButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;

  // The answer of the last box: "Cancel" until a button is pressed.
  static QString Button_ID_;

 public slots:
  void btnYes_Click();
  void btnNo_Click();
  void btnCancel_Click();

 protected:
  // Escape clicks cancelButton_ while it is shown.
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace pellix_usb_encoder::Qorn_test
