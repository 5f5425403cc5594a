// The firmware upgrade window: watches the bus for the encoder's bootstrap loader, lets
// the user pick a TI-TXT firmware file and runs the upgrade engine (firmware/core/upgrader.h)
// on a background worker: program, verify, reset into the new firmware, and finally write
// the user's saved settings back into the unit that proves to be theirs, asking the user
// when it cannot. Every ending says where the unit is left and what to do next.
//
// Threads: the window and both completions run on the GUI thread; the device count and
// the upgrade sequence run on worker threads and are the only callers of the loader
// library's device operations. Progress crosses to the window as queued signals.
#pragma once

#include <QString>
#include <QVariant>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/core/upgrader.h"
#include "loader/bsl430.h"
#include "support/service/background_worker.h"

class QCloseEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShowEvent;

namespace pellix_usb_encoder {

class firmware_upgrade : public QWidget, public BSL_DeviceChangeSink, public FirmwareUpgrader {
  Q_OBJECT

 public:
  explicit firmware_upgrade(QWidget* parent = nullptr);
  // Cancels the device-change registration first, then waits for running work.
  ~firmware_upgrade() override;

  // Loader devices found by the last device count.
  static uint32_t numberOfUSBDevicesConnected;
  // A device change arrived while a worker was busy: count once more afterwards.
  static bool scanDeviceAgain;

  // The device-change message and its two events (arrival, removal complete).
  static constexpr uint32_t DeviceChangeMessage = 0x0219;
  static constexpr uint32_t DeviceArrivalEvent = 0x8000;
  static constexpr uint32_t DeviceRemoveCompleteEvent = 0x8004;

  // Controls.
  QGroupBox* groupBox1 = nullptr;
  QLabel* label1 = nullptr;            // "Select Firmware"
  QLabel* label3 = nullptr;            // "File to download"
  QPushButton* btnBrowse = nullptr;    // "&Browse"
  QLineEdit* filenameTextBox = nullptr;
  QPushButton* btnUpgrade = nullptr;   // "Upgrade Firmware"
  QPushButton* btnClose = nullptr;     // "&Close"
  QPlainTextEdit* statusBox = nullptr;
  QProgressBar* progressBar = nullptr;
  QLabel* label2 = nullptr;            // "VID"
  QLabel* vidLbl = nullptr;
  QLabel* label4 = nullptr;            // "PID"
  QLabel* pidLbl = nullptr;
  QLabel* labelNumOfDevices = nullptr;
  BackgroundWorker* backgroundWorker1 = nullptr;            // the upgrade
  BackgroundWorker* backgroundWorkerCheckDevice = nullptr;  // the device count

  // True while the upgrade or the device count runs, or the settings restore is busy.
  bool UpgradeOrCountRunning() const;

  // BSL_DeviceChangeSink: called on the library's watcher thread.
  void BSL_DeviceChanged(unsigned eventCode) override;

 signals:
  // The new firmware runs and the settings are back in the encoder.
  void UpgradeCompleted();

 public slots:
  void btnBrowse_Click();
  void btnUpgrade_MouseClick();
  void btnClose_MouseClick();
  // A device-change message (window thread).
  void ParseMessages(uint32_t message, uint32_t eventCode);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // First show: registers for device changes and starts the first device count.
  void OnHandleCreated();

 private:
  void BuildControls();
  void InitializeVidPidFirmware();
  void InitializeBackgroundWorker();
  int RegisterUSBDevice();
  void UnRegisterUSBDevice();
  void StartDeviceCount();

  void backgroundWorkerCheckDevice_DoWork(BackgroundWorker& worker,
                                          BackgroundWorker::DoWorkEventArgs& e);
  void backgroundWorkerCheckDevice_RunWorkerCompleted(const QVariant& result, bool error);
  void backgroundWorker1_DoWork(BackgroundWorker& worker, BackgroundWorker::DoWorkEventArgs& e);
  void backgroundWorker1_ProgressChanged(int percent, const QString& text);
  void backgroundWorker1_RunWorkerCompleted(const QVariant& result, bool error);
  // Writes the handed-over settings back into the encoder after a successful upgrade.
  void RestoreSettings();
  // "The settings of serial number S are kept safe ..." when a record keeps this unit's
  // settings for the next upgrade; empty otherwise.
  QString KeptNote() const;
  // Where the unit is now (its port, or the loaders on the bus for a window that does
  // not know its unit).
  UnitPlace Place() const;
  // What the log says after an upgrade that did not finish.
  QString FailureEnding() const;
  // Asks the user whether settings that may not be this unit's go into it.
  std::optional<size_t> AskWhoseSettings(const std::string& port,
                                         const std::vector<RestoreCandidate>& candidates);
  // Adds a line of the window's own after the progress texts, on a line of its own.
  void AppendLogLine(const QString& line);

  // The window whose sink the library calls (window thread only).
  static firmware_upgrade* registeredWindow_;

  bool handleCreated_ = false;
  bool restoring_ = false;
  // The last upgrade reached its loader (false: it was refused before anything was sent).
  bool loaderTouched_ = false;
  // The file to program, taken from filenameTextBox when the upgrade starts.
  QString upgradePath_;
};

}  // namespace pellix_usb_encoder
