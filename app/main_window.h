// The main window: connection and status panel, the device settings, the configuration
// file, and the openers of the other windows.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <string>

#include "device/encoder_session.h"
#include "support/core/config_file.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPushButton;
class QStatusBar;
class QTextEdit;

namespace pellix_usb_encoder {

class self_test;


// Caption of the main window's messages (with its trailing blank).
inline constexpr const char* MessageCaption = "Orvane Ovitone ";
// Added to the "not connected" message when the encoder is on the bus but may not be
// opened: a line break, then the hint.
inline const std::string AccessDeniedHint = std::string("\n") + AccessDeniedAdvice;

class Form1 : public QMainWindow {
  Q_OBJECT

 public:
  Form1();
  ~Form1() override;

  // Runs the load handler, then shows the window centred on the screen.
  void ShowFirstTime();

  // Menus.
  QMenuBar* menuStrip1 = nullptr;
  QMenu* helpToolStripMenuItem = nullptr;   // "File"
  QAction* aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem = nullptr;  // "Import Cfg File"
  QAction* exitToolStripMenuItem = nullptr;                               // "Export Cfg File"
  QAction* exitToolStripMenuItem1 = nullptr;                              // "Exit"
  QMenu* helpToolStripMenuItem1 = nullptr;  // "Help"
  QAction* aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1 = nullptr;  // "About ..."

  // Controls.
  QLabel* label1 = nullptr;
  QPushButton* button11 = nullptr;  // "Scan For Device"
  QTextEdit* richTextBox1 = nullptr;  // status panel
  QComboBox* ledBrightnessCbox = nullptr;
  QComboBox* jackLedBrightnessCbox = nullptr;
  QPushButton* button2 = nullptr;  // "Test Ovitone"
  QComboBox* keypadTypeCbox = nullptr;
  QPushButton* button1 = nullptr;  // "Customise Code Table"
  QPushButton* button3 = nullptr;  // "Reset From Configuration File"
  QPushButton* button8 = nullptr;  // "Save Changes"
  QPushButton* btnLoadFirmware = nullptr;  // "Update Ovitone Firmware"
  QPushButton* button9 = nullptr;  // "Reset To Factory Default"
  QPushButton* button10 = nullptr;  // "Exit"
  QStatusBar* statusStrip1 = nullptr;

  // The encoder's values as last confirmed (status read or accepted command).
  int prev_volLedBrightness_index = 0;
  int prev_jackLedBrightness_index = 0;
  int prev_keypadType_index = 0;
  QString Jack_status;
  QString firmwareVersion;
  QString serialNumber;

  // The encoder's key code table as last read (first 8 bytes), shared by all windows.
  static std::array<uint8_t, 32> keyCodeArray;
  // The three lines of the status panel.
  static std::array<QString, 3> configArray;

  // The self-test window "Test Ovitone" opened last (null once it has closed).
  QPointer<self_test> selfTestFrm;

  // Reads the encoder's status into the fields above: 0 on success, -1 on failure.
  int8_t GetDeviceStatusMessage();
  void EnableDisableFunctionButtons(bool btnEnabled);

  // The configuration file, section "appSettings".
  void SaveToConfigFile();

  // The "connected" and "not connected" panel lines.
  void SetConnectedLines();
  void SetNotConnectedLine();
  // With `centred`, the lines stand in the middle of the panel (after a keypad change).
  void ShowPanelLines(bool centred = false);

 public slots:
  void Form1_Load();
  void button11_Click();
  void keypadTypeCbox_SelectionChangeCommitted();
  void ledBrightnessCbox_SelectionChangeCommitted();
  void jackLedBrightnessCbox_SelectionChangeCommitted();
  void button8_Click();
  void button9_Click();
  void button3_Click();
  void button1_Click();
  void button2_Click();
  void btnLoadFirmware_MouseClick();
  void aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem_Click();   // import
  void exitToolStripMenuItem_Click();                                 // export
  void aboutOrvaneUSBEncoderConfiguratorToolStripMenuItem1_Click();  // about
  void button10_Click();
  void exitToolStripMenuItem1_Click();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void BuildControls();
  // Closes the old handle, scans, and reports "not connected" when nothing is found.
  void Rescan();
  // After a status read: the connected or the not-connected state. `jackFallbackText`
  // is what the jack LED list shows after a failed read.
  void StatusRefresh(bool readOk, const QString& jackFallbackText);
  // Shows a failure message with the main window's caption, OK and the warning icon.
  void Warn(const QString& text);
  // The settings as the last successful status read gave them.
  EncoderSettings lastReadSettings_;
  // Why the configuration file cannot be kept (no usable per-user data folder); empty
  // when it can.
  std::string dataFolderProblem_;
  void ExitProgram();
  bool CloseOtherWindows();
};

}  // namespace pellix_usb_encoder
