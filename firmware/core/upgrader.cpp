#include "firmware/core/upgrader.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <hidapi/hidapi.h>

#include "device/device_text.h"
#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "device/usb_port.h"
#include "firmware/core/crc.h"
#include "firmware/core/firmware_images.h"
#include "firmware/core/flash_map.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/settings_recovery.h"
#include "loader/ti_txt.h"
#include "support/core/config_file.h"
#include "support/core/data_folder.h"

#ifndef OVITONE_DATA_DIR
#define OVITONE_DATA_DIR "/usr/local/share/ovitone-utility"
#endif

namespace pellix_usb_encoder {

thread_local const char* bslVersion = nullptr;

namespace {

namespace fs = std::filesystem;

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

const std::string CrLf = "\r\n";

// Copies `text` into a zero-filled buffer of `size` bytes when it fits with its
// terminator; otherwise the buffer stays empty and false is returned.
bool CopyTerminated(const std::string& text, std::vector<char>& buffer, size_t size) {
  buffer.assign(size, '\0');
  if (text.size() >= size) return false;
  FirmwareUpgrader::StringToChar(text, buffer.data());
  return true;
}

// Where the RAM loader is looked for; see FirmwareUpgrader::FindRamLoader.
std::string ramLoaderFile;
std::optional<std::vector<std::string>> ramLoaderDataFoldersOverride;
std::optional<bool> realUnitsOverride;
std::string recoveryFolderOverride;

char Separator() {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

std::string PortList(const std::vector<UsbUnit>& units) {
  std::string ports;
  for (const UsbUnit& u : units) {
    if (!ports.empty()) ports += ", ";
    ports += u.port.empty() ? std::string("unknown port") : PrintableDeviceText(u.port);
  }
  return ports;
}

std::vector<UsbUnit> Loaders() {
  std::vector<UsbUnit> loaders;
  for (UsbUnit& u : ListUnits()) {
    if (u.inLoader) loaders.push_back(std::move(u));
  }
  return loaders;
}

}  // namespace

std::string UpgradeUnit::Identity() const {
  return settingsKnown && CanKeepRecord(settings.serialNumber) ? settings.serialNumber
                                                               : std::string();
}

// ---------------------------------------------------------------------------------------
// Firmware

std::string Firmware::GetString(const std::string& name) {
  if (name == "VID") return "0x2047";
  if (name == "PID") return "0x200";
  if (name == "RAM_BSL_VERSION") return RamLoaderVersion;
  if (name == "RAM_BSL.Text") {
    std::string text, source, problem;
    if (!FirmwareUpgrader::FindRamLoader(text, source, problem)) return {};
    return text;
  }
  if (name == "password.Text" || name == "Forced_BOR.Text") return EmbeddedFirmwareImage(name);
  return {};
}

// ---------------------------------------------------------------------------------------
// FirmwareUpgrader: class-wide state

std::string FirmwareUpgrader::myVID;
std::string FirmwareUpgrader::myPID;
std::string FirmwareUpgrader::myDeviceIndex = "0";
thread_local uint32_t FirmwareUpgrader::startProgramTime = 0;
thread_local uint32_t FirmwareUpgrader::stopProgramTime = 0;
thread_local uint32_t FirmwareUpgrader::totalProgramTime = 0;

void FirmwareUpgrader::InitializeVidPid() {
  myVID = padHexStringValue(Firmware::GetString("VID"));
  myPID = padHexStringValue(Firmware::GetString("PID"));
}

uint32_t FirmwareUpgrader::CountLoaderDevices() {
  auto parse = [](std::string text) {
    if (text.rfind("0x", 0) == 0) text.erase(0, 2);
    return static_cast<uint16_t>(std::strtoul(text.c_str(), nullptr, 16));
  };
  return BSL_NumOfUSBDevices(parse(myVID), parse(myPID));
}

void FirmwareUpgrader::Report(int percent, const std::string& text) const {
  if (hooks_ != nullptr && hooks_->progress) hooks_->progress(percent, text);
}

void FirmwareUpgrader::Sleep(int ms) const {
  if (hooks_ != nullptr && hooks_->sleep) {
    hooks_->sleep(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

uint64_t FirmwareUpgrader::Ticks() const {
  if (hooks_ != nullptr && hooks_->ticks) return hooks_->ticks();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// ---------------------------------------------------------------------------------------
// The upgrade

bool FirmwareUpgrader::CheckFirmwareFile(const std::string& path, std::string& problem) {
  if (path.empty()) {
    problem = "No file specified";
    return false;
  }
  // Without a RAM loader the unit cannot be programmed, whatever the file.
  if (!CheckRamLoader(problem)) return false;
  // The whole file is checked before the device is touched: a file the loader could
  // not read, or an image that would leave the device unable to start, would otherwise
  // be found out only after the flash was erased.
  if (path.find('\0') != std::string::npos) {
    problem = "The file path has characters this system cannot use in a file name; rename "
              "the file or choose another folder";
    return false;
  }
  if (path.size() >= PathBytes) {
    problem = "The file path is too long (199 characters at most)";
    return false;
  }
  const std::string cannotUse = "Cannot use " + PrintableDeviceText(path) + ": ";
  TiTxtImage image;
  std::string error;
  if (!TiTxtParseFile(path, image, error)) {
    problem = cannotUse + PrintableDeviceText(error);
    return false;
  }
  if (image.ByteCount() == 0) {
    problem = "The file holds no firmware data";
    return false;
  }
  if (!CheckProgrammableImage(image, error)) {
    problem = cannotUse + PrintableDeviceText(error);
    return false;
  }
  return true;
}

bool FirmwareUpgrader::RunUpgrade(const std::string& path, const UpgradeHooks& hooks) {
  hooks_ = &hooks;
  loaderTouched_ = false;
  std::string problem;
  bool result = false;
  if (!CheckFirmwareFile(path, problem) || !ChooseLoader(unit, problem)) {
    Report(0, problem + CrLf);
  } else {
    if (unit.fromRecovery) {
      Report(0, "The settings kept before an earlier upgrade of this unit will be restored "
                "afterwards." + CrLf);
    }
    result = CustomSelectedFirmware(path);
  }
  hooks_ = nullptr;
  return result;
}

// ---------------------------------------------------------------------------------------
// The unit: its port, its loader and its settings

std::string FirmwareUpgrader::RecoveryFolder(std::string* problem) {
  if (!recoveryFolderOverride.empty()) return recoveryFolderOverride;
  std::string why;
  const std::string data = UserDataFolder(why);
  if (data.empty()) {
    if (problem != nullptr) *problem = why;
    return {};
  }
  return data + Separator() + ConfigFolderName;
}

void FirmwareUpgrader::SetRecoveryFolder(const std::string& folder) {
  recoveryFolderOverride = folder;
}

std::string FirmwareUpgrader::NothingSentText(const UpgradeUnit& unit) {
  if (!unit.entered) return "Nothing was sent.";
  return "Nothing was sent to its firmware loader; the unit waits there.";
}

bool FirmwareUpgrader::PrepareUnit(UpgradeUnit& unit, std::string& problem) {
  unit.port = OpenEncoderPort();
  if (unit.port.empty()) {
    problem = "Cannot tell which USB port the encoder is plugged into, so the upgrade could not "
              "be sure to program this unit and no other. Nothing was sent.";
    return false;
  }
  const std::string serial = unit.Identity();
  // Without a serial number there is nothing to keep the settings under; they travel
  // with this upgrade only.
  if (serial.empty()) return true;
  std::string why;
  const std::string folder = RecoveryFolder(&why);
  if (!folder.empty()) {
    if (auto pending = FindRecoveryRecord(folder, serial)) {
      // Kept from an earlier upgrade of this very unit that stopped: those are the
      // user's settings, not the ones it came back with.
      unit.settings = pending->settings;
      unit.fromRecovery = true;
      return true;
    }
    RecoveryRecord record;
    record.settings = unit.settings;
    record.port = unit.port;
    record.keptAt = RecordTimeNow();
    if (SetAsideDamagedRecord(folder, serial, why) && SaveRecoveryRecord(folder, record, why)) {
      return true;
    }
  }
  problem = "The encoder's settings could not be kept safe before the upgrade (" +
            PrintableDeviceText(why) + "). Nothing was sent.";
  return false;
}

int FirmwareUpgrader::LoadersOnPort(const std::string& port) {
  const std::vector<UsbUnit> loaders = Loaders();
  return static_cast<int>(std::count_if(loaders.begin(), loaders.end(),
                                        [&](const UsbUnit& u) { return u.port == port; }));
}

UnitPlace FirmwareUpgrader::WhereIs(const std::string& port) {
  if (port.empty()) return UnitPlace::Gone;
  for (const UsbUnit& u : ListUnits()) {
    if (u.port == port) return u.inLoader ? UnitPlace::Loader : UnitPlace::Firmware;
  }
  return UnitPlace::Gone;
}

bool FirmwareUpgrader::ChooseLoader(UpgradeUnit& unit, std::string& problem) {
  const std::vector<UsbUnit> loaders = Loaders();
  if (unit.port.empty()) {
    if (loaders.empty()) {
      problem = "No device connected";
      return false;
    }
    if (loaders.size() > 1) {
      problem = "Several units wait in their firmware loader (USB ports " + PortList(loaders) +
                "); the upgrade cannot tell which one to program. Unplug the other units and "
                "try again. " + NothingSentText(unit);
      return false;
    }
    if (loaders.front().port.empty()) {
      problem = "Cannot tell which USB port the waiting loader is on. " + NothingSentText(unit);
      return false;
    }
    unit.port = loaders.front().port;
    return true;
  }
  // Counted in the list already read, not in a second enumeration.
  const auto matching = std::count_if(loaders.begin(), loaders.end(),
                                      [&](const UsbUnit& u) { return u.port == unit.port; });
  if (matching == 1) return true;
  problem = (matching == 0 ? "No firmware loader is waiting on USB port "
                           : "More than one firmware loader answers on USB port ") +
            PrintableDeviceText(unit.port) +
            (loaders.empty() ? std::string() : " (loaders on: " + PortList(loaders) + ")") +
            "; no other unit is touched. " +
            (unit.entered && matching == 0 ? std::string("Nothing was sent to any loader.")
                                           : NothingSentText(unit));
  return false;
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
#ifdef _WIN32
  // Installed on Windows, the program's files sit in its own folder.
  const std::string folder = ProgramFolder();
  return folder.empty() ? std::vector<std::string>{} : std::vector<std::string>{folder};
#else
  std::vector<std::string> folders{OVITONE_DATA_DIR};
  // A package may install under another prefix than the one the build was made for:
  // the data folder beside the program's own folder counts too.
  const std::string program = ProgramFolder();
  if (!program.empty()) {
    fs::path beside =
        (fs::path(program) / ".." / "share" / "ovitone-utility").lexically_normal();
    if (beside != fs::path(OVITONE_DATA_DIR).lexically_normal()) {
      folders.push_back(beside.make_preferred().string());
    }
  }
  return folders;
#endif
}

void FirmwareUpgrader::SetRamLoaderDataFolders(std::optional<std::vector<std::string>> folders) {
  ramLoaderDataFoldersOverride = std::move(folders);
}

bool FirmwareUpgrader::FindRamLoader(std::string& text, std::string& source, std::string& problem,
                                     bool* missing) {
  if (missing != nullptr) *missing = false;
  if (!RealUnits()) {
    text = EmbeddedFirmwareImage("RAM_BSL_standin.Text");
    source = "the stand-in built into this program, for the simulated loader";
    return !text.empty();
  }
  RamLoaderPlaces places;
  places.file = ramLoaderFile;
  if (const std::string folder = RecoveryFolder(); !folder.empty()) places.folders.push_back(folder);
  for (std::string& folder : RamLoaderDataFolders()) places.folders.push_back(std::move(folder));
  places.builtIn = EmbeddedFirmwareImage("RAM_BSL_built_in.Text");
  const RamLoaderSearch found = pellix_usb_encoder::FindRamLoader(places, text, source, problem);
  if (missing != nullptr) *missing = found == RamLoaderSearch::Missing;
  return found == RamLoaderSearch::Found;
}

bool FirmwareUpgrader::CheckRamLoader(std::string& problem) {
  std::string text, source, why;
  bool missing = false;
  if (FindRamLoader(text, source, why, &missing)) return true;
  problem = why + (missing ? " " + RamLoaderAdvice() : std::string()) + " Nothing was sent.";
  return false;
}

std::string FirmwareUpgrader::RamLoaderAdvice() {
  // The shared folder named is the first one that is there (the package's), else the
  // one the program was built for.
  const std::vector<std::string> shared = RamLoaderDataFolders();
  std::string sharedFolder = shared.empty() ? std::string() : shared.front();
  for (const std::string& folder : shared) {
    std::error_code error;
    if (fs::is_directory(folder, error)) {
      sharedFolder = folder;
      break;
    }
  }
  return pellix_usb_encoder::RamLoaderAdvice(RecoveryFolder(), sharedFolder);
}

// ---------------------------------------------------------------------------------------
// The loader sequence

bool FirmwareUpgrader::DownloadStartUp(bool& massErased) {
  auto fail = [&](int percent, const std::string& text) {
    Report(percent, text);
    return false;
  };
  // Taken before the loader hears anything: load PC without an image in RAM would start
  // whatever the RAM holds.
  const std::string ramLoaderText = Firmware::GetString("RAM_BSL.Text");
  if (ramLoaderText.empty()) return fail(0, "No usable RAM loader image; nothing was sent." + CrLf);

  // With the unit's port the library opens the loader on that port only, never another
  // unit's.
  std::string device = "PID=" + myPID + ",VID=" + myVID + ",DEVICEINDEX=" + myDeviceIndex;
  if (!unit.port.empty()) device += ",PORT=" + unit.port;
  std::vector<char> deviceString;
  CopyTerminated(device, deviceString, DeviceStringBytes);
  loaderTouched_ = true;
  BSL_setFamily(LoaderFamily);
  BSL_setCom(LoaderLinkUsb);
  if (BSL_initialize_BSL(deviceString.data()) == 1) return fail(0, "USB device was unplugged!" + CrLf);

  std::vector<char> passwordText;
  CopyTerminated(Firmware::GetString("password.Text"), passwordText, PasswordTextBytes);
  const auto imagePassword =
      std::make_unique<DataBlock_>(BSL_readTI_Text(passwordText.data(), PasswordBytes));
  const auto defaultPassword = std::make_unique<DataBlock_>(BSL_getDefaultPass());
  Report(5, {});

  if (BSL_RX_Password(*imagePassword) != 0) {
    // A refused password makes the loader mass-erase the flash; the password is then
    // the erased one.
    massErased = true;
    Report(5, "Mass erase occured!" + CrLf);
    Sleep(MassEraseWaitMs);
    if (BSL_RX_Password(*defaultPassword) != 0) return fail(10, "Password FAILED!" + CrLf);
  }
  Report(10, "Password Sent Successfully" + CrLf);

  const std::string ramVersion = Firmware::GetString("RAM_BSL_VERSION");
  Report(20, "Sending RAM BSL v" + ramVersion + CrLf);
  std::vector<char> ramLoader;
  CopyTerminated(ramLoaderText, ramLoader, std::max(RamLoaderTextBytes, ramLoaderText.size() + 1));
  BSL_RX_TXT(ramLoader.data(), SendFast);
  BSL_LoadPC(RamLoaderEntry);
  Report(30, "Done RAM BSL v" + ramVersion + CrLf);
  BSL_close_BSL();

  // The device leaves the bus and comes back running the RAM loader.
  Report(35, {});
  Sleep(RamLoaderStepWaitMs);
  Report(40, {});
  Sleep(RamLoaderStepWaitMs);
  Report(45, {});
  Sleep(RamLoaderStepWaitMs);

  startProgramTime = static_cast<uint32_t>(Ticks());

  BSL_setFamily(LoaderFamily);
  BSL_setCom(LoaderLinkUsb);
  if (BSL_initialize_BSL(deviceString.data()) == 1) return fail(50, "USB device was unplugged!" + CrLf);
  const int passwordResult = BSL_RX_Password(massErased ? *defaultPassword : *imagePassword);

  // "Vendor VV, CI 0xCC API 0xAA PI 0xPP": the three fields at 16, 25 and 33 give the
  // RAM loader's version. A shorter text cannot be one.
  bslVersion = BSL_TX_BSL_Version_String();
  const std::string versionText = bslVersion != nullptr ? bslVersion : "ERROR";
  bool versionOk = false;
  if (versionText != "ERROR" && versionText.size() >= 35) {
    const std::string running = "00." + versionText.substr(16, 2) + "." +
                                versionText.substr(25, 2) + "." + versionText.substr(33, 2);
    versionOk = running == ramVersion;
  }
  if (!versionOk) return fail(50, "Failed to read data from RAM BSL" + CrLf);
  if (passwordResult != 0) return fail(50, "Password FAILED after sending RAM BSL!" + CrLf);

  // Without its reset vector the device stays in the loader should programming stop
  // half-way.
  if (BSL_eraseSegment(ResetVectorAddress) != 0) Report(50, "Failed to erase reset vector" + CrLf);
  return true;
}

bool FirmwareUpgrader::CustomSelectedFirmware(const std::string& path) {
  bool massErased = false;
  if (!DownloadStartUp(massErased)) {
    BSL_close_BSL();
    Report(50, "Unsuccessful in starting the BSL. Restarting. " + CrLf);
    if (!DownloadStartUp(massErased)) return false;
  }

  std::vector<char> pathBuffer;
  CopyTerminated(path, pathBuffer, PathBytes);  // CheckFirmwareFile made sure it fits

  // After a mass erase the flash is blank already.
  if (!massErased) {
    Report(60, "Erasing memory segments " + CrLf);
    EraseDataSegment_File(pathBuffer.data());
  }

  Report(70, "Sending " + PrintableDeviceText(path) + CrLf);
  BSL_RX_TXT_File(pathBuffer.data(), SendFast);
  Report(75, "Firmware Sent" + CrLf);
  Report(80, "Verifying memory" + CrLf);

  if (CRC_Check_File(pathBuffer.data()) != 0) {
    Report(85, "Memory verification error" + CrLf);
    return false;
  }
  Report(85, "Memory successfully verified" + CrLf);

  stopProgramTime = static_cast<uint32_t>(Ticks());
  totalProgramTime = (stopProgramTime - startProgramTime) / 1000;
  Report(90, "Total programming time is " + std::to_string(totalProgramTime) + "s " + CrLf);

  TriggerForcedBOR();
  Report(100, "Done!");
  return true;
}

bool FirmwareUpgrader::TriggerForcedBOR() {
  const std::string image = Firmware::GetString("Forced_BOR.Text");
  std::vector<char> reset;
  CopyTerminated(image, reset, ResetTextBytes);
  Report(90, "Resetting Device..." + CrLf + "Starting application" + CrLf);
  if (BSL_RX_TXT(reset.data(), SendFast) != 0) return false;
  // This RAM loader version may miss the first reset request; a second one is harmless.
  if (Firmware::GetString("RAM_BSL_VERSION").find(RamLoaderVersion) != std::string::npos) {
    std::vector<char> again;
    CopyTerminated(image, again, ResetTextBytes);
    BSL_RX_TXT(again.data(), SendFast);
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The settings restore

namespace {

// Writes `s` into the open encoder: one command each; on failure its message.
bool WriteSettings(const EncoderSettings& s, std::string& failure) {
  const std::pair<std::function<int32_t()>, const char*> steps[] = {
      {[&] { return IsRestorableSerial(s.serialNumber) ? SendSerialNumber(s.serialNumber) : ResultOk; },
       "Unable to set serialNumber.."},
      {[&] { return SendKeypadType(static_cast<uint8_t>(s.keypadType)); }, "Unable to set Keypad Type.."},
      {[&] { return SendKeyTable(s.table); }, "Unable to Load Table.."},
      {[&] { return SendLedLevel(VolumeLedGroup, static_cast<uint8_t>(s.volumeLed)); },
       "Unable to set VOLUME LED Brightness.."},
      {[&] { return SendLedLevel(JackLedGroup, static_cast<uint8_t>(s.jackLed)); },
       "Unable to set JACK LED Brightness.."},
      {[] { return SendWriteDefault(); }, "Unable to Write Default.."},
  };
  for (const auto& [send, text] : steps) {
    if (send() != ResultOk) {
      failure = text;
      return false;
    }
  }
  return true;
}

}  // namespace

RestoreResult FirmwareUpgrader::RestoreEncoderSettings(const UpgradeUnit& unit,
                                                       const UpgradeHooks& hooks,
                                                       const RestoreDecider& decide,
                                                       bool afterUpgrade) {
  RestoreResult result;
  result.expectedSerial = unit.Identity();
  FirmwareUpgrader waits;
  waits.hooks_ = &hooks;
  if (afterUpgrade) waits.Sleep(EncoderRestartWaitMs);
  // The unit comes back on its own port; another encoder on the bus is not it.
  if (afterUpgrade && ReopenEncoder(unit.port) != ScanOutcome::Opened) {
    result.outcome = RestoreOutcome::NotConnected;
    return result;
  }
  // Who is there: the serial number it reports is the only proof of which unit it is.
  EncoderStatus status;
  if (ReadEncoderStatus(status)) result.reportedSerial = status.serialNumber;
  const std::string reported = CanKeepRecord(result.reportedSerial) ? result.reportedSerial
                                                                    : std::string();
  const std::string folder = RecoveryFolder();
  std::optional<EncoderSettings> chosen;
  if (!reported.empty()) {
    if (const auto own = FindRecoveryRecord(folder, reported)) {
      // Its own record: what the user had, whichever way the unit got here.
      chosen = own->settings;
    } else if (reported == result.expectedSerial) {
      chosen = unit.settings;
    } else if (!result.expectedSerial.empty() || unit.settingsKnown) {
      // Not the unit that left (or one that could not say who it was then): another
      // unit got here; its settings are its own business.
      result.outcome = RestoreOutcome::OtherUnit;
      return result;
    }
  } else {
    // No serial number to go by: only the user can say whose settings these are.
    std::vector<RestoreCandidate> candidates;
    if (!result.expectedSerial.empty()) {
      const auto kept = FindRecoveryRecord(folder, result.expectedSerial);
      candidates.push_back(kept ? RestoreCandidate{kept->settings, kept->keptAt, kept->port}
                                : RestoreCandidate{unit.settings, {}, unit.port});
    } else if (unit.settingsKnown) {
      candidates.push_back({unit.settings, {}, unit.port});
    } else {
      for (const RecoveryRecord& r : LoadRecoveryRecords(folder)) {
        candidates.push_back({r.settings, r.keptAt, r.port});
      }
    }
    if (!candidates.empty()) {
      const std::optional<size_t> pick = decide ? decide(unit.port, candidates) : std::nullopt;
      if (!pick || *pick >= candidates.size()) {
        result.outcome = RestoreOutcome::NotIdentified;
        return result;
      }
      chosen = candidates[*pick].settings;
      result.confirmed = true;
    }
  }
  // Nothing that can be this unit's own: the fallback settings (no serial number).
  const bool fallback = !chosen.has_value();
  if (fallback && !afterUpgrade) {
    result.outcome = RestoreOutcome::NothingKept;
    return result;
  }
  EncoderSettings settings = fallback ? unit.settings : *chosen;
  // Made-up settings never carry a serial number into a unit.
  if (fallback) settings.serialNumber = EncoderSettings::Fallback().serialNumber;
  if (!WriteSettings(settings, result.failure)) {
    result.outcome = RestoreOutcome::CommandFailed;
    return result;
  }
  if (fallback) {
    result.outcome = RestoreOutcome::FallbackWritten;
  } else {
    result.outcome = RestoreOutcome::Restored;
    result.restoredSerial = settings.serialNumber;
    // The settings are back in their unit: its record has done its work.
    RemoveRecoveryRecord(folder, settings.serialNumber);
  }
  if (EncoderStatus after; ReadEncoderStatus(after)) result.firmware = after.firmwareVersion;
  return result;
}

std::string DescribeCandidate(const RestoreCandidate& c) {
  std::string text = "the settings of serial number " + PrintableDeviceText(c.settings.serialNumber);
  if (!c.keptAt.empty()) text += ", kept " + c.keptAt;
  if (!c.keptOn.empty()) text += (c.keptAt.empty() ? ", read on USB port " : " on USB port ") + PrintableDeviceText(c.keptOn);
  return text;
}

std::string DescribeRestore(const RestoreResult& r, const std::string& port) {
  const std::string where = "USB port " + PrintableDeviceText(port);
  const std::string firmware =
      r.firmware.empty() ? std::string() : " runs firmware " + PrintableDeviceText(r.firmware) + " and";
  switch (r.outcome) {
    case RestoreOutcome::Restored:
      return "The encoder on " + where + firmware + " has its settings back (serial number " +
             PrintableDeviceText(r.restoredSerial) + (r.confirmed ? ", restored on your word" : "") + ").";
    case RestoreOutcome::FallbackWritten:
      return "The encoder on " + where + firmware +
             " got the default settings (code table 0, both LED groups at 6, an empty custom "
             "table, no serial number): its own settings were not known. Set them in the main "
             "window or from a saved configuration file.";
    case RestoreOutcome::NotIdentified:
      return "The encoder on " + where + " reports no serial number, so the program cannot "
             "tell whose settings it should have; nothing was written into it and every kept "
             "record stays.";
    case RestoreOutcome::OtherUnit:
      return "The encoder now on " + where + " reports serial number " +
             PrintableDeviceText(r.reportedSerial) + ", not " +
             (r.expectedSerial.empty() ? std::string("the unit that was upgraded")
                                       : PrintableDeviceText(r.expectedSerial)) +
             ": it is another unit, and nothing was written into it.";
    case RestoreOutcome::NothingKept:
      return "No settings are kept for the encoder on " + where +
             (r.reportedSerial.empty() ? std::string()
                                       : " (serial number " + PrintableDeviceText(r.reportedSerial) + ")") +
             "; nothing was written into it.";
    case RestoreOutcome::NotConnected:
      return "No encoder came back on " + where + " after the upgrade.";
    case RestoreOutcome::CommandFailed:
      return "The encoder on " + where + " refused its settings (" + r.failure + ").";
  }
  return {};
}

// ---------------------------------------------------------------------------------------
// Text helpers, verification and erase

void FirmwareUpgrader::StringToChar(const std::string& str, char* character) {
  std::memcpy(character, str.data(), str.size());
}

std::string FirmwareUpgrader::padHexStringValue(std::string hexString) {
  const size_t at = std::min<size_t>(2, hexString.size());
  if (hexString.size() < 4) {
    hexString.insert(at, "000");
  } else if (hexString.size() == 4) {
    hexString.insert(at, "00");
  } else if (hexString.size() == 5) {
    hexString.insert(at, "0");
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
