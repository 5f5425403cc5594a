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
#include "device/device_text.h"
#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "device/trace.h"
#include "device/usb_port.h"
#include "loader/bsl430.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/settings_recovery.h"
#include "firmware/service/upgrader.h"
#include "layout_editor/core/key_code_table.h"
#include "support/core/config_file.h"
#include "support/core/config_profile.h"
#include "support/core/file_store.h"
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
  if (FirmwareUpgrader::myVID.isEmpty() || FirmwareUpgrader::myPID.isEmpty()) {
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
  Session(std::ostream& out, std::ostream& err, const Options& options, std::string device)
      : out_(out), err_(err), options_(options), device_(std::move(device)) {}
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
  void PrintStatusText(const EncoderStatus& status);
  void PrintStatusJson(const EncoderStatus& status);

  std::ostream& out_;
  std::ostream& err_;
  Options options_;
  std::string device_;  // --device: a USB port or a serial number; empty: not given
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
    err_ << "  " << (u.port.empty() ? "(unknown port)" : u.port)
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
  if (matches.size() == 1) {
    port = matches.front().port;
    inLoader = false;
    return true;
  }
  if (matches.size() > 1) {
    exit = RefuseAmbiguous(matches, "encoders with that serial number");
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
  const std::vector<RecoveryRecord> pending = LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
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
    const auto record = std::find_if(pending.begin(), pending.end(), [&](const RecoveryRecord& r) {
      return !u.port.empty() && r.port == u.port;
    });
    const bool recovery = record != pending.end();
    if (serial.empty() && recovery) serial = record->settings.serialNumber;
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
                    u.port.empty() ? "?" : u.port.c_str(), state,
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
  const std::filesystem::path target(rest[0]);
  std::error_code error;
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
  // kept or replaced, and one the user made read-only is kept.
  const std::filesystem::path temporary = TemporaryBeside(target, ".export");
  std::string problem;
  const bool written = WriteConfigFile(temporary.string(), settings, problem) &&
                       platform::CopyFileReplacing(temporary.string(), target.string());
  std::filesystem::remove(temporary, error);
  if (!written) return BadInput("Unable to write " + rest[0] + ".");
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

  void Report(int percent, const QString& text) {
    percent = std::clamp(percent, 0, 100);
    QString line = text;
    line.remove(QLatin1Char('\r'));
    const bool hasText = !line.trimmed().isEmpty();
    if (terminal_) {
      if (hasText) {
        err_ << "\r\033[K";
        for (const QString& part : line.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
          err_ << part.toStdString() << "\n";
        }
      }
      const int filled = percent * ProgressBarWidth / 100;
      err_ << "\r[" << std::string(size_t(filled), '#')
           << std::string(size_t(ProgressBarWidth - filled), '-') << "] ";
      char number[8];
      std::snprintf(number, sizeof number, "%3d%%", percent);
      err_ << number << std::flush;
      drawn_ = true;
    } else if (hasText) {
      for (const QString& part : line.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        char number[8];
        std::snprintf(number, sizeof number, "[%3d%%] ", percent);
        err_ << number << part.toStdString() << "\n";
      }
    }
  }

 private:
  std::ostream& err_;
  bool terminal_;
  bool drawn_ = false;
};

int Session::UpgradeFirmware(const std::vector<std::string>& args) {
  if (!WantArgs(args, 1, "upgrade-firmware FILE")) return ExitBadInput;
  // The path goes on as the system's bytes; one that text cannot carry is refused
  // rather than swapped for another file's name.
  const QString path = QFile::decodeName(QByteArray::fromStdString(args[0]));
  if (QFile::encodeName(path).toStdString() != args[0]) {
    return BadInput("The file name " + Printable(args[0]) +
                    " cannot be handed on unchanged; rename the file.");
  }
  // A file the loader could not use is refused before the encoder hears anything.
  QString problem;
  if (!FirmwareUpgrader::CheckFirmwareFile(path, problem)) return BadInput(problem.toStdString());
  if (FirmwareUpgrader::RealUnits()) {
    std::string text, source, why;
    FirmwareUpgrader::FindRamLoader(text, source, why);
    err_ << "RAM loader " << RamLoaderVersion << ": " << source << ".\n";
  }
  EnsureLoaderIds();

  // Which unit: --device, else the only encoder, else the only unit in its loader.
  UpgradeUnit unit;
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

  if (!inLoader) {
    if (const int opened = Open(true); opened != ExitOk) return opened;
    unit.settingsKnown = ReadEncoderSettings(unit.settings);
    if (unit.settingsKnown) {
      err_ << "Encoder found on USB port " << port_ << ": firmware "
           << Printable(unit.settings.firmwareVersion) << ", serial number "
           << Printable(SerialNumberText(unit.settings.serialNumber)) << ".\n";
    }
    // Its port and its settings are made safe before it leaves for its loader.
    if (!FirmwareUpgrader::PrepareUnit(unit, problem)) return Refused(problem.toStdString());
    if (unit.fromRecovery) {
      err_ << "Settings kept before an earlier upgrade of this unit will be restored.\n";
    } else if (!unit.settingsKnown) {
      err_ << "ovitone-cli: Unable to get device status information; the default settings "
              "will be written after the upgrade.\n";
    }
    // The encoder may drop off the bus before its answer arrives; the loader's
    // appearance on its port is what counts.
    SendEnterFirmwareUpgrade();
    CloseEncoder();
  } else {
    err_ << "The unit on USB port " << unit.port << " is already in its firmware loader.\n";
  }

  int waited = 0;
  while (FirmwareUpgrader::LoadersOnPort(unit.port) == 0) {
    if (waited >= options_.loaderWaitMs) {
      err_ << "ovitone-cli: The encoder's firmware loader (2047:0200) did not appear on USB "
              "port "
           << unit.port << ".\n";
      return ExitNoDevice;
    }
    platform::SleepMs(LoaderPollMs);
    waited += LoaderPollMs;
  }

  FirmwareUpgrader upgrader;
  BackgroundWorker worker;
  ProgressPrinter printer(err_, options_.terminal);
  QObject::connect(&worker, &BackgroundWorker::ProgressChanged, &worker,
                   [&printer](int percent, const QString& text) { printer.Report(percent, text); },
                   Qt::DirectConnection);
  BackgroundWorker::DoWorkEventArgs e;
  upgrader.unit = unit;
  upgrader.RunUpgrade(path, worker, e);
  const bool kept = FindRecoveryRecord(FirmwareUpgrader::RecoveryFolder(), upgrader.unit.port,
                                       std::string())
                        .has_value();
  const std::string keptNote =
      kept ? " The unit's settings are kept safe; the next upgrade will restore them." : "";
  if (!e.Result.toBool()) {
    printer.Finish();
    return Refused("The firmware upgrade failed. The encoder stays in its loader; run "
                   "upgrade-firmware again." + keptNote);
  }
  printer.Report(100, QStringLiteral("Restoring the settings"));
  QString failure;
  const FirmwareUpgrader::RestoreOutcome restored =
      FirmwareUpgrader::RestoreEncoderSettings(upgrader.unit, failure);
  printer.Finish();
  switch (restored) {
    case FirmwareUpgrader::RestoreOutcome::Done:
      break;
    case FirmwareUpgrader::RestoreOutcome::NotConnected:
      err_ << "ovitone-cli: The firmware was programmed, but the encoder did not come back "
              "to restore its settings."
           << keptNote << "\n";
      return ExitNoDevice;
    case FirmwareUpgrader::RestoreOutcome::CommandFailed:
      return Refused("The firmware was programmed, but restoring the settings failed: " +
                     failure.toStdString() + "." + keptNote);
  }
  EncoderStatus after;
  if (ReadEncoderStatus(after)) {
    out_ << "Firmware upgraded to " << Printable(after.firmwareVersion) << "; settings restored.\n";
  } else {
    out_ << "Firmware upgraded; settings restored.\n";
  }
  return ExitOk;
}

// ---------------------------------------------------------------------------------------
// diagnose

const char* const UdevRuleName = "70-ovitone-hid.rules";
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
    line(Ok, "udev rule: not needed on this system");
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
         "plug the encoder in; if lsusb -d 2047: lists nothing either, try another cable or port");
  } else {
    line(Ok, "units: " + Counted(units, false, "encoder") + "; " +
                 Counted(units, true, "firmware loader"));
  }
  for (const UsbUnit& u : units) {
    if (u.port.empty()) {
      line(Fail, "units: the USB port of " + Printable(u.path) + " cannot be learnt, so no upgrade can "
                 "follow that unit",
           "the port is read from /sys/class/hidraw; run the program where /sys is available");
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
      line(Fail, "access: this user may not open " + unit,
           "install the udev rule and replug the unit; to work over SSH or from a service, "
           "also give a group access (README: Groups)");
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
    line(Fail, "settings folder: " + Printable(why),
         "set HOME to this user's home folder, as an absolute path (HOME=/home/NAME)");
  } else {
    line(Ok, "settings folder: " + Printable(data + platform::PathSeparator() + ConfigFolderName));
  }

  // Settings kept from an upgrade that did not finish.
  const std::vector<RecoveryRecord> pending = LoadRecoveryRecords(FirmwareUpgrader::RecoveryFolder());
  if (pending.empty()) line(Ok, "settings recovery: no settings wait to be restored");
  for (const RecoveryRecord& r : pending) {
    line(Note, "settings recovery: the settings of the unit on USB port " + Printable(r.port) +
                   " (serial number " + Printable(SerialNumberText(r.settings.serialNumber)) +
                   ") are kept from an upgrade that did not finish",
         "ovitone-cli --device " + Printable(r.port) + " upgrade-firmware FILE finishes it and restores them");
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
         "                               settings\n"
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
         "  -h, --help                   show this help\n"
         "\n"
         "Exit status: 0 success, 2 bad input, 3 no encoder (or no access to it; for\n"
         "diagnose: something needed is missing), 4 the encoder refused a command or\n"
         "the upgrade failed.\n";
}

namespace {

using Handler = int (Session::*)(const std::vector<std::string>&);

const char* ResultText(int exit) {
  switch (exit) {
    case ExitOk: return "done";
    case ExitBadInput: return "bad input, nothing sent";
    case ExitNoDevice: return "not found or no access";
    default: return "refused or failed";
  }
}

// One worker per attached encoder, all at the same time; each follows its own port
// through its loader and back with a handle, a lock and a loader connection of its own.
// Each unit's lines carry its port; a table of the results ends the run.
int RunForAll(Handler handler, const std::vector<std::string>& args, std::ostream& out,
              std::ostream& err, const Options& options) {
  EnsureLoaderIds();
  struct Unit {
    std::string port, serial;
    int exit = ExitDeviceRefused;
    double seconds = 0;
  };
  std::vector<Unit> units;
  for (const UsbUnit& u : ListUnits()) {
    if (!u.inLoader && !u.port.empty()) units.push_back(Unit{u.port, {}});
  }
  if (units.empty()) {
    err << "ovitone-cli: Orvane Ovitone  not connected.. (no encoder 2047:0a3b on the USB bus)\n";
    return ExitNoDevice;
  }
  err << "Working on " << units.size() << (units.size() == 1 ? " encoder" : " encoders")
      << " at once.\n";

  std::mutex lines;
  Options each = options;
  each.terminal = false;  // one line per step and unit, no bar drawn in place
  std::vector<std::thread> workers;
  for (Unit& unit : units) {
    workers.emplace_back([&, handler] {
      const UnitSession session;
      const BSL_UnitSession loader;
      PrefixedLines outLines(out, lines, "[" + unit.port + "] ");
      PrefixedLines errLines(err, lines, "[" + unit.port + "] ");
      std::ostream unitOut(&outLines), unitErr(&errLines);
      const auto start = std::chrono::steady_clock::now();
      // The serial number for the table, as the unit reports it before the command.
      if (EncoderSettings settings;
          ReopenEncoder(unit.port) == ScanOutcome::Opened && ReadEncoderSettings(settings)) {
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

  out << "PORT        SERIAL NUMBER     RESULT                   TIME\n";
  int exit = ExitOk;
  for (const Unit& unit : units) {
    char line[160];
    std::snprintf(line, sizeof line, "%-11s %-17s %-24s %.1f s\n", unit.port.c_str(),
                  unit.serial.empty() ? "-" : unit.serial.c_str(), ResultText(unit.exit),
                  unit.seconds);
    out << line;
    exit = std::max(exit, unit.exit);
  }
  return exit;
}

}  // namespace

int Run(const std::vector<std::string>& allArgs, std::ostream& out, std::ostream& err,
        const Options& options) {
  // The options with a value may stand anywhere, as "--name VALUE" or "--name=VALUE".
  std::vector<std::string> args;
  std::string device, traceFile, ramLoaderFile;
  const struct {
    std::string name;
    const char* needs;
    std::string* value;
  } valueOptions[] = {{"--device", "a USB port or a serial number", &device},
                      {"--trace", "the name of the file to write the trace to", &traceFile},
                      {"--ram-loader", "the name of a RAM loader image file", &ramLoaderFile}};
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
  if (std::string problem; !traceFile.empty() && !StartTrace(traceFile, problem)) {
    err << "ovitone-cli: cannot write the trace: " << problem << "\n";
    return ExitBadInput;
  }
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
    return RunForAll(handler->second, rest, out, err, options);
  }
  try {
    Session session(out, err, options, device);
    return (session.*(handler->second))(rest);
  } catch (const std::exception& exception) {
    err << "ovitone-cli: " << exception.what() << "\n";
    return ExitDeviceRefused;
  }
}

}  // namespace pellix_usb_encoder::cli
