#include "firmware/ui/upgrade_window.h"

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

#include <exception>
#include <string>

#include "device/encoder_session.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/core/upgrade_endings.h"
#include "support/core/config_file.h"
#include "support/core/ini_file.h"
#include "support/service/platform.h"
#include "support/ui/user_interaction.h"

namespace pellix_usb_encoder {

namespace {

constexpr int ClientWidth = 520;
constexpr int ClientHeight = 420;
const char* const ControlFontFamily = "Microsoft Sans Serif";
const QString CrLf = QStringLiteral("\r\n");

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
// firmware_upgrade: class-wide state

uint32_t firmware_upgrade::numberOfUSBDevicesConnected = 0;
bool firmware_upgrade::scanDeviceAgain = false;
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
  // Without a RAM loader image no unit can be upgraded: said at once, and again (before
  // anything is sent) when Upgrade Firmware is clicked.
  if (std::string problem; !CheckRamLoader(problem)) {
    statusBox->setPlainText(QString::fromStdString(problem));
  }
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
  InitializeVidPid();
  vidLbl->setText(QString::fromStdString(myVID));
  pidLbl->setText(QString::fromStdString(myPID));
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
  e.Result = QVariant::fromValue<uint32_t>(CountLoaderDevices());
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
  request.presetName = QString();  // the dialog opens with no file name filled in
  const QString chosen = ui::AskOpenFile(this, request);
  if (chosen.isEmpty()) return;
  filenameTextBox->setText(chosen);
  // Remembered for the user's convenience only; a failed write changes nothing.
  try {
    CIniFile::SetValue("FirmwareFile", platform::BaseName(platform::CoreName(chosen)),
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
    // Where the unit is decides what the user is told to do next.
    const QString text = QString::fromStdString(CloseAdvice(unit, Place()));
    ui::ShowMessage(this, text, QStringLiteral("Orvane Ovitone"), ui::Buttons::Ok,
                    ui::Icon::Warning);
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
  // The path goes to the loader library as the system's bytes; one the system cannot
  // spell is refused rather than swapped for another file's name.
  const std::string path = platform::CoreName(upgradePath_);
  if (platform::NameFromCore(path) != upgradePath_ || path.find('\0') != std::string::npos) {
    worker.ReportProgress(0, QStringLiteral("The file path has characters this system cannot "
                                            "use in a file name; rename the file or choose "
                                            "another folder\r\n"));
    return;
  }
  UpgradeHooks hooks;
  hooks.progress = [&worker](int percent, const std::string& text) {
    worker.ReportProgress(percent, platform::NameFromCore(text));
  };
  hooks.sleep = [](int ms) { platform::SleepMs(ms); };
  hooks.ticks = [] { return platform::TickCountMs(); };
  e.Result = RunUpgrade(path, hooks);
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
  loaderTouched_ = LoaderTouched();
  if (!result.toBool()) {
    AppendLogLine(FailureEnding());
    // Enables the buttons again if a loader device is still attached.
    StartDeviceCount();
    return;
  }
  RestoreSettings();
}

void firmware_upgrade::AppendLogLine(const QString& line) {
  // The last progress text ("Done!") ends without a line break.
  const QString shown = statusBox->toPlainText();
  backgroundWorker1_ProgressChanged(progressBar->value(),
                                    (shown.isEmpty() || shown.endsWith(QLatin1Char('\n'))
                                         ? QString()
                                         : QStringLiteral("\r\n")) +
                                        line);
}

UnitPlace firmware_upgrade::Place() const { return PlaceOfUnit(unit); }

QString firmware_upgrade::KeptNote() const {
  return QString::fromStdString(pellix_usb_encoder::KeptNote(unit));
}

QString firmware_upgrade::FailureEnding() const {
  return QString::fromStdString(pellix_usb_encoder::FailureEnding(unit, Place(), loaderTouched_));
}

std::optional<size_t> firmware_upgrade::AskWhoseSettings(
    const std::string& port, const std::vector<RestoreCandidate>& candidates) {
  for (size_t i = 0; i < candidates.size(); ++i) {
    const QString text = QString::fromStdString(WhoseSettingsQuestion(port, candidates[i]));
    if (ui::ShowMessage(this, text, QStringLiteral("Firmware Upgrade"), ui::Buttons::YesNo,
                        ui::Icon::Question) == ui::Answer::Yes) {
      return i;
    }
  }
  return std::nullopt;
}

void firmware_upgrade::RestoreSettings() {
  const FlagScope busy(restoring_);
  UpgradeHooks hooks;
  hooks.sleep = [](int ms) { platform::SleepMs(ms); };
  const RestoreResult restored = RestoreEncoderSettings(
      unit, hooks, [this](const std::string& port, const std::vector<RestoreCandidate>& candidates) {
        return AskWhoseSettings(port, candidates);
      });
  const RestoreEnding ending = DescribeRestoreEnding(
      unit, restored, restored.outcome == RestoreOutcome::NotConnected ? Place() : UnitPlace::Firmware,
      "Set its settings in the main window, or restore them with ovitone-cli --device " +
          PrintableDeviceText(unit.port) + " --restore-from SERIAL restore-settings.\r\n");
  if (!ending.message.empty()) {
    ui::ShowMessage(this, QString::fromStdString(ending.message),
                    QString::fromStdString(ending.caption), ui::Buttons::Ok, ui::Icon::Warning);
  }
  // A unit back in its loader can be tried again at once: the count enables the buttons.
  if (ending.retry) StartDeviceCount();
  AppendLogLine(QString::fromStdString(ending.log));
  if (ending.completed) emit UpgradeCompleted();
}

}  // namespace pellix_usb_encoder
