// The firmware upgrade window: watches the bus for the encoder's bootstrap loader, lets
// the user pick a TI-TXT firmware file, programs and verifies it on a background worker
// through the loader library (loader/bsl430.h), resets the device into the new firmware
// and finally writes the user's saved settings back into the encoder.
//
// Threads: the window and both completions run on the GUI thread; the device count and
// the upgrade sequence run on worker threads and are the only callers of the loader
// library's device operations. Progress crosses to the window as queued signals.
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "loader/bsl430.h"

class QCloseEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QThread;

namespace pellix_usb_encoder {

// The loader's version text as last returned by the library (written by the upgrade
// worker only).
extern const char* bslVersion;

// Owner of the upgrade's identifiers and images; never shown.
class Firmware {
 public:
  // "VID", "PID", "RAM_BSL_VERSION", and the images "RAM_BSL.Text", "password.Text" and
  // "Forced_BOR.Text" (TI-TXT, CR LF line ends). Any other name gives an empty string.
  static QString GetString(const QString& name);
};

// Runs one piece of work at a time on its own thread and reports back on the thread
// that owns it: progress as it comes, then completion once the work has returned.
class BackgroundWorker : public QObject {
  Q_OBJECT

 public:
  // What the work hands back: its result, read by the completion handler.
  struct DoWorkEventArgs {
    QVariant Result;
  };
  using Work = std::function<void(BackgroundWorker& worker, DoWorkEventArgs& e)>;

  explicit BackgroundWorker(QObject* parent = nullptr);
  // Waits for running work: a thread is never torn down under it.
  ~BackgroundWorker() override;

  void SetWork(Work work);
  // True from RunWorkerAsync until just before RunWorkerCompleted is emitted.
  bool IsBusy() const { return busy_; }
  // Starts the work on a new thread; false (nothing started) while busy.
  bool RunWorkerAsync();
  // Called by the work: delivers (percent, text) to ProgressChanged on the owner's thread.
  void ReportProgress(int percent, const QString& text);
  // Blocks until running work has returned (its completion is still delivered later).
  void WaitForWork();

 signals:
  void ProgressChanged(int percent, const QString& text);
  // `error` is set when the work ended by an exception; `result` is then invalid.
  void RunWorkerCompleted(const QVariant& result, bool error);

 private slots:
  void OnThreadFinished();

 private:
  Work work_;
  QThread* thread_ = nullptr;
  bool busy_ = false;
  DoWorkEventArgs args_;
  bool failed_ = false;
};

class firmware_upgrade : public QWidget, public BSL_DeviceChangeSink {
  Q_OBJECT

 public:
  explicit firmware_upgrade(QWidget* parent = nullptr);
  // Cancels the device-change registration first, then waits for running work.
  ~firmware_upgrade() override;

  // Settings handed over by the main window; written back after a successful upgrade.
  static int keypadType_index;
  static int ledBrightness_index;
  static int jackLedBrightness_index;
  static std::array<int, 20> key_codes;  // the first 8 are used
  static QString firmwareVersion;
  static QString serialNumber;

  // Loader identifiers ("0x" and four hexadecimal digits) and which device to open.
  static QString myVID;
  static QString myPID;
  static QString myDeviceIndex;
  static uint32_t numberOfUSBDevicesConnected;
  // A device change arrived while a worker was busy: count once more afterwards.
  static bool scanDeviceAgain;
  // Tick counts (ms) around the programming, and its length in whole seconds.
  static uint32_t startProgramTime;
  static uint32_t stopProgramTime;
  static uint32_t totalProgramTime;

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

  // Text helpers.
  // Copies the low 8 bits of every character of `str` to consecutive bytes at
  // `character`; writes no terminator.
  static void StringToChar(const QString& str, char* character);
  // Widens "0x" plus hexadecimal digits to four digits: "0x200" gives "0x0200".
  static QString padHexStringValue(QString hexString);

  // Image verification and erase (on the upgrade worker).
  // CRC-16/CCITT-FALSE of the block's first byteCount bytes.
  static uint32_t Calculate_CRC(DataBlock_ data);
  // The device's CRC of the range when crcValue is 0; otherwise 0 for a match and
  // 0xFFFFFFFF for a mismatch. 0xFFFFFFFF when the device does not answer.
  static uint32_t CRC_Check(uint32_t addr, uint32_t length, uint32_t crcValue);
  // 0 every block matches, 1 a block differs, 0xFFFFFFFE the file cannot be opened.
  static uint32_t CRC_Check_File(char* filename);
  // Erases every segment in which a block of at most 512 bytes begins; 0 done,
  // 0xFFFFFFFE the file cannot be opened.
  static uint32_t EraseDataSegment_File(char* fileName);

  // The upgrade sequence (on the upgrade worker).
  bool DownloadStartUp(BackgroundWorker& worker, BackgroundWorker::DoWorkEventArgs& e,
                       bool& massErased);
  void CustomSelectedFirmware(const QString& filenameString, BackgroundWorker& worker,
                              BackgroundWorker::DoWorkEventArgs& e);
  bool TriggerForcedBOR(BackgroundWorker& worker, BackgroundWorker::DoWorkEventArgs& e);

  // BSL_DeviceChangeSink: called on the library's watcher thread.
  void BSL_DeviceChanged(unsigned eventCode) override;

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

  // The window whose sink the library calls (window thread only).
  static firmware_upgrade* registeredWindow_;

  bool handleCreated_ = false;
  bool restoring_ = false;
  // The file to program, taken from filenameTextBox when the upgrade starts.
  QString upgradePath_;
};

}  // namespace pellix_usb_encoder
