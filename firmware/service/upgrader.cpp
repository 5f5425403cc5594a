#include "firmware/service/upgrader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <hidapi/hidapi.h>

#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "device/usb_port.h"
#include "firmware/core/crc.h"
#include "firmware/core/flash_map.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/settings_recovery.h"
#include "support/core/config_file.h"
#include "loader/ti_txt.h"
#include "support/service/platform.h"

#ifndef OVITONE_DATA_DIR
#define OVITONE_DATA_DIR "/usr/local/share/ovitone-utility"
#endif

namespace pellix_usb_encoder {

thread_local const char* bslVersion = nullptr;

namespace {

// Loader library settings for the MSP430 F5xx USB loader.
constexpr int LoaderFamily = 3;
constexpr int LoaderLinkUsb = 2;
constexpr int SendFast = 1;
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
  FirmwareUpgrader::StringToChar(text, buffer.data());
  return true;
}

// Copies the system's bytes of `path` into a zero-filled buffer of PathBytes bytes, as
// the loader library takes a file name. A path that cannot be spelled or does not fit
// leaves the buffer empty (CheckFirmwareFile refuses both before this is reached).
void CopyPath(const QString& path, std::vector<char>& buffer) {
  buffer.assign(PathBytes, '\0');
  QByteArray bytes;
  if (!FirmwareUpgrader::PathToBytes(path, bytes)) return;
  if (static_cast<size_t>(bytes.size()) >= PathBytes) return;
  std::copy(bytes.begin(), bytes.end(), buffer.begin());
}

QByteArray ResourceBytes(const char* alias) {
  QFile file(QStringLiteral(":/firmware/") + QLatin1String(alias));
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.readAll();
}

QString ResourceText(const char* alias) { return QString::fromLatin1(ResourceBytes(alias)); }

// Where the RAM loader is looked for; see FirmwareUpgrader::FindRamLoader.
std::string ramLoaderFile;
std::optional<std::vector<std::string>> ramLoaderDataFoldersOverride;
std::optional<bool> realUnitsOverride;

}  // namespace

// ---------------------------------------------------------------------------------------
// Firmware

QString Firmware::GetString(const QString& name) {
  if (name == QLatin1String("VID")) return QStringLiteral("0x2047");
  if (name == QLatin1String("PID")) return QStringLiteral("0x200");
  if (name == QLatin1String("RAM_BSL_VERSION")) return QLatin1String(RamLoaderVersion);
  if (name == QLatin1String("RAM_BSL.Text")) {
    std::string text, source, problem;
    if (!FirmwareUpgrader::FindRamLoader(text, source, problem)) return QString();
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
  }
  if (name == QLatin1String("password.Text")) return ResourceText("password.Text");
  if (name == QLatin1String("Forced_BOR.Text")) return ResourceText("Forced_BOR.Text");
  return QString();
}

// ---------------------------------------------------------------------------------------
// FirmwareUpgrader: class-wide state

QString FirmwareUpgrader::myVID;
QString FirmwareUpgrader::myPID;
QString FirmwareUpgrader::myDeviceIndex = QStringLiteral("0");
thread_local uint32_t FirmwareUpgrader::startProgramTime = 0;
thread_local uint32_t FirmwareUpgrader::stopProgramTime = 0;
thread_local uint32_t FirmwareUpgrader::totalProgramTime = 0;

void FirmwareUpgrader::InitializeVidPid() {
  myVID = padHexStringValue(Firmware::GetString(QStringLiteral("VID")));
  myPID = padHexStringValue(Firmware::GetString(QStringLiteral("PID")));
}

uint32_t FirmwareUpgrader::CountLoaderDevices() {
  const uint16_t vid = QString(myVID).remove(QStringLiteral("0x")).toUShort(nullptr, 16);
  const uint16_t pid = QString(myPID).remove(QStringLiteral("0x")).toUShort(nullptr, 16);
  return BSL_NumOfUSBDevices(vid, pid);
}

// ---------------------------------------------------------------------------------------
// The upgrade

bool FirmwareUpgrader::CheckFirmwareFile(const QString& path, QString& problem) {
  if (path.isEmpty()) {
    problem = QStringLiteral("No file specified");
    return false;
  }
  // Without a RAM loader the unit cannot be programmed, whatever the file.
  if (!CheckRamLoader(problem)) return false;
  // The whole file is checked before the device is touched: a file the loader could
  // not read, or an image that would leave the device unable to start, would otherwise
  // be found out only after the flash was erased.
  QByteArray pathBytes;
  if (!PathToBytes(path, pathBytes)) {
    problem = QStringLiteral("The file path has characters this system cannot use in a file "
                             "name; rename the file or choose another folder");
    return false;
  }
  if (static_cast<size_t>(pathBytes.size()) >= PathBytes) {
    problem = QStringLiteral("The file path is too long (199 characters at most)");
    return false;
  }
  const QString cannotUse = QStringLiteral("Cannot use ") + path + QStringLiteral(": ");
  TiTxtImage image;
  std::string error;
  if (!TiTxtParseFile(pathBytes.toStdString(), image, error)) {
    problem = cannotUse + QString::fromStdString(error);
    return false;
  }
  if (image.ByteCount() == 0) {
    problem = QStringLiteral("The file holds no firmware data");
    return false;
  }
  if (!CheckProgrammableImage(image, error)) {
    problem = cannotUse + QString::fromStdString(error);
    return false;
  }
  return true;
}

void FirmwareUpgrader::RunUpgrade(const QString& path, BackgroundWorker& worker,
                                  BackgroundWorker::DoWorkEventArgs& e) {
  e.Result = false;
  QString problem;
  if (!CheckFirmwareFile(path, problem)) {
    worker.ReportProgress(0, problem + CrLf);
    return;
  }
  if (!ChooseLoader(unit, problem)) {
    worker.ReportProgress(0, problem + CrLf);
    return;
  }
  if (unit.fromRecovery) {
    worker.ReportProgress(0, QStringLiteral("The settings kept before an earlier upgrade of "
                                            "this unit will be restored afterwards.") + CrLf);
  }
  CustomSelectedFirmware(path, worker, e);
}

// ---------------------------------------------------------------------------------------
// The unit: its port, its loader and its settings

namespace {
std::string recoveryFolderOverride;

QString PortList(const std::vector<UsbUnit>& units) {
  QStringList ports;
  for (const UsbUnit& u : units) {
    ports << (u.port.empty() ? QStringLiteral("unknown port") : QString::fromStdString(u.port));
  }
  return ports.join(QStringLiteral(", "));
}

std::vector<UsbUnit> Loaders() {
  std::vector<UsbUnit> loaders;
  for (UsbUnit& u : ListUnits()) {
    if (u.inLoader) loaders.push_back(std::move(u));
  }
  return loaders;
}
}  // namespace

std::string FirmwareUpgrader::RecoveryFolder() {
  if (!recoveryFolderOverride.empty()) return recoveryFolderOverride;
  const std::string data = platform::LocalAppDataFolder();
  if (data.empty()) return {};
  return data + platform::PathSeparator() + ConfigFolderName;
}

void FirmwareUpgrader::SetRecoveryFolder(const std::string& folder) {
  recoveryFolderOverride = folder;
}

// ---------------------------------------------------------------------------------------
// The RAM loader

bool FirmwareUpgrader::RealUnits() {
  if (realUnitsOverride) return *realUnitsOverride;
  const char* version = hid_version_str();
  return version == nullptr || std::string(version).find("simulated") == std::string::npos;
}

void FirmwareUpgrader::SetRealUnitsForTests(std::optional<bool> real) { realUnitsOverride = real; }

void FirmwareUpgrader::SetRamLoaderFile(const std::string& path) { ramLoaderFile = path; }

std::vector<std::string> FirmwareUpgrader::RamLoaderDataFolders() {
  if (ramLoaderDataFoldersOverride) return *ramLoaderDataFoldersOverride;
  std::vector<std::string> folders{OVITONE_DATA_DIR};
  // A package may install under another prefix than the one the build was made for:
  // the data folder beside the program's own folder counts too.
  QString program;
  if (QCoreApplication::instance() != nullptr) {
    program = QCoreApplication::applicationDirPath();
  } else {
#ifdef __linux__
    program = QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).absolutePath();
#endif
  }
  if (!program.isEmpty()) {
    const QString beside =
        QDir::cleanPath(program + QStringLiteral("/../share/ovitone-utility"));
    if (beside != QDir::cleanPath(QStringLiteral(OVITONE_DATA_DIR))) {
      folders.push_back(QDir::toNativeSeparators(beside).toStdString());
    }
  }
  return folders;
}

void FirmwareUpgrader::SetRamLoaderDataFolders(std::optional<std::vector<std::string>> folders) {
  ramLoaderDataFoldersOverride = std::move(folders);
}

bool FirmwareUpgrader::FindRamLoader(std::string& text, std::string& source, std::string& problem,
                                     bool* missing) {
  if (missing != nullptr) *missing = false;
  if (!RealUnits()) {
    const QByteArray standIn = ResourceBytes("RAM_BSL_standin.Text");
    text = standIn.toStdString();
    source = "the stand-in built into this program, for the simulated loader";
    return !text.empty();
  }
  RamLoaderPlaces places;
  places.file = ramLoaderFile;
  places.folders.push_back(RecoveryFolder());
  for (std::string& folder : RamLoaderDataFolders()) places.folders.push_back(std::move(folder));
  places.builtIn = ResourceBytes("RAM_BSL_built_in.Text").toStdString();
  const RamLoaderSearch found = pellix_usb_encoder::FindRamLoader(places, text, source, problem);
  if (missing != nullptr) *missing = found == RamLoaderSearch::Missing;
  return found == RamLoaderSearch::Found;
}

bool FirmwareUpgrader::CheckRamLoader(QString& problem) {
  std::string text, source, why;
  bool missing = false;
  if (FindRamLoader(text, source, why, &missing)) return true;
  problem = QString::fromStdString(why + (missing ? " " + RamLoaderAdvice() : std::string()) +
                                   " Nothing was sent.");
  return false;
}

std::string FirmwareUpgrader::RamLoaderAdvice() {
  // The shared folder named is the first one that is there (the package's), else the
  // one the program was built for.
  const std::vector<std::string> shared = RamLoaderDataFolders();
  std::string sharedFolder = shared.empty() ? std::string() : shared.front();
  for (const std::string& folder : shared) {
    if (QFileInfo(QString::fromStdString(folder)).isDir()) {
      sharedFolder = folder;
      break;
    }
  }
  return pellix_usb_encoder::RamLoaderAdvice(RecoveryFolder(), sharedFolder);
}

bool FirmwareUpgrader::PrepareUnit(UpgradeUnit& unit, QString& problem) {
  unit.port = OpenEncoderPort();
  if (unit.port.empty()) {
    problem = QStringLiteral(
        "Cannot tell which USB port the encoder is plugged into, so the upgrade could not "
        "be sure to program this unit and no other. Nothing was sent.");
    return false;
  }
  const std::string folder = RecoveryFolder();
  const std::string serial = unit.settingsKnown ? unit.settings.serialNumber : std::string();
  if (auto pending = FindRecoveryRecord(folder, unit.port, std::string())) {
    // Kept from an earlier upgrade that stopped: those are the user's settings, unless
    // the encoder now on this port is another unit.
    const std::string& kept = pending->settings.serialNumber;
    if (!unit.settingsKnown || !IsRestorableSerial(serial) || !IsRestorableSerial(kept) ||
        kept == serial) {
      unit.settings = pending->settings;
      unit.settingsKnown = true;
      unit.fromRecovery = true;
      return true;
    }
  }
  if (!unit.settingsKnown) return true;  // nothing worth keeping
  std::string why;
  if (!SaveRecoveryRecord(folder, RecoveryRecord{unit.port, unit.settings}, why)) {
    problem = QStringLiteral("The encoder's settings could not be kept safe before the "
                             "upgrade (") +
              QString::fromStdString(why) + QStringLiteral("). Nothing was sent.");
    return false;
  }
  return true;
}

int FirmwareUpgrader::LoadersOnPort(const std::string& port) {
  int count = 0;
  for (const UsbUnit& u : Loaders()) count += u.port == port ? 1 : 0;
  return count;
}

bool FirmwareUpgrader::ChooseLoader(UpgradeUnit& unit, QString& problem) {
  const std::vector<UsbUnit> loaders = Loaders();
  if (unit.port.empty()) {
    if (loaders.empty()) {
      problem = QStringLiteral("No device connected");
      return false;
    }
    if (loaders.size() > 1) {
      problem = QStringLiteral("Several units wait in their firmware loader (USB ports ") +
                PortList(loaders) +
                QStringLiteral("); the upgrade cannot tell which one to program. Unplug the "
                               "other units and try again. Nothing was sent.");
      return false;
    }
    if (loaders.front().port.empty()) {
      problem = QStringLiteral("Cannot tell which USB port the waiting loader is on. Nothing "
                               "was sent.");
      return false;
    }
    unit.port = loaders.front().port;
  } else {
    // Counted in the list already read, not in a second enumeration.
    const auto matching = std::count_if(loaders.begin(), loaders.end(),
                                        [&](const UsbUnit& u) { return u.port == unit.port; });
    if (matching != 1) {
      problem = (matching == 0 ? QStringLiteral("No firmware loader is waiting on USB port ")
                               : QStringLiteral("More than one firmware loader answers on USB "
                                                "port ")) +
                QString::fromStdString(unit.port) +
                (loaders.empty() ? QString()
                                 : QStringLiteral(" (loaders on: ") + PortList(loaders) +
                                       QStringLiteral(")")) +
                QStringLiteral("; no other unit is touched. Nothing was sent.");
      return false;
    }
  }
  if (!unit.settingsKnown) {
    const auto waiting = std::find_if(loaders.begin(), loaders.end(),
                                      [&](const UsbUnit& u) { return u.port == unit.port; });
    const std::string usbSerial = waiting != loaders.end() ? waiting->usbSerial : std::string();
    if (auto pending = FindRecoveryRecord(RecoveryFolder(), unit.port, usbSerial)) {
      unit.settings = pending->settings;
      unit.settingsKnown = true;
      unit.fromRecovery = true;
    }
  }
  return true;
}

bool FirmwareUpgrader::DownloadStartUp(BackgroundWorker& worker,
                                       BackgroundWorker::DoWorkEventArgs& e, bool& massErased) {
  auto fail = [&](int percent, const QString& text) {
    worker.ReportProgress(percent, text);
    e.Result = false;
    return false;
  };
  // Taken before the loader hears anything: load PC without an image in RAM would start
  // whatever the RAM holds.
  const QString ramLoaderText = Firmware::GetString(QStringLiteral("RAM_BSL.Text"));
  if (ramLoaderText.isEmpty()) {
    return fail(0, QStringLiteral("No usable RAM loader image; nothing was sent.") + CrLf);
  }

  // With the unit's port the library opens the loader on that port only, never another
  // unit's.
  QString device = QStringLiteral("PID=") + myPID + QStringLiteral(",VID=") + myVID +
                   QStringLiteral(",DEVICEINDEX=") + myDeviceIndex;
  if (!unit.port.empty()) device += QStringLiteral(",PORT=") + QString::fromStdString(unit.port);
  std::vector<char> deviceString;
  CopyTerminated(device, deviceString, DeviceStringBytes);
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
  CopyTerminated(ramLoaderText, ramLoader,
                 std::max(RamLoaderTextBytes, static_cast<size_t>(ramLoaderText.size()) + 1));
  BSL_RX_TXT(ramLoader.data(), SendFast);
  BSL_LoadPC(RamLoaderEntry);
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

void FirmwareUpgrader::CustomSelectedFirmware(const QString& filenameString,
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
  CopyPath(filenameString, path);

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

  TriggerForcedBOR(worker);
  worker.ReportProgress(100, QStringLiteral("Done!"));
  e.Result = true;
}

bool FirmwareUpgrader::TriggerForcedBOR(BackgroundWorker& worker) {
  const QString image = Firmware::GetString(QStringLiteral("Forced_BOR.Text"));
  std::vector<char> reset;
  CopyTerminated(image, reset, ResetTextBytes);
  worker.ReportProgress(90, QStringLiteral("Resetting Device...") + CrLf +
                                QStringLiteral("Starting application") + CrLf);
  if (BSL_RX_TXT(reset.data(), SendFast) != 0) return false;
  // This RAM loader version may miss the first reset request; a second one is harmless.
  if (Firmware::GetString(QStringLiteral("RAM_BSL_VERSION")).contains(QLatin1String(RamLoaderVersion))) {
    std::vector<char> again;
    CopyTerminated(image, again, ResetTextBytes);
    BSL_RX_TXT(again.data(), SendFast);
  }
  return true;
}

FirmwareUpgrader::RestoreOutcome FirmwareUpgrader::RestoreEncoderSettings(const UpgradeUnit& unit,
                                                                          QString& failure) {
  platform::SleepMs(EncoderRestartWaitMs);
  // The unit comes back on its own port; another encoder on the bus is not it.
  if (ReopenEncoder(unit.port) != ScanOutcome::Opened) return RestoreOutcome::NotConnected;

  const EncoderSettings& s = unit.settings;
  // One command each; on failure its message, and the restore stops.
  const auto steps = {
      std::pair<std::function<int32_t()>, const char*>{
          [&] { return IsRestorableSerial(s.serialNumber) ? SendSerialNumber(s.serialNumber)
                                                          : ResultOk; },
          "Unable to set serialNumber.."},
      {[&] { return SendKeypadType(static_cast<uint8_t>(s.keypadType)); },
       "Unable to set Keypad Type.."},
      {[&] { return SendKeyTable(s.table); }, "Unable to Load Table.."},
      {[&] { return SendLedLevel(VolumeLedGroup, static_cast<uint8_t>(s.volumeLed)); },
       "Unable to set VOLUME LED Brightness.."},
      {[&] { return SendLedLevel(JackLedGroup, static_cast<uint8_t>(s.jackLed)); },
       "Unable to set JACK LED Brightness.."},
      {[] { return SendWriteDefault(); }, "Unable to Write Default.."},
  };
  for (const auto& [send, text] : steps) {
    if (send() != ResultOk) {
      failure = QString::fromLatin1(text);
      return RestoreOutcome::CommandFailed;
    }
  }
  // The settings are back in the encoder: the record has done its work.
  RemoveRecoveryRecord(RecoveryFolder(), RecoveryRecord{unit.port, s});
  return RestoreOutcome::Done;
}

// ---------------------------------------------------------------------------------------
// Text helpers, verification and erase

void FirmwareUpgrader::StringToChar(const QString& str, char* character) {
  for (qsizetype i = 0; i < str.size(); ++i) {
    character[i] = static_cast<char>(str.at(i).unicode() & 0xFF);
  }
}

bool FirmwareUpgrader::PathToBytes(const QString& path, QByteArray& bytes) {
  bytes = QFile::encodeName(path);
  // A name the system's encoding cannot hold comes back changed; a zero byte would end
  // the path early in the loader library.
  return QFile::decodeName(bytes) == path && !bytes.contains('\0');
}

QString FirmwareUpgrader::padHexStringValue(QString hexString) {
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

uint32_t FirmwareUpgrader::Calculate_CRC(DataBlock_ data) {
  CRC crc(0xFFFF);
  crc.CrcInit(0xFFFF);
  const uint32_t count = std::min<uint32_t>(data.byteCount, sizeof data.bytes);
  for (uint32_t i = 0; i < count; ++i) crc.CrcInput(data.bytes[i]);
  return crc.GetCrcValue();
}

uint32_t FirmwareUpgrader::CRC_Check(uint32_t addr, uint32_t length, uint32_t crcValue) {
  if (BSL_CRC_Check(addr, length) != 0) return CrcRequestFailed;
  const dataBuffer answer = BSL_get_RX_Buffer();
  const uint32_t deviceCrc = answer.data[5] + 256u * answer.data[6];
  if (crcValue == 0) return deviceCrc;
  return deviceCrc == crcValue ? 0 : CrcRequestFailed;
}

uint32_t FirmwareUpgrader::CRC_Check_File(char* filename) {
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

uint32_t FirmwareUpgrader::EraseDataSegment_File(char* fileName) {
  if (BSL_openTI_TextForRead(fileName) == -2) return FileNotOpened;
  // A block may end in the next segment, and an information segment is smaller than a
  // block: the segments come from every byte of every block, each erased once.
  TiTxtImage touched;
  const auto block = std::make_unique<DataBlock_>();
  while (BSL_moreDataToRead_TextFile() != 0) {
    *block = BSL_readTI_TextFile(EraseBlockBytes);
    touched.runs.push_back(
        {block->startAddress, std::vector<uint8_t>(block->bytes, block->bytes + block->byteCount)});
  }
  BSL_closeTI_Text();
  for (const uint32_t segment : FlashSegmentsTouched(touched)) {
    BSL_eraseSegment(segment);  // a failed erase shows up at verification
  }
  return 0;
}

}  // namespace pellix_usb_encoder
