#include "support/core/config_profile.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <filesystem>
#include <system_error>

#include "device/device_text.h"
#include "device/encoder_protocol.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "support/core/config_file.h"
#include "support/core/file_store.h"
#include "support/core/ini_file.h"

namespace pellix_usb_encoder {

namespace {

std::string FileBaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A key's value in section "appSettings" of records already read: the first match, as
// CIniFile::GetValue gives it; empty when the key is missing.
std::string SettingIn(const CIniFile::content& records, const char* key) {
  const auto found = std::find_if(records.begin(), records.end(),
                                  CIniFile::RecordSectionKeyIs(ConfigSection, key));
  return found == records.end() ? std::string() : found->Value;
}

bool PathExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error) || error;  // when in doubt, never overwrite
}

}  // namespace

bool ParseConfigNumber(const std::string& text, int& value) {
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  if (first == std::string::npos) return false;
  const char* begin = text.data() + first;
  const char* end = text.data() + last + 1;
  if (*begin == '+') ++begin;
  if (begin == end) return false;
  auto [ptr, error] = std::from_chars(begin, end, value);
  return error == std::errc() && ptr == end;
}

std::string SerialNumberText(const std::string& serialFromDevice) {
  return serialFromDevice.empty() ? std::string(" No Serial Number") : serialFromDevice;
}

std::string CodeTableText(const std::array<uint8_t, 8>& table) {
  std::string text;
  for (uint8_t value : table) text += std::to_string(value) + ',';
  return text;
}

std::vector<std::pair<std::string, std::string>> ConfigEntries(const EncoderSettings& s) {
  return {{"FirstUp", "Yes"},
          {"KeypadLayout", std::to_string(s.keypadType)},
          {"VolumeLedBrightness", std::to_string(s.volumeLed)},
          {"JackLedBrightness", std::to_string(s.jackLed)},
          {"CodeTableValues", CodeTableText(s.table)},
          {"FirmwareVersion", PrintableDeviceText(s.firmwareVersion)},
          {"SerialNumber", PrintableDeviceText(SerialNumberText(s.serialNumber))}};
}

namespace {

bool CreateIfMissing(const std::string& path, std::string& problem) {
  if (PathExists(path)) return true;
  // One write: the section and the seven keys, each empty, listed as adding them one by
  // one under the section would list them.
  CIniFile::content records{{std::string(), ' ', ConfigSection, std::string(), std::string()}};
  for (const char* key : ConfigKeys) {
    records.insert(records.begin() + 1,
                   CIniFile::Record{std::string(), ' ', ConfigSection, key, std::string()});
  }
  return CIniFile::Save(path, records, problem);
}

}  // namespace

bool CreateConfigFileIfMissing(const std::string& path) {
  std::string problem;
  return CreateIfMissing(path, problem);
}

bool WriteConfigFile(const std::string& path, const EncoderSettings& settings,
                     std::string& problem) {
  if (path.empty()) {
    problem = "there is no file name to write to";
    return false;
  }
  // All seven values in one save: the file never holds a mixture of old and new ones. A
  // malformed file counts as one that cannot be updated; it is left as it is.
  return CreateIfMissing(path, problem) &&
         CIniFile::SetValues(ConfigEntries(settings), ConfigSection, path, problem);
}

ConfigPlanResult ReadConfigPlan(const std::string& path, ConfigPlan& plan, std::string& problem) {
  const std::string name = FileBaseName(path);
  // A FIFO would block the read and a device never end: only a regular file of
  // configuration size is read at all.
  std::string contents, refusal;
  switch (ReadSmallFile(path, MaxConfigFileBytes, contents, refusal)) {
    case ReadOutcome::Ok:
      break;
    case ReadOutcome::Missing:
    case ReadOutcome::Unreadable:
      return ConfigPlanResult::Missing;
    case ReadOutcome::NotRegular:
      problem = name + " is not a regular file; it cannot be a configuration file.";
      return ConfigPlanResult::Malformed;
    case ReadOutcome::TooLarge:
      problem = name + " is larger than 1 MiB; it cannot be a configuration file.";
      return ConfigPlanResult::Malformed;
  }
  // The file is read once; a malformed one is reported up front instead of being taken
  // as empty.
  CIniFile::content records;
  try {
    CIniFile::Parse(std::move(contents), path, records);
  } catch (const std::exception&) {
    problem = "Unable to read " + name + " file.";
    return ConfigPlanResult::Malformed;
  }
  if (SettingIn(records, "FirstUp") != "Yes") return ConfigPlanResult::NotSaved;

  // A value is sent as one byte: one that does not fit would arrive as another value.
  auto number = [&](const char* key, int& value) {
    if (!ParseConfigNumber(SettingIn(records, key), value)) {
      problem = std::string(key) + " in " + name + " is not a number.";
      return false;
    }
    if (value < 0 || value > 255) {
      problem = std::string(key) + " in " + name + " is " + std::to_string(value) +
                ", which does not fit one byte (0 to 255).";
      return false;
    }
    return true;
  };
  int layout = 0, volume = 0, jack = 0;
  if (!number("KeypadLayout", layout)) return ConfigPlanResult::BadValue;
  plan.keypadType = static_cast<uint8_t>(layout);
  plan.sendTable = plan.keypadType == 2 || plan.keypadType == 5 || plan.keypadType == 8;
  plan.table.fill(0);
  if (plan.sendTable) {
    const std::string text = SettingIn(records, "CodeTableValues");
    size_t start = 0;
    for (size_t i = 0; i < plan.table.size(); ++i) {
      const size_t comma = text.find(',', start);
      int value = 0;
      if (start > text.size() ||
          !ParseConfigNumber(text.substr(start, comma == std::string::npos ? std::string::npos
                                                                           : comma - start),
                             value)) {
        problem = "CodeTableValues in " + name + " does not hold eight numbers.";
        return ConfigPlanResult::BadValue;
      }
      if (value < 0 || value > 255) {
        problem = "CodeTableValues in " + name + " holds " + std::to_string(value) +
                  ", which does not fit one byte (0 to 255).";
        return ConfigPlanResult::BadValue;
      }
      plan.table[i] = static_cast<uint8_t>(value);
      start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    }
  }
  if (!number("VolumeLedBrightness", volume)) return ConfigPlanResult::BadValue;
  if (!number("JackLedBrightness", jack)) return ConfigPlanResult::BadValue;
  plan.volumeLed = static_cast<uint8_t>(volume);
  plan.jackLed = static_cast<uint8_t>(jack);
  return ConfigPlanResult::Ready;
}

ApplyStep ApplyConfigPlan(const ConfigPlan& plan) {
  if (SendKeypadType(plan.keypadType) != ResultOk) return ApplyStep::KeypadType;
  if (plan.sendTable && SendKeyTable(plan.table) != ResultOk) return ApplyStep::KeyTable;
  if (SendLedLevel(VolumeLedGroup, plan.volumeLed) != ResultOk) return ApplyStep::VolumeLed;
  if (SendLedLevel(JackLedGroup, plan.jackLed) != ResultOk) return ApplyStep::JackLed;
  return ApplyStep::None;
}

const char* ApplyFailureText(ApplyStep step) {
  switch (step) {
    case ApplyStep::KeypadType: return "Unable to set Keypad Type..";
    case ApplyStep::KeyTable: return "Unable to Load Table..";
    case ApplyStep::VolumeLed: return "Unable to set Volume KeyLED Brightness..";
    case ApplyStep::JackLed: return "Unable to set Jack LED Brightness..";
    case ApplyStep::None: break;
  }
  return "";
}

}  // namespace pellix_usb_encoder
