#include "firmware/upgrade_window.h"

#include <QCloseEvent>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextCursor>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <hidapi/hidapi.h>

#include "support/config_file.h"
#include "device/device_lock.h"
#include "device/encoder_protocol.h"
#include "device/hid_transport.h"
#include "firmware/crc.h"
#include "loader/ti_txt.h"
#include "support/ini_file.h"
#include "support/platform.h"
#include "support/user_interaction.h"

#ifndef OVITONE_RAM_BSL_STAND_IN
#define OVITONE_RAM_BSL_STAND_IN 1
#endif

namespace pellix_usb_encoder {

const char* bslVersion = nullptr;

namespace {

constexpr int ClientWidth = 520;
constexpr int ClientHeight = 420;
const char* const ControlFontFamily = "Microsoft Sans Serif";

// Loader library settings for the MSP430 F5xx USB loader.
constexpr int LoaderFamily = 3;
constexpr int LoaderLinkUsb = 2;
constexpr int SendFast = 1;
constexpr uint32_t RamLoaderStart = 0x2504;
constexpr uint32_t ResetVectorAddress = 0xFFFF;
constexpr int PasswordBytes = 32;
constexpr int EraseBlockBytes = 512;
constexpr int VerifyBlockBytes = 5000;
constexpr uint32_t FileNotOpened = 0xFFFFFFFE;
constexpr uint32_t CrcRequestFailed = 0xFFFFFFFF;

// The texts handed to the library live in fixed buffers of these sizes.
constexpr size_t DeviceStringBytes = 100;
constexpr size_t PasswordTextBytes = 200;
constexpr size_t RamLoaderTextBytes = 20000;
constexpr size_t PathBytes = 200;
constexpr size_t ResetTextBytes = 100;

// Fixed waits (ms): between a refused password and the default one, each of the three
// steps while the RAM loader re-enumerates, and for the encoder to restart.
constexpr int MassEraseWaitMs = 2000;
constexpr int RamLoaderStepWaitMs = 1000;
constexpr int EncoderRestartWaitMs = 6000;

const QString CrLf = QStringLiteral("\r\n");

// Copies `text` into a zero-filled buffer of `size` bytes when it fits with its
// terminator; otherwise the buffer stays empty and false is returned.
bool CopyTerminated(const QString& text, std::vector<char>& buffer, size_t size) {
  buffer.assign(size, '\0');
  if (static_cast<size_t>(text.size()) >= size) return false;
  firmware_upgrade::StringToChar(text, buffer.data());
  return true;
}

QString ResourceText(const char* alias) {
  QFile file(QStringLiteral(":/firmware/") + QLatin1String(alias));
  if (!file.open(QIODevice::ReadOnly)) return QString();
  return QString::fromLatin1(file.readAll());
}

// Buttons that act on a mouse click only: they take no focus, and their mnemonic does
// nothing.
class MouseOnlyFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Shortcut) return true;
    return QObject::eventFilter(watched, event);
  }
};

void MakeMouseOnly(QPushButton* button, QObject* filter) {
  button->setFocusPolicy(Qt::NoFocus);
  button->setAutoDefault(false);
  button->installEventFilter(filter);
}

// Clears `flag` when the scope ends, however it ends.
struct FlagScope {
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  bool& flag_;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Firmware

QString Firmware::GetString(const QString& name) {
  if (name == QLatin1String("VID")) return QStringLiteral("0x2047");
  if (name == QLatin1String("PID")) return QStringLiteral("0x200");
  if (name == QLatin1String("RAM_BSL_VERSION")) return QStringLiteral("00.06.05.34");
  if (name == QLatin1String("RAM_BSL.Text")) return ResourceText("RAM_BSL.Text");
  if (name == QLatin1String("password.Text")) return ResourceText("password.Text");
  if (name == QLatin1String("Forced_BOR.Text")) return ResourceText("Forced_BOR.Text");
  return QString();
}

// ---------------------------------------------------------------------------------------
// BackgroundWorker

BackgroundWorker::BackgroundWorker(QObject* parent) : QObject(parent) {}

BackgroundWorker::~BackgroundWorker() {
  WaitForWork();
  delete thread_;
}

void BackgroundWorker::SetWork(Work work) { work_ = std::move(work); }

bool BackgroundWorker::RunWorkerAsync() {
  if (busy_ || !work_) return false;
  busy_ = true;
  failed_ = false;
  args_ = DoWorkEventArgs{};
  thread_ = QThread::create([this] {
    try {
      work_(*this, args_);
    } catch (...) {
      failed_ = true;
    }
  });
  connect(thread_, &QThread::finished, this, &BackgroundWorker::OnThreadFinished,
          Qt::QueuedConnection);
  thread_->start();
  return true;
}

void BackgroundWorker::ReportProgress(int percent, const QString& text) {
  emit ProgressChanged(percent, text);
}

void BackgroundWorker::WaitForWork() {
  if (thread_ != nullptr) thread_->wait();
}

void BackgroundWorker::OnThreadFinished() {
  if (thread_ == nullptr) return;
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  busy_ = false;
  emit RunWorkerCompleted(failed_ ? QVariant() : args_.Result, failed_);
}

// ---------------------------------------------------------------------------------------
// firmware_upgrade: class-wide state

int firmware_upgrade::keypadType_index = 0;
int firmware_upgrade::ledBrightness_index = 0;
int firmware_upgrade::jackLedBrightness_index = 0;
std::array<int, 20> firmware_upgrade::key_codes{};
QString firmware_upgrade::firmwareVersion;
QString firmware_upgrade::serialNumber;

QString firmware_upgrade::myVID;
QString firmware_upgrade::myPID;
QString firmware_upgrade::myDeviceIndex = QStringLiteral("0");
uint32_t firmware_upgrade::numberOfUSBDevicesConnected = 0;
bool firmware_upgrade::scanDeviceAgain = false;
uint32_t firmware_upgrade::startProgramTime = 0;
uint32_t firmware_upgrade::stopProgramTime = 0;
uint32_t firmware_upgrade::totalProgramTime = 0;
firmware_upgrade* firmware_upgrade::registeredWindow_ = nullptr;

// ---------------------------------------------------------------------------------------
// Construction and lifetime

firmware_upgrade::firmware_upgrade(QWidget* parent) : QWidget(parent) {
  // A fixed dialog frame with a title and a close box only.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowTitle(QStringLiteral("Orvane Ovitone  Firmware Upgrade"));
  setFont(QFont(QString::fromLatin1(ControlFontFamily), 9));
  setFixedSize(ClientWidth, ClientHeight);
  BuildControls();
  InitializeVidPidFirmware();
  InitializeBackgroundWorker();
}

firmware_upgrade::~firmware_upgrade() {
  // The library's watcher thread must stop calling us before anything goes away.
  UnRegisterUSBDevice();
  // Closing is refused while work runs; this is for the program's teardown only.
  backgroundWorker1->WaitForWork();
  backgroundWorkerCheckDevice->WaitForWork();
}

void firmware_upgrade::BuildControls() {
  auto* mouseOnly = new MouseOnlyFilter(this);

  groupBox1 = new QGroupBox(QStringLiteral("Select which firmware to download"), this);
  groupBox1->setGeometry(12, 10, 496, 106);

  label1 = new QLabel(QStringLiteral("Select Firmware"), groupBox1);
  label1->setGeometry(14, 30, 112, 26);
  btnBrowse = new QPushButton(QStringLiteral("&Browse"), groupBox1);
  btnBrowse->setGeometry(130, 28, 100, 30);
  btnBrowse->setEnabled(false);
  connect(btnBrowse, &QPushButton::clicked, this, &firmware_upgrade::btnBrowse_Click);

  label3 = new QLabel(QStringLiteral("File to download"), groupBox1);
  label3->setGeometry(14, 68, 112, 26);
  filenameTextBox = new QLineEdit(groupBox1);
  filenameTextBox->setGeometry(130, 68, 352, 26);
  filenameTextBox->setReadOnly(true);

  btnUpgrade = new QPushButton(QStringLiteral("Upgrade Firmware"), this);
  btnUpgrade->setGeometry(12, 126, 150, 34);
  btnUpgrade->setEnabled(false);
  MakeMouseOnly(btnUpgrade, mouseOnly);
  connect(btnUpgrade, &QPushButton::clicked, this, &firmware_upgrade::btnUpgrade_MouseClick);

  btnClose = new QPushButton(QStringLiteral("&Close"), this);
  btnClose->setGeometry(ClientWidth - 12 - 110, 126, 110, 34);
  MakeMouseOnly(btnClose, mouseOnly);
  connect(btnClose, &QPushButton::clicked, this, &firmware_upgrade::btnClose_MouseClick);

  progressBar = new QProgressBar(this);
  progressBar->setGeometry(12, 170, 496, 22);
  progressBar->setRange(0, 100);
  progressBar->setValue(0);
  progressBar->setTextVisible(false);

  statusBox = new QPlainTextEdit(this);
  statusBox->setGeometry(12, 200, 496, 180);
  statusBox->setReadOnly(true);
  statusBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  statusBox->setLineWrapMode(QPlainTextEdit::WidgetWidth);

  label2 = new QLabel(QStringLiteral("VID"), this);
  label2->setGeometry(12, 388, 28, 22);
  vidLbl = new QLabel(this);
  vidLbl->setGeometry(42, 388, 64, 22);
  label4 = new QLabel(QStringLiteral("PID"), this);
  label4->setGeometry(118, 388, 28, 22);
  pidLbl = new QLabel(this);
  pidLbl->setGeometry(148, 388, 64, 22);
  labelNumOfDevices = new QLabel(QStringLiteral("Searching for devices"), this);
  labelNumOfDevices->setGeometry(228, 388, 280, 22);
  labelNumOfDevices->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

void firmware_upgrade::InitializeVidPidFirmware() {
  myVID = padHexStringValue(Firmware::GetString(QStringLiteral("VID")));
  vidLbl->setText(myVID);
  myPID = padHexStringValue(Firmware::GetString(QStringLiteral("PID")));
  pidLbl->setText(myPID);
}

void firmware_upgrade::InitializeBackgroundWorker() {
  backgroundWorker1 = new BackgroundWorker(this);
  backgroundWorker1->SetWork([this](BackgroundWorker& worker, BackgroundWorker::DoWorkEventArgs& e) {
    backgroundWorker1_DoWork(worker, e);
  });
  connect(backgroundWorker1, &BackgroundWorker::ProgressChanged, this,
          &firmware_upgrade::backgroundWorker1_ProgressChanged, Qt::QueuedConnection);
  connect(backgroundWorker1, &BackgroundWorker::RunWorkerCompleted, this,
          &firmware_upgrade::backgroundWorker1_RunWorkerCompleted);

  backgroundWorkerCheckDevice = new BackgroundWorker(this);
  backgroundWorkerCheckDevice->SetWork(
      [this](BackgroundWorker& worker, BackgroundWorker::DoWorkEventArgs& e) {
        backgroundWorkerCheckDevice_DoWork(worker, e);
      });
  connect(backgroundWorkerCheckDevice, &BackgroundWorker::RunWorkerCompleted, this,
          &firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted);
}

void firmware_upgrade::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (handleCreated_) return;
  handleCreated_ = true;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  OnHandleCreated();
}

void firmware_upgrade::OnHandleCreated() {
  if (RegisterUSBDevice() == 0) {
    StartDeviceCount();
  } else {
    labelNumOfDevices->setText(QStringLiteral("ERROR: Unable to register device"));
  }
}

int firmware_upgrade::RegisterUSBDevice() {
  // The library has one sink: a later window takes the notifications over.
  const int result = BSL_RegisterUSBDeviceNotification(this);
  if (result == 0) registeredWindow_ = this;
  return result;
}

void firmware_upgrade::UnRegisterUSBDevice() {
  // Only the window that holds the registration may end it.
  if (registeredWindow_ != this) return;
  registeredWindow_ = nullptr;
  BSL_UnRegisterUSBDeviceNotification();
}

void firmware_upgrade::BSL_DeviceChanged(unsigned eventCode) {
  QMetaObject::invokeMethod(
      this, [this, eventCode] { ParseMessages(DeviceChangeMessage, eventCode); },
      Qt::QueuedConnection);
}

void firmware_upgrade::ParseMessages(uint32_t message, uint32_t eventCode) {
  if (message != DeviceChangeMessage) return;
  if (eventCode != DeviceArrivalEvent && eventCode != DeviceRemoveCompleteEvent) return;
  if (!backgroundWorker1->IsBusy() && !backgroundWorkerCheckDevice->IsBusy()) {
    StartDeviceCount();
  } else {
    scanDeviceAgain = true;
  }
}

bool firmware_upgrade::UpgradeOrCountRunning() const {
  return restoring_ || backgroundWorker1->IsBusy() || backgroundWorkerCheckDevice->IsBusy();
}

// ---------------------------------------------------------------------------------------
// Device count

void firmware_upgrade::StartDeviceCount() { backgroundWorkerCheckDevice->RunWorkerAsync(); }

void firmware_upgrade::backgroundWorkerCheckDevice_DoWork(BackgroundWorker&,
                                                          BackgroundWorker::DoWorkEventArgs& e) {
  const uint16_t vid = QString(myVID).remove(QStringLiteral("0x")).toUShort(nullptr, 16);
  const uint16_t pid = QString(myPID).remove(QStringLiteral("0x")).toUShort(nullptr, 16);
  e.Result = QVariant::fromValue<uint32_t>(BSL_NumOfUSBDevices(vid, pid));
}

void firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted(const QVariant& result,
                                                                      bool error) {
  if (!error) {
    numberOfUSBDevicesConnected = result.value<uint32_t>();
    const uint32_t count = numberOfUSBDevicesConnected;
    if (count > 0) {
      labelNumOfDevices->setText(QStringLiteral("Found ") + QString::number(count) +
                                 (count == 1 ? QStringLiteral(" device") : QStringLiteral(" devices")));
      btnUpgrade->setEnabled(true);
      btnBrowse->setEnabled(true);
    } else {
      labelNumOfDevices->setText(QStringLiteral("No device connected"));
      btnUpgrade->setEnabled(false);
      btnBrowse->setEnabled(false);
    }
  }
  if (scanDeviceAgain) {
    scanDeviceAgain = false;
    StartDeviceCount();
  }
}

// ---------------------------------------------------------------------------------------
// Buttons

void firmware_upgrade::btnBrowse_Click() {
  ui::OpenFileRequest request;
  request.filter = QStringLiteral("(*.txt);;All files (*.*)");
  request.presetName = QStringLiteral("openFileDialogBrowse");
  const QString chosen = ui::AskOpenFile(this, request);
  if (chosen.isEmpty()) return;
  filenameTextBox->setText(chosen);
  // Remembered for the user's convenience only; a failed write changes nothing.
  try {
    CIniFile::SetValue("FirmwareFile", platform::BaseName(chosen.toLocal8Bit().toStdString()),
                       ConfigSection, FileName);
  } catch (const std::exception&) {
  }
}

void firmware_upgrade::btnUpgrade_MouseClick() {
  if (backgroundWorker1->IsBusy()) return;
  btnUpgrade->setEnabled(false);
  statusBox->setPlainText(QStringLiteral("Starting") + CrLf);
  upgradePath_ = filenameTextBox->text();
  backgroundWorker1->RunWorkerAsync();
}

void firmware_upgrade::btnClose_MouseClick() {
  // While work runs, close() below only explains why the window stays.
  if (!UpgradeOrCountRunning()) {
    ui::ShowMessage(this, QStringLiteral("Please Click on Scan for.\n"),
                    QStringLiteral("Orvane Ovitone"), ui::Buttons::Ok, ui::Icon::Warning);
  }
  close();
}

void firmware_upgrade::closeEvent(QCloseEvent* event) {
  if (UpgradeOrCountRunning()) {
    // The worker talks to the device and reports to this window: it is never cut off.
    ui::ShowMessage(this,
                    QStringLiteral("The firmware upgrade is still running. Please wait until "
                                   "it has finished.\n"),
                    QStringLiteral("Orvane Ovitone"), ui::Buttons::Ok, ui::Icon::Warning);
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

// ---------------------------------------------------------------------------------------
// The upgrade

void firmware_upgrade::backgroundWorker1_DoWork(BackgroundWorker& worker,
                                                BackgroundWorker::DoWorkEventArgs& e) {
  e.Result = false;
  const QString path = upgradePath_;
  if (path.isEmpty()) {
    worker.ReportProgress(0, QStringLiteral("No file specified") + CrLf);
    return;
  }

#if OVITONE_RAM_BSL_STAND_IN
  // Our stand-in RAM loader only runs on the simulated loader; a real device would be
  // left without firmware.
  if (std::string(hid_version_str()).find("simulated") == std::string::npos) {
    worker.ReportProgress(
        0, QStringLiteral("This build carries a stand-in RAM loader that cannot program a real "
                          "encoder. Rebuild with -DOVITONE_RAM_BSL_FILE=<TI RAM loader file> "
                          "to upgrade real hardware.") +
               CrLf);
    return;
  }
#endif

  // The whole file is checked before the device is touched: a file the loader could
  // not read would otherwise be found out only after the flash was erased.
  if (static_cast<size_t>(path.size()) >= PathBytes) {
    worker.ReportProgress(0, QStringLiteral("The file path is too long (199 characters at most)") + CrLf);
    return;
  }
  std::vector<char> pathBytes;
  CopyTerminated(path, pathBytes, PathBytes);
  TiTxtImage image;
  std::string error;
  if (!TiTxtParseFile(std::string(pathBytes.data()), image, error)) {
    worker.ReportProgress(0, QStringLiteral("Cannot use ") + path + QStringLiteral(": ") +
                                 QString::fromStdString(error) + CrLf);
    return;
  }
  if (image.ByteCount() == 0) {
    worker.ReportProgress(0, QStringLiteral("The file holds no firmware data") + CrLf);
    return;
  }

  CustomSelectedFirmware(path, worker, e);
}

bool firmware_upgrade::DownloadStartUp(BackgroundWorker& worker,
                                       BackgroundWorker::DoWorkEventArgs& e, bool& massErased) {
  auto fail = [&](int percent, const QString& text) {
    worker.ReportProgress(percent, text);
    e.Result = false;
    return false;
  };

  std::vector<char> deviceString;
  CopyTerminated(QStringLiteral("PID=") + myPID + QStringLiteral(",VID=") + myVID +
                     QStringLiteral(",DEVICEINDEX=") + myDeviceIndex,
                 deviceString, DeviceStringBytes);
  BSL_setFamily(LoaderFamily);
  BSL_setCom(LoaderLinkUsb);
  if (BSL_initialize_BSL(deviceString.data()) == 1) {
    return fail(0, QStringLiteral("USB device was unplugged!") + CrLf);
  }

  std::vector<char> passwordText;
  CopyTerminated(Firmware::GetString(QStringLiteral("password.Text")), passwordText,
                 PasswordTextBytes);
  const auto imagePassword = std::make_unique<DataBlock_>(BSL_readTI_Text(passwordText.data(), PasswordBytes));
  const auto defaultPassword = std::make_unique<DataBlock_>(BSL_getDefaultPass());
  worker.ReportProgress(5, QString());

  if (BSL_RX_Password(*imagePassword) != 0) {
    // A refused password makes the loader mass-erase the flash; the password is then
    // the erased one.
    massErased = true;
    worker.ReportProgress(5, QStringLiteral("Mass erase occured!") + CrLf);
    platform::SleepMs(MassEraseWaitMs);
    if (BSL_RX_Password(*defaultPassword) != 0) {
      return fail(10, QStringLiteral("Password FAILED!") + CrLf);
    }
  }
  worker.ReportProgress(10, QStringLiteral("Password Sent Successfully") + CrLf);

  const QString ramVersion = Firmware::GetString(QStringLiteral("RAM_BSL_VERSION"));
  worker.ReportProgress(20, QStringLiteral("Sending RAM BSL v") + ramVersion + CrLf);
  std::vector<char> ramLoader;
  CopyTerminated(Firmware::GetString(QStringLiteral("RAM_BSL.Text")), ramLoader, RamLoaderTextBytes);
  BSL_RX_TXT(ramLoader.data(), SendFast);
  BSL_LoadPC(RamLoaderStart);
  worker.ReportProgress(30, QStringLiteral("Done RAM BSL v") + ramVersion + CrLf);
  BSL_close_BSL();

  // The device leaves the bus and comes back running the RAM loader.
  worker.ReportProgress(35, QString());
  platform::SleepMs(RamLoaderStepWaitMs);
  worker.ReportProgress(40, QString());
  platform::SleepMs(RamLoaderStepWaitMs);
  worker.ReportProgress(45, QString());
  platform::SleepMs(RamLoaderStepWaitMs);

  startProgramTime = static_cast<uint32_t>(platform::TickCountMs());

  BSL_setFamily(LoaderFamily);
  BSL_setCom(LoaderLinkUsb);
  if (BSL_initialize_BSL(deviceString.data()) == 1) {
    return fail(50, QStringLiteral("USB device was unplugged!") + CrLf);
  }
  const int passwordResult = BSL_RX_Password(massErased ? *defaultPassword : *imagePassword);

  // "Vendor VV, CI 0xCC API 0xAA PI 0xPP": the three fields at 16, 25 and 33 give the
  // RAM loader's version. A shorter text cannot be one.
  bslVersion = BSL_TX_BSL_Version_String();
  const std::string versionText = bslVersion != nullptr ? bslVersion : "ERROR";
  bool versionOk = false;
  if (versionText != "ERROR" && versionText.size() >= 35) {
    const std::string running = "00." + versionText.substr(16, 2) + "." +
                                versionText.substr(25, 2) + "." + versionText.substr(33, 2);
    versionOk = QString::fromLatin1(running.c_str()) == ramVersion;
  }
  if (!versionOk) return fail(50, QStringLiteral("Failed to read data from RAM BSL") + CrLf);
  if (passwordResult != 0) {
    return fail(50, QStringLiteral("Password FAILED after sending RAM BSL!") + CrLf);
  }

  // Without its reset vector the device stays in the loader should programming stop
  // half-way.
  if (BSL_eraseSegment(ResetVectorAddress) != 0) {
    worker.ReportProgress(50, QStringLiteral("Failed to erase reset vector") + CrLf);
  }
  return true;
}

void firmware_upgrade::CustomSelectedFirmware(const QString& filenameString,
                                              BackgroundWorker& worker,
                                              BackgroundWorker::DoWorkEventArgs& e) {
  bool massErased = false;
  if (!DownloadStartUp(worker, e, massErased)) {
    BSL_close_BSL();
    worker.ReportProgress(50, QStringLiteral("Unsuccessful in starting the BSL. Restarting. ") + CrLf);
    if (!DownloadStartUp(worker, e, massErased)) {
      e.Result = false;
      return;
    }
  }

  std::vector<char> path;
  CopyTerminated(filenameString, path, PathBytes);

  // After a mass erase the flash is blank already.
  if (!massErased) {
    worker.ReportProgress(60, QStringLiteral("Erasing memory segments ") + CrLf);
    EraseDataSegment_File(path.data());
  }

  worker.ReportProgress(70, QStringLiteral("Sending ") + filenameString + CrLf);
  BSL_RX_TXT_File(path.data(), SendFast);
  worker.ReportProgress(75, QStringLiteral("Firmware Sent") + CrLf);
  worker.ReportProgress(80, QStringLiteral("Verifying memory") + CrLf);

  if (CRC_Check_File(path.data()) != 0) {
    worker.ReportProgress(85, QStringLiteral("Memory verification error") + CrLf);
    e.Result = false;
    return;
  }
  worker.ReportProgress(85, QStringLiteral("Memory successfully verified") + CrLf);

  stopProgramTime = static_cast<uint32_t>(platform::TickCountMs());
  totalProgramTime = (stopProgramTime - startProgramTime) / 1000;
  worker.ReportProgress(90, QStringLiteral("Total programming time is ") +
                                QString::number(totalProgramTime) + QStringLiteral("s ") + CrLf);

  TriggerForcedBOR(worker, e);
  worker.ReportProgress(100, QStringLiteral("Done!"));
  e.Result = true;
}

bool firmware_upgrade::TriggerForcedBOR(BackgroundWorker& worker,
                                        BackgroundWorker::DoWorkEventArgs&) {
  const QString image = Firmware::GetString(QStringLiteral("Forced_BOR.Text"));
  std::vector<char> reset;
  CopyTerminated(image, reset, ResetTextBytes);
  worker.ReportProgress(90, QStringLiteral("Resetting Device...") + CrLf +
                                QStringLiteral("Starting application") + CrLf);
  if (BSL_RX_TXT(reset.data(), SendFast) != 0) return false;
  // This RAM loader version may miss the first reset request; a second one is harmless.
  if (Firmware::GetString(QStringLiteral("RAM_BSL_VERSION")).contains(QStringLiteral("00.06.05.34"))) {
    std::vector<char> again;
    CopyTerminated(image, again, ResetTextBytes);
    BSL_RX_TXT(again.data(), SendFast);
  }
  return true;
}

void firmware_upgrade::backgroundWorker1_ProgressChanged(int percent, const QString& text) {
  progressBar->setValue(percent);
  if (text.isEmpty()) return;
  // The texts end in CR LF; the box breaks lines at LF.
  QString shown = text;
  shown.remove(QLatin1Char('\r'));
  QTextCursor cursor = statusBox->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(shown);
  statusBox->setTextCursor(cursor);
  statusBox->verticalScrollBar()->setValue(statusBox->verticalScrollBar()->maximum());
}

void firmware_upgrade::backgroundWorker1_RunWorkerCompleted(const QVariant& result, bool error) {
  if (error) return;
  if (!result.toBool()) {
    // Enables the buttons again if a loader device is still attached.
    StartDeviceCount();
    return;
  }
  RestoreSettings();
}

void firmware_upgrade::RestoreSettings() {
  const FlagScope busy(restoring_);
  platform::SleepMs(EncoderRestartWaitMs);

  bool found;
  {
    DeviceLock lock = LockDevice();
    if (hid_handle != nullptr) {
      hid_exit_safely(hid_handle);
      hid_handle = nullptr;
    }
    char manufacturer[DeviceNameBufferSize];
    char product[DeviceNameBufferSize];
    hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
    found = hid_handle != nullptr;
  }
  if (!found) {
    ui::ShowMessage(this, QStringLiteral("Orvane Ovitone not connected..\n"),
                    QStringLiteral("Orvane Ovitone"), ui::Buttons::Ok, ui::Icon::Warning);
    return;
  }

  // One command; on failure its message, and the restore stops.
  auto send = [this](uint8_t command, const uint8_t* payload, int length, const char* failure) {
    uint8_t reply[64] = {};
    uint32_t replyLength = 0;
    int32_t result;
    {
      DeviceLock lock = LockDevice();
      result = USBEncoderSendAndReceive_a(hid_handle, command, payload, length, reply,
                                          sizeof reply, &replyLength, CommandTimeoutMs);
    }
    if (result == ResultOk) return true;
    ui::ShowMessage(this, QString::fromLatin1(failure) + QLatin1Char('\n'),
                    QStringLiteral("Orvane Ovitone "), ui::Buttons::Ok, ui::Icon::Warning);
    return false;
  };

  // Only a real serial number goes back (8 or 12 characters); the placeholders the
  // main window uses for a missing one do not.
  if (serialNumber.size() == 8 || serialNumber.size() == 12) {
    const QByteArray serial = serialNumber.toLatin1();
    if (!send(SetSerialNumber, reinterpret_cast<const uint8_t*>(serial.constData()),
              static_cast<int>(serial.size()), "Unable to set serialNumber..")) {
      return;
    }
  }
  const uint8_t keypad[1] = {static_cast<uint8_t>(keypadType_index)};
  if (!send(SetKeypadType, keypad, 1, "Unable to set Keypad Type..")) return;
  uint8_t table[KeyCodeTableSize];
  for (int i = 0; i < KeyCodeTableSize; ++i) table[i] = static_cast<uint8_t>(key_codes[i]);
  if (!send(LoadKeyTable, table, KeyCodeTableSize, "Unable to Load Table..")) return;
  const uint8_t volume[2] = {VolumeLedGroup, static_cast<uint8_t>(ledBrightness_index)};
  if (!send(SetLedBrightness, volume, 2, "Unable to set VOLUME LED Brightness..")) return;
  const uint8_t jack[2] = {JackLedGroup, static_cast<uint8_t>(jackLedBrightness_index)};
  if (!send(SetLedBrightness, jack, 2, "Unable to set JACK LED Brightness..")) return;
  send(WriteDefault, nullptr, 0, "Unable to Write Default..");
}

// ---------------------------------------------------------------------------------------
// Text helpers, verification and erase

void firmware_upgrade::StringToChar(const QString& str, char* character) {
  for (qsizetype i = 0; i < str.size(); ++i) {
    character[i] = static_cast<char>(str.at(i).unicode() & 0xFF);
  }
}

QString firmware_upgrade::padHexStringValue(QString hexString) {
  const qsizetype at = std::min<qsizetype>(2, hexString.size());
  if (hexString.size() < 4) {
    hexString.insert(at, QStringLiteral("000"));
  } else if (hexString.size() == 4) {
    hexString.insert(at, QStringLiteral("00"));
  } else if (hexString.size() == 5) {
    hexString.insert(at, QStringLiteral("0"));
  }
  return hexString;
}

uint32_t firmware_upgrade::Calculate_CRC(DataBlock_ data) {
  CRC crc(0xFFFF);
  crc.CrcInit(0xFFFF);
  const uint32_t count = std::min<uint32_t>(data.byteCount, sizeof data.bytes);
  for (uint32_t i = 0; i < count; ++i) crc.CrcInput(data.bytes[i]);
  return crc.GetCrcValue();
}

uint32_t firmware_upgrade::CRC_Check(uint32_t addr, uint32_t length, uint32_t crcValue) {
  if (BSL_CRC_Check(addr, length) != 0) return CrcRequestFailed;
  const dataBuffer answer = BSL_get_RX_Buffer();
  const uint32_t deviceCrc = answer.data[5] + 256u * answer.data[6];
  if (crcValue == 0) return deviceCrc;
  return deviceCrc == crcValue ? 0 : CrcRequestFailed;
}

uint32_t firmware_upgrade::CRC_Check_File(char* filename) {
  if (BSL_openTI_TextForRead(filename) == -2) return FileNotOpened;
  const auto block = std::make_unique<DataBlock_>();
  while (BSL_moreDataToRead_TextFile() != 0) {
    *block = BSL_readTI_TextFile(VerifyBlockBytes);
    if (CRC_Check(block->startAddress, block->byteCount, 0) != Calculate_CRC(*block)) {
      BSL_closeTI_Text();
      return 1;
    }
  }
  BSL_closeTI_Text();
  return 0;
}

uint32_t firmware_upgrade::EraseDataSegment_File(char* fileName) {
  if (BSL_openTI_TextForRead(fileName) == -2) return FileNotOpened;
  while (BSL_moreDataToRead_TextFile() != 0) {
    const DataBlock_ block = BSL_readTI_TextFile(EraseBlockBytes);
    BSL_eraseSegment(block.startAddress);  // a failed erase shows up at verification
  }
  BSL_closeTI_Text();
  return 0;
}

}  // namespace pellix_usb_encoder
