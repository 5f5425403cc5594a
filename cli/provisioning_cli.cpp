#include "cli/provisioning_cli.h"

#include <QFile>
#include <QObject>
#include <QString>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <streambuf>
#include <thread>
#include <chrono>
#include <system_error>

#include <hidapi/hidapi.h>

#include "device/device_lock.h"
#include "support/core/native_path.h"
#include "device/device_text.h"
#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "device/trace.h"
#include "device/usb_port.h"
#include "loader/bsl430.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/core/upgrader.h"
#include "layout_editor/core/key_code_table.h"
#include "support/core/config_file.h"
#include "support/core/config_profile.h"
#include "support/core/file_store.h"
#include "support/core/interrupt.h"
#include "support/service/platform.h"
#include "support/core/temporary_file.h"

namespace pellix_usb_encoder::cli {

namespace {

// The encoder restarts after a factory reset; the windows wait as long.
constexpr int FactoryResetWaitMs = 3000;
constexpr int LoaderPollMs = 100;
constexpr int BrightnessLevels = 10;
constexpr int ProgressBarWidth = 30;

const char* const KeyNames[] = {"Vol Up", "Vol Down", "Jack IN", "Jack OUT"};
const char* const KeypadNames[] = {"default", "alternate", "custom"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string WithoutBlanks(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c != ' ') result += c;
  }
  return result;
}

// A whole number in decimal or, with "0x", hexadecimal.
bool ParseNumber(const std::string& text, int& value) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.data() + (hex ? 2 : 0);
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(begin, end, value, hex ? 16 : 10);
  return error == std::errc() && ptr == end;
}

// The name of entry `index` of the key code list: the text after "0xHH" and its blanks.
std::string ListedKeyName(size_t index) {
  const std::string& item = KeyCodeItems()[index];
  const size_t nameStart = item.find_first_not_of(' ', 4);
  return nameStart == std::string::npos ? std::string() : item.substr(nameStart);
}

// A key usage: a name of the key code list ("F13", "a", "1", "VolumeUp"), compared
// without regard to case, or else a number (0x00..0xFF). Names come first, so that a
// digit means its key, as `status` prints it.
bool ParseUsage(const std::string& text, uint8_t& usage) {
  const std::string wanted = Lower(text);
  for (size_t i = 0; i < KeyCodeItems().size(); ++i) {
    if (Lower(ListedKeyName(i)) == wanted) {
      usage = static_cast<uint8_t>(i);
      return true;
    }
  }
  int value = 0;
  if (!ParseNumber(text, value) || value < 0 || value > 0xFF) return false;
  usage = static_cast<uint8_t>(value);
  return true;
}

// A modifier: a number, or a name of the modifier list without its blanks ("None",
// "LeftCtrl", "RightShift", ...).
bool ParseModifier(const std::string& text, uint8_t& modifier) {
  int value = 0;
  if (ParseNumber(text, value)) {
    // None (0) or one of the eight modifier usages 0xE0..0xE7: anything else in the
    // modifier byte is a key, not a modifier.
    if (value < 0 || value > 0xFF || !IsListedModifierUsage(static_cast<uint8_t>(value))) {
      return false;
    }
    modifier = static_cast<uint8_t>(value);
    return true;
  }
  const std::string wanted = Lower(text);
  const auto& items = ModifierItems();
  for (size_t i = 0; i < items.size(); ++i) {
    if (Lower(WithoutBlanks(items[i])) == wanted) {
      modifier = ModifierIndexToUsage(static_cast<int>(i));
      return true;
    }
  }
  return false;
}

std::string UsageName(uint8_t usage) {
  const std::string name = usage < KeyCodeItems().size() ? ListedKeyName(usage) : std::string();
  return name.empty() ? CodeLabel(usage) : name;
}

std::string ModifierName(uint8_t modifier) {
  if (!IsListedModifierUsage(modifier)) return CodeLabel(modifier);
  return WithoutBlanks(ModifierItems()[size_t(ModifierUsageToIndex(modifier))]);
}

std::string KeypadName(int type) {
  return type >= 0 && type < 3 ? KeypadNames[type] : "unknown (" + std::to_string(type) + ")";
}

// 8-bit device text as JSON: quotes, backslashes and control characters escaped, bytes
// above 0x7F as the Latin-1 characters they are.
std::string JsonString(const std::string& text) {
  std::string result = "\"";
  char escape[8];
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      result += '\\';
      result += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      result += escape;
    } else {
      result += static_cast<char>(c);
    }
  }
  return result + "\"";
}

// Device text for a terminal: control characters shown as '?', so that nothing the
// encoder reports can move the cursor or change the terminal.
std::string Printable(const std::string& text) { return PrintableDeviceText(text); }

// The loader identifiers, set once: workers of --all only read them.
void EnsureLoaderIds() {
  if (FirmwareUpgrader::myVID.empty() || FirmwareUpgrader::myPID.empty()) {
    FirmwareUpgrader::InitializeVidPid();
  }
}

// An output stream that hands each complete line, with a prefix, to a shared stream under
// a lock: the lines of units worked on at the same time never mix.
class PrefixedLines : public std::streambuf {
 public:
  PrefixedLines(std::ostream& target, std::mutex& mutex, std::string prefix)
      : target_(target), mutex_(mutex), prefix_(std::move(prefix)) {}
  ~PrefixedLines() override {
    if (!line_.empty()) Flush();
  }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\r') return c;  // a progress bar's return: lines only here
    line_ += static_cast<char>(c);
    if (c == '\n') Flush();
    return c;
  }

 private:
  void Flush() {
    std::lock_guard lock(mutex_);
    target_ << prefix_ << line_ << std::flush;
    line_.clear();
  }
  std::ostream& target_;
  std::mutex& mutex_;
  std::string prefix_;
  std::string line_;
};

// ---------------------------------------------------------------------------------------

class Session {
 public:
  Session(std::ostream& out, std::ostream& err, const Options& options, std::string device,
          std::string restoreFrom = std::string())
      : out_(out), err_(err), options_(options), device_(std::move(device)),
        restoreFrom_(std::move(restoreFrom)) {}
  ~Session() { CloseEncoder(); }

  int List(const std::vector<std::string>& args);
  int Status(const std::vector<std::string>& args);
  int SetLed(const std::vector<std::string>& args);
  int SetKeypad(const std::vector<std::string>& args);
  int LoadTable(const std::vector<std::string>& args);
  int SaveDefaults(const std::vector<std::string>& args);
  int FactoryReset(const std::vector<std::string>& args);
  int ApplyConfig(const std::vector<std::string>& args);
  int ExportConfig(const std::vector<std::string>& args);
  int UpgradeFirmware(const std::vector<std::string>& args);
  int RestoreSettings(const std::vector<std::string>& args);
  int Diagnose(const std::vector<std::string>& args);

 private:
  int BadInput(const std::string& text) {
    err_ << "ovitone-cli: " << text << "\n";
    return ExitBadInput;
  }
  int Refused(const std::string& text) {
    err_ << "ovitone-cli: " << text << "\n";
    return ExitDeviceRefused;
  }
  bool WantArgs(const std::vector<std::string>& args, size_t count, const char* usage) {
    if (args.size() == count) return true;
    err_ << "ovitone-cli: usage: ovitone-cli " << usage << "\n";
    return false;
  }
  // Opens the encoder chosen by --device, or the only one. A command that changes
  // anything refuses to pick one of several encoders by itself. On failure says why and
  // gives the exit code.
  int Open(bool changes, bool quiet = false);
  // The unit --device names (a USB port or a serial number): true with its port and
  // whether it waits in its loader. Otherwise says why, with the exit code in `exit`.
  bool ResolveDevice(std::string& port, bool& inLoader, int& exit);
  // Several encoders and no --device: lists them for the user and gives ExitBadInput.
  int RefuseAmbiguous(const std::vector<UsbUnit>& units, const char* what);
  // One typed command's result; on failure the message and ExitDeviceRefused.
  int Checked(int32_t result, const std::string& failure);
  // What a settings restore did, on the terminal, and the exit code for it.
  // `fileArgument` is the firmware file, for the advice to run the upgrade again.
  int EndOfRestore(const RestoreResult& restored, const std::string& port,
                   const std::string& fileArgument);
  void PrintStatusText(const EncoderStatus& status);
  void PrintStatusJson(const EncoderStatus& status);

  std::ostream& out_;
  std::ostream& err_;
  Options options_;
  std::string device_;  // --device: a USB port or a serial number; empty: not given
  std::string restoreFrom_;  // --restore-from: whose kept settings an unidentified unit gets
  std::string port_;    // the port of the encoder Open opened
};

std::vector<UsbUnit> Encoders(const std::vector<UsbUnit>& units) {
  std::vector<UsbUnit> encoders;
  for (const UsbUnit& u : units) {
    if (!u.inLoader) encoders.push_back(u);
  }
  return encoders;
}

int Session::RefuseAmbiguous(const std::vector<UsbUnit>& units, const char* what) {
  err_ << "ovitone-cli: " << units.size() << " " << what
       << " are attached; choose one with --device PORT|SERIAL:\n";
  for (const UsbUnit& u : units) {
    err_ << "  " << (u.port.empty() ? "(unknown port)" : Printable(u.port))
         << (u.inLoader ? "  waiting in its firmware loader" : "  encoder") << "\n";
  }
  err_ << "Nothing was sent.\n";
  return ExitBadInput;
}

bool Session::ResolveDevice(std::string& port, bool& inLoader, int& exit) {
  const std::vector<UsbUnit> units = ListUnits();
  for (const UsbUnit& u : units) {
    if (!u.port.empty() && u.port == device_) {
      port = u.port;
      inLoader = u.inLoader;
      return true;
    }
  }
  // Not a port: a serial number, as the encoders report it.
  std::vector<UsbUnit> matches;
  for (const UsbUnit& u : units) {
    if (u.inLoader || u.port.empty()) continue;
    EncoderStatus status;
    if (ReopenEncoder(u.port) == ScanOutcome::Opened && ReadEncoderStatus(status) &&
        status.serialNumber == device_) {
      matches.push_back(u);
    }
  }
  CloseEncoder();
  // A unit in its loader reports no serial number; the record kept when it left names it,
  // as list shows it.
  std::vector<UsbUnit> waiting;
  const std::string folder = FirmwareUpgrader::RecoveryFolder();
  for (const UsbUnit& u : units) {
    if (!u.inLoader || u.port.empty()) continue;
    if (const auto record = RecordLastSeenOn(folder, u.port); record && record->Serial() == device_) {
      waiting.push_back(u);
    }
  }
  if (matches.size() + waiting.size() == 1) {
    port = matches.empty() ? waiting.front().port : matches.front().port;
    inLoader = matches.empty();
    return true;
  }
  if (matches.size() + waiting.size() > 1) {
    matches.insert(matches.end(), waiting.begin(), waiting.end());
    exit = RefuseAmbiguous(matches, "units with that serial number");
    return false;
  }
  err_ << "ovitone-cli: No encoder or loader on USB port or with serial number "
       << Printable(device_) << " (see ovitone-cli list).\n";
  exit = ExitNoDevice;
  return false;
}

int Session::Open(bool changes, bool quiet) {
  std::string port;
  if (!device_.empty()) {
    bool inLoader = false;
    int exit = ExitNoDevice;
    if (!ResolveDevice(port, inLoader, exit)) return exit;
    if (inLoader) {
      if (!quiet) {
        err_ << "ovitone-cli: The unit on USB port " << port
             << " is waiting in its firmware loader. Finish the upgrade with: ovitone-cli "
                "--device "
             << port << " upgrade-firmware FILE\n";
      }
      return ExitNoDevice;
    }
  } else if (changes) {
    const std::vector<UsbUnit> encoders = Encoders(ListUnits());
    if (encoders.size() > 1) return RefuseAmbiguous(encoders, "encoders");
  }
  switch (ReopenEncoder(port)) {
    case ScanOutcome::Opened:
      port_ = OpenEncoderPort();
      return ExitOk;
    case ScanOutcome::AccessDenied:
      if (!quiet) err_ << "ovitone-cli: " << AccessDeniedAdvice << "\n";
      return ExitNoDevice;
    case ScanOutcome::NotFound:
      break;
  }
  if (quiet) return ExitNoDevice;
  EnsureLoaderIds();
  if (FirmwareUpgrader::CountLoaderDevices() > 0) {
    err_ << "ovitone-cli: The encoder is waiting in its firmware loader. Finish the upgrade "
            "with: ovitone-cli upgrade-firmware FILE\n";
  } else {
    err_ << "ovitone-cli: Orvane Ovitone  not connected.. (no encoder 2047:0a3b on the USB bus)\n";
  }
  return ExitNoDevice;
}

int Session::Checked(int32_t result, const std::string& failure) {
  if (result == ResultOk) return ExitOk;
  return Refused(failure + " (result " + std::to_string(result) + ")");
}

int Session::List(const std::vector<std::string>& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg != "--json") return BadInput("list: unknown option " + arg + " (usage: ovitone-cli list [--json])");
    json = true;
  }
  const std::vector<UsbUnit> units = ListUnits();
  const std::string folder = FirmwareUpgrader::RecoveryFolder();
  if (json) out_ << "[";
  else out_ << "PORT        STATE              SERIAL NUMBER   FIRMWARE    SETTINGS\n";
  bool first = true;
  for (const UsbUnit& u : units) {
    std::string serial, firmware;
    if (!u.inLoader && !u.port.empty()) {
      EncoderStatus status;
      if (ReopenEncoder(u.port) == ScanOutcome::Opened && ReadEncoderStatus(status)) {
        serial = status.serialNumber;
        firmware = status.firmwareVersion;
      }
    }
    // A running encoder has a record when its serial number does; a unit in its loader
    // reports none, and is shown with the record kept when it left from that port.
    const auto record = u.inLoader ? RecordLastSeenOn(folder, u.port) : FindRecoveryRecord(folder, serial);
    const bool recovery = record.has_value();
    if (serial.empty() && recovery) serial = record->Serial();
    const char* state = u.inLoader ? "firmware loader" : "encoder";
    if (json) {
      out_ << (first ? "\n" : ",\n") << "  {\"port\": " << JsonString(u.port)
           << ", \"state\": " << JsonString(u.inLoader ? "loader" : "encoder")
           << ", \"serial_number\": " << JsonString(serial)
           << ", \"firmware_version\": " << JsonString(firmware)
           << ", \"pending_recovery\": " << (recovery ? "true" : "false") << "}";
    } else {
      char line[160];
      std::snprintf(line, sizeof line, "%-11s %-18s %-15s %-11s %s\n",
                    u.port.empty() ? "?" : Printable(u.port).c_str(), state,
                    serial.empty() ? "-" : Printable(serial).c_str(),
                    firmware.empty() ? "-" : Printable(firmware).c_str(),
                    recovery ? "kept for restore" : "");
      out_ << line;
    }
    first = false;
  }
  CloseEncoder();
  if (json) out_ << (first ? "]\n" : "\n]\n");
  return ExitOk;
}

void Session::PrintStatusText(const EncoderStatus& status) {
  out_ << "Firmware version:      " << Printable(status.firmwareVersion) << "\n"
       << "Serial number:         " << Printable(SerialNumberText(status.serialNumber)) << "\n"
       << "Jack:                  " << (JackInserted(status) ? "in" : "out") << "\n"
       << "Code table in use:     " << KeypadName(status.keypadType) << "\n"
       << "Volume LED brightness: " << status.volLedBrightness << "\n"
       << "Jack LED brightness:   " << status.jackLedBrightness << "\n"
       << "Custom code table:\n";
  for (int k = 0; k < 4; ++k) {
    const uint8_t modifier = status.keyCodeTable[size_t(2 * k)];
    const uint8_t usage = status.keyCodeTable[size_t(2 * k + 1)];
    char line[96];
    std::snprintf(line, sizeof line, "  %-9s %-10s %s (%s)\n", KeyNames[k],
                  ModifierName(modifier).c_str(), UsageName(usage).c_str(),
                  CodeLabel(usage).c_str());
    out_ << line;
  }
}

void Session::PrintStatusJson(const EncoderStatus& status) {
  out_ << "{\n"
       << "  \"connected\": true,\n"
       << "  \"firmware_version\": " << JsonString(status.firmwareVersion) << ",\n"
       << "  \"serial_number\": " << JsonString(status.serialNumber) << ",\n"
       << "  \"jack_inserted\": " << (JackInserted(status) ? "true" : "false") << ",\n"
       << "  \"keypad\": " << JsonString(KeypadName(status.keypadType)) << ",\n"
       << "  \"keypad_type\": " << status.keypadType << ",\n"
       << "  \"volume_led\": " << status.volLedBrightness << ",\n"
       << "  \"jack_led\": " << status.jackLedBrightness << ",\n"
       << "  \"code_table\": [\n";
  for (int k = 0; k < 4; ++k) {
    const uint8_t modifier = status.keyCodeTable[size_t(2 * k)];
    const uint8_t usage = status.keyCodeTable[size_t(2 * k + 1)];
    out_ << "    {\"key\": " << JsonString(KeyNames[k]) << ", \"modifier\": " << int(modifier)
         << ", \"usage\": " << int(usage) << ", \"modifier_name\": "
         << JsonString(ModifierName(modifier)) << ", \"usage_name\": "
         << JsonString(UsageName(usage)) << "}" << (k < 3 ? "," : "") << "\n";
  }
  out_ << "  ]\n}\n";
}

int Session::Status(const std::vector<std::string>& args) {
  bool json = false;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else {
      return BadInput("status: unknown option " + arg + " (usage: ovitone-cli status [--json])");
    }
  }
  if (const int opened = Open(false); opened != ExitOk) {
    if (json) out_ << "{\n  \"connected\": false\n}\n";
    return opened;
  }
  EncoderStatus status;
  if (!ReadEncoderStatus(status)) {
    if (json) out_ << "{\n  \"connected\": false\n}\n";
    return Refused("Unable to get device status information");
  }
  if (json) {
    PrintStatusJson(status);
  } else {
    PrintStatusText(status);
  }
  return ExitOk;
}

int Session::SetLed(const std::vector<std::string>& args) {
  if (!WantArgs(args, 2, "set-led volume|jack LEVEL")) return ExitBadInput;
  const std::string group = Lower(args[0]);
  if (group != "volume" && group != "jack") {
    return BadInput("set-led: the LED group is volume or jack, not " + args[0]);
  }
  int level = 0;
  if (!ParseNumber(args[1], level) || level < 0 || level >= BrightnessLevels) {
    return BadInput("set-led: the level is a number from 0 to 9, not " + args[1]);
  }
  if (const int opened = Open(true); opened != ExitOk) return opened;
  const bool volume = group == "volume";
  return Checked(SendLedLevel(volume ? VolumeLedGroup : JackLedGroup, static_cast<uint8_t>(level)),
                 volume ? "Unable to set the VOLUME LED Brightness.."
                        : "Unable to set the JACK LED Brightness..");
}

int Session::SetKeypad(const std::vector<std::string>& args) {
  if (!WantArgs(args, 1, "set-keypad default|alternate|custom")) return ExitBadInput;
  const std::string name = Lower(args[0]);
  int type = -1;
  if (name == "default" || name == "0") type = 0;
  if (name == "alternate" || name == "1") type = 1;
  if (name == "custom" || name == "customise" || name == "customised" || name == "2") type = 2;
  if (type < 0) return BadInput("set-keypad: choose default, alternate or custom, not " + args[0]);
  if (const int opened = Open(true); opened != ExitOk) return opened;
  return Checked(SendKeypadType(static_cast<uint8_t>(type)), "Unable to set Keypad Type..");
}

int Session::LoadTable(const std::vector<std::string>& args) {
  if (!WantArgs(args, 4, "load-table [MODIFIER:]KEY [MODIFIER:]KEY [MODIFIER:]KEY [MODIFIER:]KEY"))
    return ExitBadInput;
  std::array<uint8_t, KeyCodeTableSize> table{};
  for (size_t k = 0; k < 4; ++k) {
    const std::string& arg = args[k];
    const size_t colon = arg.find(':');
    uint8_t modifier = 0;
    uint8_t usage = 0;
    if (colon != std::string::npos && !ParseModifier(arg.substr(0, colon), modifier)) {
      return BadInput(std::string("load-table: ") + KeyNames[k] + ": unknown modifier " +
                      arg.substr(0, colon));
    }
    const std::string key = colon == std::string::npos ? arg : arg.substr(colon + 1);
    if (!ParseUsage(key, usage)) {
      return BadInput(std::string("load-table: ") + KeyNames[k] + ": unknown key " + key);
    }
    table[2 * k] = modifier;
    table[2 * k + 1] = usage;
  }
  if (const int opened = Open(true); opened != ExitOk) return opened;
  return Checked(SendKeyTable(table), "Unable to Load Table..");
}

int Session::SaveDefaults(const std::vector<std::string>& args) {
  if (!WantArgs(args, 0, "save-defaults")) return ExitBadInput;
  if (const int opened = Open(true); opened != ExitOk) return opened;
  return Checked(SendWriteDefault(), "Unable to Write Default..");
}

int Session::FactoryReset(const std::vector<std::string>& args) {
  if (!WantArgs(args, 0, "factory-reset")) return ExitBadInput;
  if (const int opened = Open(true); opened != ExitOk) return opened;
  // The encoder answers before it restarts: no answer, or a refusal, means no reset.
  if (const int32_t result = SendFactoryReset(); result != ResultOk) {
    return Refused("The encoder did not accept the factory reset (result " +
                   std::to_string(result) + "); its settings are unchanged.");
  }
  platform::SleepMs(FactoryResetWaitMs);
  EncoderStatus status;
  // The same unit comes back on its port.
  if (ReopenEncoder(port_) != ScanOutcome::Opened || !ReadEncoderStatus(status)) {
    err_ << "ovitone-cli: The encoder did not come back after the factory reset.\n";
    return ExitNoDevice;
  }
  out_ << "Factory settings restored; the encoder restarted and answers again.\n";
  return ExitOk;
}

int Session::ApplyConfig(const std::vector<std::string>& args) {
  if (!WantArgs(args, 1, "apply-config FILE")) return ExitBadInput;
  const std::string& path = args[0];
  // The whole file is checked before the encoder is opened.
  ConfigPlan plan;
  std::string problem;
  switch (ReadConfigPlan(path, plan, problem)) {
    case ConfigPlanResult::Ready:
      break;
    case ConfigPlanResult::Missing:
      return BadInput("Unable to read " + path + ".");
    case ConfigPlanResult::NotSaved:
      return BadInput(path + " holds no saved settings (FirstUp is not Yes); nothing was sent.");
    case ConfigPlanResult::Malformed:
    case ConfigPlanResult::BadValue:
      return BadInput(problem + " Nothing was sent.");
  }
  if (const int opened = Open(true); opened != ExitOk) return opened;
  const ApplyStep failed = ApplyConfigPlan(plan);
  if (failed != ApplyStep::None) return Refused(ApplyFailureText(failed));
  out_ << "Settings from " << path << " applied.\n";
  return ExitOk;
}

int Session::ExportConfig(const std::vector<std::string>& args) {
  std::vector<std::string> rest;
  bool force = false;
  for (const std::string& arg : args) {
    if (arg == "--force") {
      force = true;
    } else {
      rest.push_back(arg);
    }
  }
  if (!WantArgs(rest, 1, "export-config FILE [--force]")) return ExitBadInput;
  const std::filesystem::path target = NativePath(rest[0]);
  std::error_code error;
  // Looked at before anything else: a link to a file or a folder is refused as a link.
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(target, error))) {
    return BadInput(SymbolicLinkProblem(rest[0]));
  }
  if (std::filesystem::is_directory(target, error)) {
    return BadInput(rest[0] + " is a folder; give the name of the file to write.");
  }
  if (std::filesystem::exists(target, error) && !force) {
    return BadInput(rest[0] + " already exists; add --force to overwrite it.");
  }
  if (const int opened = Open(false); opened != ExitOk) return opened;
  EncoderSettings settings;
  if (!ReadEncoderSettings(settings)) return Refused("Unable to Save Config file.");

  // Made beside the target first, then copied over it whole: an existing file is either
  // kept or replaced, and one the user made read-only is kept. An interrupt meanwhile
  // removes the temporary file and says what became of the target.
  const std::filesystem::path temporary = TemporaryBeside(target, ".export");
  TemporaryFileGuard guard(Utf8Path(temporary));
  SetInterruptNote("ovitone-cli: export-config was interrupted; the encoder is unchanged, and " +
                   rest[0] + " is either as it was or holds the whole export, never a part of "
                   "it. Run export-config again to be sure of the file.");
  std::string problem;
  const bool written = WriteConfigFile(Utf8Path(temporary), settings, problem) &&
                       platform::CopyFileReplacing(Utf8Path(temporary), Utf8Path(target), problem);
  guard.Remove();
  SetInterruptNote(std::string());
  if (!written) {
    if (!problem.empty() && problem.back() != '.') problem += '.';
    return BadInput("Unable to write " + rest[0] + (problem.empty() ? "." : ": " + problem));
  }
  out_ << "Settings written to " << rest[0] << ".\n";
  return ExitOk;
}

// ---------------------------------------------------------------------------------------
// upgrade-firmware

class ProgressPrinter {
 public:
  ProgressPrinter(std::ostream& err, bool terminal) : err_(err), terminal_(terminal) {}
  ~ProgressPrinter() { Finish(); }

  // Ends the bar's line, so that what follows starts on a line of its own.
  void Finish() {
    if (drawn_) err_ << "\n" << std::flush;
    drawn_ = false;
  }

  void Report(int percent, const std::string& text) {
    percent = std::clamp(percent, 0, 100);
    std::vector<std::string> lines;
    std::string line;
    for (char c : text + "\n") {
      if (c == '\r') continue;
      if (c != '\n') {
        line += c;
        continue;
      }
      if (line.find_first_not_of(' ') != std::string::npos) lines.push_back(line);
      line.clear();
    }
    if (terminal_) {
      if (!lines.empty()) {
        err_ << "\r\033[K";
        for (const std::string& part : lines) err_ << part << "\n";
      }
      const int filled = percent * ProgressBarWidth / 100;
      err_ << "\r[" << std::string(size_t(filled), '#')
           << std::string(size_t(ProgressBarWidth - filled), '-') << "] ";
      char number[8];
      std::snprintf(number, sizeof number, "%3d%%", percent);
      err_ << number << std::flush;
      drawn_ = true;
    } else {
      for (const std::string& part : lines) {
        char number[8];
        std::snprintf(number, sizeof number, "[%3d%%] ", percent);
        err_ << number << part << "\n";
      }
    }
  }

 private:
  std::ostream& err_;
  bool terminal_;
  bool drawn_ = false;
};

// " The settings of serial number S (kept T) are safe; ..." when the unit's record is kept.
std::string KeptNote(const std::string& serial) {
  if (serial.empty()) return {};
  const auto record = FindRecoveryRecord(FirmwareUpgrader::RecoveryFolder(), serial);
  if (!record) return {};
  return " The settings of serial number " + Printable(serial) +
         (record->keptAt.empty() ? std::string() : " (kept " + record->keptAt + ")") +
         " are safe; the next upgrade of this unit restores them.";
}

// Picks the candidate --restore-from names, if any.
RestoreDecider RestoreFrom(const std::string& serial) {
  return [serial](const std::string&, const std::vector<RestoreCandidate>& candidates)
             -> std::optional<size_t> {
    if (serial.empty()) return std::nullopt;
    for (size_t i = 0; i < candidates.size(); ++i) {
      if (candidates[i].settings.serialNumber == serial) return i;
    }
    return std::nullopt;
  };
}

int Session::EndOfRestore(const RestoreResult& restored, const std::string& port,
                          const std::string& fileArgument) {
  const std::string said = DescribeRestore(restored, port);
  const std::string unit = "--device " + Printable(port);
  switch (restored.outcome) {
    case RestoreOutcome::Restored:
      out_ << (restored.firmware.empty() ? std::string("Firmware upgraded")
                                         : "Firmware upgraded to " + Printable(restored.firmware));
      out_ << "; settings restored"
           << (restored.confirmed ? " (those of serial number " + Printable(restored.restoredSerial) +
                                        ", as --restore-from says)"
                                  : std::string())
           << ".\n";
      return ExitOk;
    case RestoreOutcome::FallbackWritten:
      err_ << "ovitone-cli: " << said << "\n";
      return ExitNotRestored;
    case RestoreOutcome::NotIdentified: {
      err_ << "ovitone-cli: " << said;
      if (!restoreFrom_.empty()) {
        err_ << " --restore-from " << Printable(restoreFrom_)
             << " names none of the kept settings this unit may have.";
      }
      err_ << " If you know which unit it is, restore its settings with: ovitone-cli " << unit
           << " --restore-from SERIAL restore-settings (kept:";
      for (const RecoveryRecord& r : LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder())) {
        err_ << " " << Printable(r.Serial());
      }
      err_ << ").\n";
      return ExitNotRestored;
    }
    case RestoreOutcome::OtherUnit:
      err_ << "ovitone-cli: " << said << KeptNote(restored.expectedSerial) << "\n";
      return ExitNotRestored;
    case RestoreOutcome::NothingKept:
      err_ << "ovitone-cli: " << said << "\n";
      return ExitNotRestored;
    case RestoreOutcome::NotConnected:
      err_ << "ovitone-cli: The firmware was programmed, but no encoder came back on USB port "
           << Printable(port)
           << (FirmwareUpgrader::WhereIs(port) == UnitPlace::Loader
                   ? std::string("; the unit waits in its firmware loader: run ovitone-cli ") +
                         unit + " upgrade-firmware " + fileArgument + " again."
                   : std::string(". Plug it in again and see ovitone-cli list."))
           << KeptNote(restored.expectedSerial) << "\n";
      return ExitNoDevice;
    case RestoreOutcome::CommandFailed:
      return Refused("The firmware was programmed, but restoring the settings failed: " +
                     restored.failure + "." + KeptNote(restored.expectedSerial));
  }
  return ExitDeviceRefused;
}

int Session::UpgradeFirmware(const std::vector<std::string>& args) {
  if (!WantArgs(args, 1, "upgrade-firmware FILE")) return ExitBadInput;
  // The path goes on as the system's bytes; one that text cannot carry is refused
  // rather than swapped for another file's name.
  const std::string& path = args[0];
  if (platform::CoreName(platform::NameFromCore(path)) != path) {
    return BadInput("The file name " + Printable(path) +
                    " cannot be handed on unchanged; rename the file.");
  }
  // A file the loader could not use is refused before the encoder hears anything.
  std::string problem;
  if (!FirmwareUpgrader::CheckFirmwareFile(path, problem)) return BadInput(problem);
  if (FirmwareUpgrader::RealUnits()) {
    std::string text, source, why;
    FirmwareUpgrader::FindRamLoader(text, source, why);
    err_ << "RAM loader " << RamLoaderVersion << ": " << source << ".\n";
  }
  EnsureLoaderIds();

  // Which unit: --device, else the only encoder, else the only unit in its loader.
  FirmwareUpgrader upgrader;
  UpgradeUnit& unit = upgrader.unit;
  bool inLoader = false;
  const std::vector<UsbUnit> units = ListUnits();
  if (!device_.empty()) {
    int exit = ExitNoDevice;
    if (!ResolveDevice(unit.port, inLoader, exit)) return exit;
  } else {
    const std::vector<UsbUnit> encoders = Encoders(units);
    if (encoders.size() > 1) return RefuseAmbiguous(encoders, "encoders");
    if (encoders.empty()) {
      if (units.size() > 1) return RefuseAmbiguous(units, "units waiting in their firmware loader");
      if (units.empty()) return Open(true);  // says why: no encoder, or no access
      inLoader = true;
      unit.port = units.front().port;
    }
  }

  const std::string finish = "ovitone-cli --device " + Printable(unit.port) + " upgrade-firmware " +
                             Printable(path);
  if (!inLoader) {
    if (const int opened = Open(true); opened != ExitOk) return opened;
    unit.settingsKnown = ReadEncoderSettings(unit.settings);
    if (!unit.settingsKnown) unit.settings = EncoderSettings::Fallback();
    if (unit.settingsKnown) {
      err_ << "Encoder found on USB port " << Printable(port_) << ": firmware "
           << Printable(unit.settings.firmwareVersion) << ", serial number "
           << Printable(SerialNumberText(unit.settings.serialNumber)) << ".\n";
    }
    // Its port and its settings are made safe before it leaves for its loader.
    if (!FirmwareUpgrader::PrepareUnit(unit, problem)) return Refused(problem);
    if (unit.fromRecovery) {
      err_ << "Settings kept before an earlier upgrade of this unit will be restored.\n";
    } else if (!unit.settingsKnown) {
      err_ << "ovitone-cli: Unable to get device status information; after the upgrade the "
              "unit gets the settings kept for the serial number it reports, or the default "
              "settings when none are kept.\n";
    } else if (unit.Identity().empty()) {
      err_ << "ovitone-cli: The encoder reports no serial number, so its settings cannot be "
              "kept for it; they are written back only with --restore-from.\n";
    }
    // The encoder may drop off the bus before its answer arrives; the loader's
    // appearance on its port is what counts.
    SetInterruptNote("ovitone-cli: interrupted. The unit on USB port " + Printable(unit.port) +
                     " is on its way into its firmware loader or waits there; run " + finish +
                     " to finish." + KeptNote(unit.Identity()));
    unit.entered = true;
    SendEnterFirmwareUpgrade();
    CloseEncoder();
  } else {
    err_ << "The unit on USB port " << Printable(unit.port) << " is already in its firmware loader.\n";
  }

  int waited = 0;
  while (FirmwareUpgrader::LoadersOnPort(unit.port) == 0) {
    if (waited >= options_.loaderWaitMs) {
      err_ << "ovitone-cli: The encoder's firmware loader (2047:0200) did not appear on USB "
              "port "
           << Printable(unit.port)
           << (FirmwareUpgrader::WhereIs(unit.port) == UnitPlace::Firmware
                   ? "; the encoder still runs its firmware and nothing was programmed."
                   : "; the unit is not on the USB bus. Plug it in again and see ovitone-cli list.")
           << KeptNote(unit.Identity()) << "\n";
      SetInterruptNote(std::string());
      return ExitNoDevice;
    }
    platform::SleepMs(LoaderPollMs);
    waited += LoaderPollMs;
  }

  ProgressPrinter printer(err_, options_.terminal);
  UpgradeHooks hooks;
  hooks.progress = [&printer](int percent, const std::string& text) { printer.Report(percent, text); };
  hooks.sleep = [](int ms) { platform::SleepMs(ms); };
  hooks.ticks = [] { return platform::TickCountMs(); };
  if (!upgrader.RunUpgrade(path, hooks)) {
    printer.Finish();
    std::string where;
    switch (FirmwareUpgrader::WhereIs(unit.port)) {
      case UnitPlace::Loader:
        where = upgrader.LoaderTouched()
                    ? "The unit on USB port " + Printable(unit.port) +
                          " waits in its firmware loader; run " + finish + " again."
                    : "Nothing was programmed; the unit on USB port " + Printable(unit.port) +
                          " waits in its firmware loader.";
        break;
      case UnitPlace::Firmware:
        where = "The encoder on USB port " + Printable(unit.port) + " runs its firmware.";
        break;
      case UnitPlace::Gone:
        where = "The unit is no longer on the USB bus (USB port " + Printable(unit.port) +
                "); plug it in again, find it with ovitone-cli list and upgrade it again.";
        break;
    }
    SetInterruptNote(std::string());
    return Refused("The firmware upgrade failed. " + where + KeptNote(unit.Identity()));
  }
  printer.Report(100, "Restoring the settings");
  SetInterruptNote("ovitone-cli: interrupted. The firmware was programmed; the encoder on USB port " +
                   Printable(unit.port) + " may not have its settings back: run ovitone-cli --device " +
                   Printable(unit.port) + " restore-settings." + KeptNote(unit.Identity()));
  const RestoreResult restored =
      FirmwareUpgrader::RestoreEncoderSettings(unit, hooks, RestoreFrom(restoreFrom_));
  printer.Finish();
  SetInterruptNote(std::string());
  return EndOfRestore(restored, unit.port, Printable(path));
}

int Session::RestoreSettings(const std::vector<std::string>& args) {
  if (!WantArgs(args, 0, "[--device PORT|SERIAL] [--restore-from SERIAL] restore-settings")) {
    return ExitBadInput;
  }
  if (const int opened = Open(true); opened != ExitOk) return opened;
  UpgradeUnit unit;
  unit.port = port_;
  const RestoreResult restored =
      FirmwareUpgrader::RestoreEncoderSettings(unit, UpgradeHooks(), RestoreFrom(restoreFrom_), false);
  if (restored.outcome == RestoreOutcome::Restored) {
    out_ << "Settings of serial number " << Printable(restored.restoredSerial)
         << " restored into the encoder on USB port " << Printable(port_) << ".\n";
    return ExitOk;
  }
  return EndOfRestore(restored, port_, "FILE");
}

// ---------------------------------------------------------------------------------------
// diagnose

const char* const UdevRuleName = "70-ovitone-hid.rules";

// What diagnose advises, in the words of the system it runs on.
#ifdef _WIN32
const char* const NoUnitFix =
    "plug the encoder in; if Device Manager shows no device with VID_2047 under Human "
    "Interface Devices either, try another cable or port";
const char* const UnknownPortFix =
    "Windows did not give the unit's place on the USB bus; unplug the unit, plug it in "
    "again and run diagnose once more (Device Manager: the unit, Properties, Details, "
    "Location paths shows what Windows knows)";
const char* const DeniedFix =
    "close every other program that uses the encoder (another copy of this utility among "
    "them), then unplug the unit and plug it in again";
const char* const NoDataFolderFix =
    "log on as a user with a Windows profile of their own; the settings folder is that "
    "user's AppData\\Local";
#else
const char* const NoUnitFix =
    "plug the encoder in; if lsusb -d 2047: lists nothing either, try another cable or port";
const char* const UnknownPortFix =
    "the port is read from /sys/class/hidraw; run the program where /sys is available";
const char* const DeniedFix =
    "install the udev rule and replug the unit; to work over SSH or from a service, also "
    "give a group access (README: Groups)";
const char* const NoDataFolderFix =
    "set HOME to this user's home folder, as an absolute path (HOME=/home/NAME)";
#endif
// udev reads a new rule by itself; replugging the encoder applies it.
const char* const UdevRuleFix =
    "sudo cp packaging/70-ovitone-hid.rules /etc/udev/rules.d/ and replug the encoder "
    "(the Debian package installs the rule itself)";

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == items.size() ? (items.size() > 2 ? ", or " : " or ") : ", ");
    text += items[i];
  }
  return text;
}

// "1 encoder on USB port 1-1", "2 firmware loaders on USB ports 1-2, 1-3", "no encoder".
std::string Counted(const std::vector<UsbUnit>& units, bool inLoader, const char* what) {
  std::vector<std::string> ports;
  for (const UsbUnit& u : units) {
    if (u.inLoader == inLoader) ports.push_back(u.port.empty() ? "unknown port" : u.port);
  }
  if (ports.empty()) return std::string("no ") + what;
  std::string text = std::to_string(ports.size()) + " " + what + (ports.size() > 1 ? "s" : "") +
                     " on USB port" + (ports.size() > 1 ? "s " : " ");
  for (size_t i = 0; i < ports.size(); ++i) text += (i ? ", " : "") + ports[i];
  return text;
}

int Session::Diagnose(const std::vector<std::string>& args) {
  if (!WantArgs(args, 0, "diagnose")) return ExitBadInput;
  int failed = 0;
  // One line per finding; what is not in order comes with its fix on the line below.
  enum Kind { Ok, Note, Fail };
  auto line = [&](Kind kind, const std::string& text, const std::string& fix = std::string()) {
    static const char* const marks[] = {"ok    ", "note  ", "FAIL  "};
    out_ << marks[kind] << text << "\n";
    if (!fix.empty()) out_ << "      fix: " << fix << "\n";
    failed += kind == Fail ? 1 : 0;
  };

  // The udev rule: without it this user may open neither the encoder nor the loader that
  // appears during an upgrade.
  if (options_.udevRuleFolders.empty()) {
#ifdef _WIN32
    line(Ok, "USB access: Windows' own HID class driver serves the encoder and its loader; "
             "there is no driver to install");
#else
    line(Ok, "udev rule: not needed on this system");
#endif
  } else {
    std::string installed, contents, why;
    for (const std::string& folder : options_.udevRuleFolders) {
      const std::string path = folder + "/" + UdevRuleName;
      if (platform::FileExists(path)) {
        installed = path;
        ReadSmallFile(path, MaxConfigFileBytes, contents, why);
        break;
      }
    }
    const std::string rule = Lower(contents);
    if (installed.empty()) {
      line(Fail, std::string("udev rule: ") + UdevRuleName + " is in none of " +
                     Joined(options_.udevRuleFolders),
           UdevRuleFix);
    } else if (rule.find("2047") == std::string::npos || rule.find("0a3b") == std::string::npos ||
               rule.find("0200") == std::string::npos) {
      line(Fail, "udev rule: " + installed + " does not cover both the encoder (2047:0a3b) and "
                 "its firmware loader (2047:0200)",
           "replace it: " + std::string(UdevRuleFix));
    } else {
      line(Ok, "udev rule: " + installed);
    }
  }

  // The units on the bus, by port.
  const std::vector<UsbUnit> units = ListUnits();
  if (units.empty()) {
    line(Fail, "units: no encoder (2047:0a3b) and no firmware loader (2047:0200) on the USB bus",
         NoUnitFix);
  } else {
    line(Ok, "units: " + Counted(units, false, "encoder") + "; " +
                 Counted(units, true, "firmware loader"));
  }
  for (const UsbUnit& u : units) {
    if (u.port.empty()) {
      line(Fail, "units: the USB port of " + Printable(u.path) + " cannot be learnt, so no upgrade can "
                 "follow that unit",
           UnknownPortFix);
    } else if (u.inLoader) {
      line(Note, "units: the unit on USB port " + u.port + " waits in its firmware loader",
           "finish its upgrade: ovitone-cli --device " + u.port + " upgrade-firmware FILE");
    }
  }

  // Access: each unit opened as the program opens it.
  std::vector<std::string> denied;
  for (const UsbUnit& u : units) {
    auto lock = LockDevice();
    if (hid_device* device = hid_open_path(u.path.c_str())) {
      hid_close(device);
      continue;
    }
    const std::string error = PrintableText(hid_error(nullptr));
    denied.push_back("the " + std::string(u.inLoader ? "firmware loader" : "encoder") +
                     " on USB port " + (u.port.empty() ? "?" : u.port) +
                     (error.empty() || error == "Success" ? "" : " (" + error + ")"));
  }
  if (units.empty()) {
    line(Note, "access: not checked, no unit is attached");
  } else if (denied.empty()) {
    line(Ok, "access: this user may open every unit");
  } else {
    for (const std::string& unit : denied) {
      line(Fail, "access: this user may not open " + unit, DeniedFix);
    }
  }

  // The RAM loader image an upgrade would send.
  std::string text, source, problem;
  bool missing = false;
  if (FirmwareUpgrader::FindRamLoader(text, source, problem, &missing)) {
    line(Ok, std::string("RAM loader ") + RamLoaderVersion + ": " + source);
  } else {
    line(Fail, "RAM loader: " + Printable(problem),
         (missing ? "" : "replace it. ") + FirmwareUpgrader::RamLoaderAdvice());
  }

  // The per-user folder the configuration file and the recovery records live in.
  std::string why;
  const std::string data = platform::LocalAppDataFolder(why);
  if (data.empty()) {
    line(Fail, "settings folder: " + Printable(why), NoDataFolderFix);
  } else {
    line(Ok, "settings folder: " + Printable(data + platform::PathSeparator() + ConfigFolderName));
  }

  // Settings kept from an upgrade that did not finish, and files that look like records
  // but will never be used.
  const RecoveryScan kept = ScanRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
  if (kept.records.empty() && kept.problems.empty()) {
    line(Ok, "settings recovery: no settings wait to be restored");
  }
  for (const RecoveryRecord& r : kept.records) {
    line(Note, "settings recovery: the settings of serial number " + Printable(r.Serial()) +
                   " (kept " + (r.keptAt.empty() ? std::string("by an earlier version") : r.keptAt) +
                   (r.port.empty() ? std::string() : " on USB port " + Printable(r.port)) +
                   ") wait to be restored",
         "upgrading that unit restores them; if it reports no serial number, add "
         "--restore-from " + Printable(r.Serial()));
  }
  for (const RecordProblem& p : kept.problems) {
    line(Note, "settings recovery: " + Printable(p.file) + " is never used: " + p.problem,
         "look at it, then move it out of the folder or delete it");
  }

  if (failed == 0) {
    out_ << "Everything needed to configure and upgrade the encoder is in place.\n";
    return ExitOk;
  }
  out_ << failed << (failed == 1 ? " check failed" : " checks failed") << "; see the fixes above.\n";
  return ExitNoDevice;
}

}  // namespace

std::string HelpText() {
  return "Usage: ovitone-cli COMMAND [ARGUMENTS]\n"
         "\n"
         "Configures an Orvane Ovitone USB encoder from the command line.\n"
         "\n"
         "Commands:\n"
         "  list [--json]                list every encoder and loader with its USB port\n"
         "  status [--json]              show the encoder's settings\n"
         "  set-led volume|jack LEVEL    set the volume key LEDs or the jack LED (0-9)\n"
         "  set-keypad default|alternate|custom\n"
         "                               choose the code table in use\n"
         "  load-table K1 K2 K3 K4       load the custom code table; each key is\n"
         "                               [MODIFIER:]KEY for Vol Up, Vol Down, Jack IN,\n"
         "                               Jack OUT (KEY: a name such as F13, a, 1, VolumeUp\n"
         "                               or a usage like 0x68; MODIFIER: None, LeftCtrl,\n"
         "                               LeftShift, LeftAlt, LeftGui, RightCtrl, ...)\n"
         "  save-defaults                keep the current settings over power-up\n"
         "  factory-reset                restore the factory settings\n"
         "  apply-config FILE            send the settings saved in a configuration file\n"
         "  export-config FILE [--force] write the encoder's settings to a configuration file\n"
         "  upgrade-firmware FILE        program a TI-TXT firmware image, then restore the\n"
         "                               settings into the unit that proves (by its serial\n"
         "                               number) to be theirs\n"
         "  restore-settings             write the settings kept for the encoder's serial\n"
         "                               number (or --restore-from's) back into it\n"
         "  diagnose                     check this computer: udev rule, access to the\n"
         "                               units, RAM loader image, units on which ports,\n"
         "                               settings waiting to be restored; with fixes\n"
         "\n"
         "Options:\n"
         "  --all                        apply-config, set-led, set-keypad, load-table,\n"
         "                               save-defaults, factory-reset, upgrade-firmware:\n"
         "                               every attached encoder at the same time, a table\n"
         "                               of the results at the end\n"
         "  --device PORT|SERIAL         the unit to use, by USB port (as list shows it)\n"
         "                               or serial number; needed for commands that\n"
         "                               change anything when several are attached\n"
         "  --trace FILE                 write every USB report to and from the units to\n"
         "                               FILE, one line each\n"
         "  --ram-loader FILE            the RAM loader image (TI-TXT, 00.06.05.34) that\n"
         "                               upgrade-firmware sends into a real unit first\n"
         "  --restore-from SERIAL        a unit that reports no serial number after its\n"
         "                               upgrade gets the settings kept for SERIAL\n"
         "  -h, --help                   show this help\n"
         "\n"
         "Exit status: 0 success, 2 bad input, 3 no encoder (or no access to it; for\n"
         "diagnose: something needed is missing), 4 the encoder refused a command or\n"
         "the upgrade failed, 5 upgraded but the unit's own settings were not written\n"
         "back (defaults written, or the unit could not be identified).\n";
}

namespace {

using Handler = int (Session::*)(const std::vector<std::string>&);

const char* ResultText(int exit) {
  switch (exit) {
    case ExitOk: return "done";
    case ExitBadInput: return "bad input, nothing sent";
    case ExitNoDevice: return "not found or no access";
    case ExitNotRestored: return "upgraded, not restored";
    default: return "refused or failed";
  }
}

// One worker per attached unit, all at the same time; each follows its own port
// through its loader and back with a handle, a lock and a loader connection of its own.
// Each unit's lines carry its port; a table of every unit seen ends the run, and the exit
// code is the worst of them. Units waiting in their firmware loader take part in an
// upgrade (their own records decide what is restored); any other command cannot reach
// them, and says so.
int RunForAll(Handler handler, const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const Options& options) {
  EnsureLoaderIds();
  const bool upgrade = handler == &Session::UpgradeFirmware;
  struct Unit {
    std::string port, serial;
    bool inLoader = false;
    int exit = ExitDeviceRefused;
    std::string result;  // instead of ResultText, for a unit not worked on
    double seconds = 0;
  };
  std::vector<Unit> units;
  const std::string folder = FirmwareUpgrader::RecoveryFolder();
  for (const UsbUnit& u : ListUnits()) {
    Unit unit;
    unit.port = u.port;
    unit.inLoader = u.inLoader;
    if (u.port.empty()) {
      unit.exit = ExitNoDevice;
      unit.result = "USB port unknown, not touched";
    } else if (u.inLoader) {
      if (const auto record = RecordLastSeenOn(folder, u.port)) unit.serial = record->Serial();
      if (!upgrade) {
        unit.exit = ExitNoDevice;
        unit.result = "in its loader, not touched";
      }
    }
    units.push_back(std::move(unit));
  }
  if (units.empty()) {
    err << "ovitone-cli: Orvane Ovitone  not connected.. (no encoder 2047:0a3b and no firmware "
           "loader 2047:0200 on the USB bus)\n";
    return ExitNoDevice;
  }
  const auto working = std::count_if(units.begin(), units.end(),
                                     [](const Unit& u) { return u.result.empty(); });
  err << "Working on " << working << (working == 1 ? " unit" : " units") << " at once"
      << (size_t(working) < units.size()
              ? " (" + std::to_string(units.size() - size_t(working)) + " cannot be reached)"
              : std::string())
      << ".\n";

  std::mutex lines;
  Options each = options;
  each.terminal = false;  // one line per step and unit, no bar drawn in place
  std::vector<std::thread> workers;
  for (Unit& unit : units) {
    if (!unit.result.empty()) continue;
    workers.emplace_back([&, handler] {
      const UnitSession session;
      const BSL_UnitSession loader;
      PrefixedLines outLines(out, lines, "[" + Printable(unit.port) + "] ");
      PrefixedLines errLines(err, lines, "[" + Printable(unit.port) + "] ");
      std::ostream unitOut(&outLines), unitErr(&errLines);
      const auto start = std::chrono::steady_clock::now();
      // The serial number for the table, as the unit reports it before the command.
      if (EncoderSettings settings; !unit.inLoader &&
                                    ReopenEncoder(unit.port) == ScanOutcome::Opened &&
                                    ReadEncoderSettings(settings)) {
        unit.serial = SerialNumberText(settings.serialNumber);
      }
      try {
        Session work(unitOut, unitErr, each, unit.port);
        unit.exit = (work.*handler)(args);
      } catch (const std::exception& exception) {
        unitErr << "ovitone-cli: " << exception.what() << "\n";
        unit.exit = ExitDeviceRefused;
      }
      unit.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
  }
  for (std::thread& worker : workers) worker.join();

  out << "PORT        SERIAL NUMBER     RESULT                        TIME\n";
  int exit = ExitOk;
  for (const Unit& unit : units) {
    char line[200];
    std::snprintf(line, sizeof line, "%-11s %-17s %-29s %.1f s\n",
                  unit.port.empty() ? "?" : Printable(unit.port).c_str(),
                  unit.serial.empty() ? "-" : Printable(unit.serial).c_str(),
                  unit.result.empty() ? ResultText(unit.exit) : unit.result.c_str(), unit.seconds);
    out << line;
    exit = std::max(exit, unit.exit);
  }
  return exit;
}

}  // namespace

namespace {

namespace fs = std::filesystem;

// One file by two names: the same file once both exist (hard links, links, case-blind
// file systems), or the same absolute path, folders resolved, while one does not yet.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ea, eb, ec;
  if (fs::exists(a, ea) && fs::exists(b, eb)) return fs::equivalent(a, b, ec) && !ec;
  const fs::path absoluteA = fs::absolute(a, ea).lexically_normal();
  const fs::path absoluteB = fs::absolute(b, eb).lexically_normal();
  if (!ea && !eb && absoluteA == absoluteB) return true;
  const fs::path resolvedA = fs::weakly_canonical(a, ea), resolvedB = fs::weakly_canonical(b, eb);
  return !ea && !eb && resolvedA == resolvedB;
}

// What the --trace file would be to the command when it names one of the command's own
// files ("input (the firmware image)"); empty when it names none of them. The trace
// empties its file first, so such a file would be lost.
std::string TraceClash(const std::string& trace, const std::string& command,
                       const std::vector<std::string>& rest, const std::string& ramLoaderFile) {
  std::vector<std::pair<std::string, const char*>> files;
  if (!ramLoaderFile.empty()) files.emplace_back(ramLoaderFile, "input (the RAM loader image)");
  for (const std::string& arg : rest) {
    if (command == "upgrade-firmware") files.emplace_back(arg, "input (the firmware image)");
    if (command == "apply-config") files.emplace_back(arg, "input (the configuration file to apply)");
    if (command == "export-config" && arg != "--force")
      files.emplace_back(arg, "output (the configuration file it writes)");
  }
  for (const auto& [file, role] : files) {
    if (SameFile(trace, file)) return role;
  }
  return std::string();
}

}  // namespace

int Run(const std::vector<std::string>& allArgs, std::ostream& out, std::ostream& err,
        const Options& options) {
  // The options with a value may stand anywhere, as "--name VALUE" or "--name=VALUE".
  std::vector<std::string> args;
  std::string device, traceFile, ramLoaderFile, restoreFrom;
  const struct {
    std::string name;
    const char* needs;
    std::string* value;
  } valueOptions[] = {{"--device", "a USB port or a serial number", &device},
                      {"--trace", "the name of the file to write the trace to", &traceFile},
                      {"--ram-loader", "the name of a RAM loader image file", &ramLoaderFile},
                      {"--restore-from", "the serial number whose kept settings to restore", &restoreFrom}};
  bool all = false;
  for (size_t i = 0; i < allArgs.size(); ++i) {
    const std::string& arg = allArgs[i];
    if (arg == "--all") {
      all = true;
      continue;
    }
    bool taken = false;
    for (const auto& option : valueOptions) {
      if (arg == option.name) {
        if (i + 1 >= allArgs.size() || allArgs[i + 1].empty()) {
          err << "ovitone-cli: " << option.name << " needs " << option.needs << "\n";
          return ExitBadInput;
        }
        *option.value = allArgs[++i];
        taken = true;
      } else if (arg.rfind(option.name + "=", 0) == 0 && arg.size() > option.name.size() + 1) {
        *option.value = arg.substr(option.name.size() + 1);
        taken = true;
      }
      if (taken) break;
    }
    if (!taken) args.push_back(arg);
  }
  if (args.empty()) {
    err << HelpText();
    return ExitBadInput;
  }
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    out << HelpText();
    return ExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
    out << HelpText();
    return ExitOk;
  }

  static const std::map<std::string, Handler> handlers = {
      {"list", &Session::List},
      {"status", &Session::Status},
      {"set-led", &Session::SetLed},
      {"set-keypad", &Session::SetKeypad},
      {"load-table", &Session::LoadTable},
      {"save-defaults", &Session::SaveDefaults},
      {"factory-reset", &Session::FactoryReset},
      {"apply-config", &Session::ApplyConfig},
      {"export-config", &Session::ExportConfig},
      {"upgrade-firmware", &Session::UpgradeFirmware},
      {"restore-settings", &Session::RestoreSettings},
      {"diagnose", &Session::Diagnose},
  };
  const auto handler = handlers.find(command);
  if (handler == handlers.end()) {
    err << "ovitone-cli: unknown command " << command << " (see ovitone-cli --help)\n";
    return ExitBadInput;
  }
  // Both last for this run only.
  struct RunScope {
    ~RunScope() {
      StopTrace();
      FirmwareUpgrader::SetRamLoaderFile(std::string());
    }
  } scope;
  FirmwareUpgrader::SetRamLoaderFile(ramLoaderFile);
  if (const std::string role =
          traceFile.empty() ? std::string() : TraceClash(traceFile, command, rest, ramLoaderFile);
      !role.empty()) {
    err << "ovitone-cli: --trace " << traceFile << " names the command's own " << role
        << "; choose another file for the trace. Nothing was sent.\n";
    return ExitBadInput;
  }
  if (std::string problem; !traceFile.empty() && !StartTrace(traceFile, problem)) {
    err << "ovitone-cli: cannot write the trace: " << problem << "\n";
    return ExitBadInput;
  }
  const int exit = [&]() -> int {
    if (all) {
      static const std::set<std::string> forAll = {"apply-config", "set-led",       "set-keypad",
                                                    "load-table",   "save-defaults", "factory-reset",
                                                    "upgrade-firmware"};
      if (!forAll.count(command)) {
        err << "ovitone-cli: --all is not for " << command << "\n";
        return ExitBadInput;
      }
      if (!device.empty()) {
        err << "ovitone-cli: --all and --device exclude each other\n";
        return ExitBadInput;
      }
      if (!restoreFrom.empty()) {
        err << "ovitone-cli: --restore-from names one unit's settings; use it with --device, not --all\n";
        return ExitBadInput;
      }
      return RunForAll(handler->second, rest, out, err, options);
    }
    if (!restoreFrom.empty() && command != "upgrade-firmware" && command != "restore-settings") {
      err << "ovitone-cli: --restore-from is for upgrade-firmware and restore-settings\n";
      return ExitBadInput;
    }
    try {
      Session session(out, err, options, device, restoreFrom);
      return (session.*(handler->second))(rest);
    } catch (const std::exception& exception) {
      err << "ovitone-cli: " << exception.what() << "\n";
      return ExitDeviceRefused;
    }
  }();
  // A trace missing lines would mislead whoever reads it: said, and a success is no
  // success then; a failure keeps its own code.
  if (std::string problem; !StopTrace(problem)) {
    err << "ovitone-cli: the trace in " << traceFile << " is incomplete: " << problem
        << ". The lines after that are missing; for a whole trace, make room for it or "
           "choose another file, and run the command again.\n";
    return exit == ExitOk ? ExitBadInput : exit;
  }
  return exit;
}

}  // namespace pellix_usb_encoder::cli
