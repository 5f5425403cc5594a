// The user-interaction seam: every message box, question, file dialog and folder dialog
// of the program goes through one function here. The program shows Qt dialogs; tests
// install an Interaction handler that records each request and answers for the user.
#pragma once

#include <QString>

class QWidget;

namespace pellix_usb_encoder::ui {

enum class Icon { None, Information, Warning, Question, Error };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

struct MessageRequest {
  QString text;
  QString caption;
  Buttons buttons = Buttons::Ok;
  Icon icon = Icon::None;
};

struct OpenFileRequest {
  QString caption;
  QString filter;     // Qt filter string, e.g. "Settings (*.ini);;All files (*)"
  QString presetName; // file name preset in the dialog
  QString folder;     // folder the dialog opens in
};

struct FolderRequest {
  QString description;
  QString folder;     // folder preset in the dialog
};

// What a test puts in place of the real dialogs. Called on the thread that asked.
class Interaction {
 public:
  virtual ~Interaction() = default;
  virtual Answer Message(const MessageRequest& request) = 0;
  // The chosen file's path, or an empty string for Cancel.
  virtual QString OpenFile(const OpenFileRequest& request) = 0;
  // The chosen folder, or an empty string for Cancel.
  virtual QString Folder(const FolderRequest& request) = 0;
  // The program's own message box (Qorn_test::CustomMessageBox::ShowBox): returns the
  // answer "Yes", "No" or "Cancel".
  virtual QString CustomBox(const QString& text, int messageType) = 0;
};

// Installs `handler` (not owned) in place of the real dialogs; nullptr restores them.
void SetInteraction(Interaction* handler);
Interaction* CurrentInteraction();

// Makes the windows' waits for the encoder responsive: every exchange made on the window
// thread runs through platform::RunResponsively, with the busy cursor, and input to a
// window whose top-level widget has the property NeverHoldInputProperty set to true (the
// demo's simulated hardware) is never held back. Called once the application exists.
void InstallResponsiveWaits();
inline constexpr const char* NeverHoldInputProperty = "ovitoneNeverHoldInput";

// A modal message box. The convention of the program's failure messages is
// ShowMessage(parent, text + "\n", "Orvane Ovitone ", Buttons::Ok, Icon::Warning).
Answer ShowMessage(QWidget* parent, const QString& text, const QString& caption,
                   Buttons buttons = Buttons::Ok, Icon icon = Icon::Warning);
// A file-open dialog; empty when cancelled.
QString AskOpenFile(QWidget* parent, const OpenFileRequest& request);
// A folder chooser; empty when cancelled.
QString AskFolder(QWidget* parent, const FolderRequest& request);

}  // namespace pellix_usb_encoder::ui
