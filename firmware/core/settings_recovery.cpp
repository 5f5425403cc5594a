#include "firmware/core/settings_recovery.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "device/device_text.h"
#include "support/core/file_store.h"
#include "support/core/native_path.h"

namespace pellix_usb_encoder {

namespace {

namespace fs = std::filesystem;

constexpr const char* FilePrefix = "OvitoneRecovery-";
constexpr const char* FileSuffix = ".ini";
constexpr const char* Section = "[recovery]";
// A record is a few hundred bytes; anything much larger is not one of ours.
constexpr std::uintmax_t MaxRecordBytes = 4096;
constexpr int KeypadTypes = 3;
constexpr int BrightnessLevels = 10;

// The keys of a record, each exactly once. Records written before records were named by
// serial number lack "KeptAt" and are named by their port.
const char* const Keys[] = {"SerialNumber",        "Port",              "KeptAt",
                            "FirmwareVersion",     "KeypadLayout",      "VolumeLedBrightness",
                            "JackLedBrightness",   "CodeTableValues"};

// Device texts are kept as hexadecimal, so nothing the encoder reports can break the
// file's lines.
std::string ToHex(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : text) {
    hex += digits[c >> 4];
    hex += digits[c & 0x0F];
  }
  return hex;
}

bool FromHex(const std::string& hex, std::string& text) {
  if (hex.size() % 2 != 0) return false;
  text.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    auto [ptr, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
    if (error != std::errc() || ptr != hex.data() + i + 2) return false;
    text.push_back(static_cast<char>(value));
  }
  return true;
}

bool InRange(const std::string& text, int low, int high, int& value) {
  auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && ptr == text.data() + text.size() &&
         value >= low && value <= high;
}

bool PlainNameChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
         c == '_';
}

// A port names its bus and hub ports ("1-2.3"); nothing else belongs in one.
bool PlausiblePort(const std::string& port) {
  return port.size() <= 64 && std::all_of(port.begin(), port.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == '-' || c == '.';
         });
}

bool PlausibleTime(const std::string& time) {
  // "YYYY-MM-DD HH:MM"
  if (time.size() != 16) return false;
  for (size_t i = 0; i < time.size(); ++i) {
    const char expected = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 ? ':' : '0';
    if (expected == '0' ? !(time[i] >= '0' && time[i] <= '9') : time[i] != expected) return false;
  }
  return true;
}

// A serial number of letters, digits, '-' and '_' names its file as it is; any other
// serial is spelled in hexadecimal after "x".
std::string FileNameOf(const std::string& serial) {
  const bool plain = !serial.empty() && std::all_of(serial.begin(), serial.end(), PlainNameChar);
  return std::string(FilePrefix) + (plain ? serial : "x" + ToHex(serial)) + FileSuffix;
}

// The name an earlier version gave the record of the unit on `port`.
std::string LegacyFileNameOf(const std::string& port) {
  std::string name = FilePrefix;
  for (char c : port) name += (c >= '0' && c <= '9') || c == '-' || c == '.' ? c : '_';
  return name + FileSuffix;
}

std::string Serialise(const RecoveryRecord& record) {
  const EncoderSettings& s = record.settings;
  std::ostringstream out;
  out << Section << "\n"
      << "SerialNumber=" << ToHex(s.serialNumber) << "\n"
      << "Port=" << ToHex(record.port) << "\n"
      << "KeptAt=" << record.keptAt << "\n"
      << "FirmwareVersion=" << ToHex(s.firmwareVersion) << "\n"
      << "KeypadLayout=" << s.keypadType << "\n"
      << "VolumeLedBrightness=" << s.volumeLed << "\n"
      << "JackLedBrightness=" << s.jackLed << "\n"
      << "CodeTableValues=";
  for (size_t i = 0; i < s.table.size(); ++i) out << (i ? "," : "") << int(s.table[i]);
  out << "\n";
  return out.str();
}

// Parses a record; on failure `problem` says what is wrong in words a user can act on.
bool Parse(const std::string& text, const std::string& fileName, RecoveryRecord& record,
           std::string& problem) {
  std::istringstream in(text);
  std::string line;
  std::map<std::string, std::string> values;
  bool section = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (!section) {
      if (line != Section) {
        problem = "it does not start with " + std::string(Section);
        return false;
      }
      section = true;
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      problem = "a line is not KEY=VALUE";
      return false;
    }
    const std::string key = line.substr(0, equals);
    if (std::find(std::begin(Keys), std::end(Keys), key) == std::end(Keys)) {
      problem = "unknown key " + key.substr(0, 40);
      return false;
    }
    if (!values.emplace(key, line.substr(equals + 1)).second) {
      problem = "key " + key + " appears twice";
      return false;
    }
  }
  if (!section) {
    problem = "it is empty";
    return false;
  }
  const bool legacy = values.count("KeptAt") == 0;
  for (const char* key : Keys) {
    if (values.count(key) == 0 && !(legacy && std::string(key) == "KeptAt")) {
      problem = std::string("key ") + key + " is missing";
      return false;
    }
  }
  EncoderSettings& s = record.settings;
  if (!FromHex(values["SerialNumber"], s.serialNumber) || !CanKeepRecord(s.serialNumber)) {
    problem = "SerialNumber is not a serial number a unit can have";
    return false;
  }
  if (!FromHex(values["Port"], record.port) || !PlausiblePort(record.port)) {
    problem = "Port is not a USB port";
    return false;
  }
  record.keptAt = legacy ? std::string() : values["KeptAt"];
  if (!legacy && !PlausibleTime(record.keptAt)) {
    problem = "KeptAt is not a time (YYYY-MM-DD HH:MM)";
    return false;
  }
  if (!FromHex(values["FirmwareVersion"], s.firmwareVersion)) {
    problem = "FirmwareVersion is not hexadecimal text";
    return false;
  }
  const struct {
    const char* key;
    int high;
    int* value;
  } ranges[] = {{"KeypadLayout", KeypadTypes - 1, &s.keypadType},
                {"VolumeLedBrightness", BrightnessLevels - 1, &s.volumeLed},
                {"JackLedBrightness", BrightnessLevels - 1, &s.jackLed}};
  for (const auto& range : ranges) {
    if (!InRange(values[range.key], 0, range.high, *range.value)) {
      problem = std::string(range.key) + " is not a number from 0 to " + std::to_string(range.high);
      return false;
    }
  }
  std::istringstream table(values["CodeTableValues"]);
  std::string item;
  size_t count = 0;
  while (std::getline(table, item, ',')) {
    int value = 0;
    if (count >= s.table.size() || !InRange(item, 0, 255, value)) {
      count = 0;
      break;
    }
    s.table[count++] = static_cast<uint8_t>(value);
  }
  if (count != s.table.size()) {
    problem = "CodeTableValues is not eight numbers from 0 to 255";
    return false;
  }
  // The name must be the one this serial number (or, for an earlier version's record,
  // this port) gives: a renamed record or a copy would otherwise restore the wrong unit
  // or outlive the restore of the right one.
  const std::string expected = legacy ? LegacyFileNameOf(record.port) : FileNameOf(s.serialNumber);
  if (fileName != expected) {
    problem = "its name does not match the serial number inside (a renamed record or a copy; "
              "the record of that unit is " + FileNameOf(s.serialNumber) + ")";
    return false;
  }
  return true;
}

}  // namespace

bool CanKeepRecord(const std::string& serial) { return IsRestorableSerial(serial); }

std::string RecoveryFilePath(const std::string& folder, const std::string& serial) {
  return Utf8Path(NativePath(folder) / FileNameOf(serial));
}

std::string RecordTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

bool SaveRecoveryRecord(const std::string& folder, const RecoveryRecord& record,
                        std::string& problem) {
  if (folder.empty()) {
    problem = "there is no configuration folder";
    return false;
  }
  if (!CanKeepRecord(record.Serial())) {
    problem = "the encoder reports no serial number to keep its settings under";
    return false;
  }
  std::error_code error;
  fs::create_directories(folder, error);
  const std::string path = RecoveryFilePath(folder, record.Serial());
  const FileLock lock(path);
  return WriteFileAtomically(path, Serialise(record), problem);
}

RecoveryScan ScanRecoveryRecords(const std::string& folder) {
  RecoveryScan scan;
  if (folder.empty()) return scan;
  std::error_code error;
  fs::directory_iterator it(NativePath(folder), error);
  if (error) return scan;
  std::vector<fs::path> paths;
  for (const auto& entry : it) {
    if (Utf8Path(entry.path().filename()).rfind(FilePrefix, 0) == 0) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::set<std::string> serials;
  std::vector<RecoveryRecord> legacy;
  for (const fs::path& path : paths) {
    const std::string name = Utf8Path(path.filename());
    std::string contents, problem;
    RecoveryRecord record;
    if (fs::is_symlink(fs::symlink_status(path, error))) {
      problem = "it is a symbolic link, not a record the program wrote";
    } else if (ReadSmallFile(Utf8Path(path), MaxRecordBytes, contents, problem) != ReadOutcome::Ok) {
      // `problem` names the path already.
    } else if (Parse(contents, name, record, problem)) {
      record.file = Utf8Path(path);
      (record.keptAt.empty() ? legacy : scan.records).push_back(std::move(record));
      continue;
    }
    scan.problems.push_back({Utf8Path(path), PrintableDeviceText(problem)});
  }
  for (const RecoveryRecord& r : scan.records) serials.insert(r.Serial());
  // An earlier version's record of a unit that has a record of today's kind is a
  // leftover; of two for one unit neither can be trusted over the other.
  std::map<std::string, int> legacyCount;
  for (const RecoveryRecord& r : legacy) ++legacyCount[r.Serial()];
  for (RecoveryRecord& r : legacy) {
    if (serials.count(r.Serial()) != 0 || legacyCount[r.Serial()] > 1) {
      scan.problems.push_back({r.file, "another record keeps the settings of the same unit"});
    } else {
      scan.records.push_back(std::move(r));
    }
  }
  return scan;
}

std::vector<RecoveryRecord> LoadRecoveryRecords(const std::string& folder) {
  return ScanRecoveryRecords(folder).records;
}

std::optional<RecoveryRecord> FindRecoveryRecord(const std::string& folder,
                                                 const std::string& serial) {
  if (!CanKeepRecord(serial)) return std::nullopt;
  for (RecoveryRecord& record : LoadRecoveryRecords(folder)) {
    if (record.Serial() == serial) return std::move(record);
  }
  return std::nullopt;
}

std::optional<RecoveryRecord> RecordLastSeenOn(const std::string& folder, const std::string& port) {
  if (port.empty()) return std::nullopt;
  std::optional<RecoveryRecord> latest;
  for (RecoveryRecord& record : LoadRecoveryRecords(folder)) {
    if (record.port == port && (!latest || record.keptAt > latest->keptAt)) latest = std::move(record);
  }
  return latest;
}

bool SetAsideDamagedRecord(const std::string& folder, const std::string& serial,
                           std::string& problem) {
  const fs::path path = NativePath(RecoveryFilePath(folder, serial));
  std::error_code error;
  const fs::file_status status = fs::symlink_status(path, error);
  if (!fs::exists(status)) return true;
  // Something planted under the record's name is left alone, and nothing is written.
  if (!fs::is_regular_file(status)) {
    problem = Utf8Path(path) + (fs::is_symlink(status) ? " is a symbolic link" : " is not a regular file") +
              ", not a record this program wrote; remove it";
    return false;
  }
  for (const RecoveryRecord& record : LoadRecoveryRecords(folder)) {
    if (record.file == Utf8Path(path)) return true;  // sound: it is replaced as usual
  }
  fs::path aside = path;
  aside += ".damaged";
  for (int n = 2; fs::exists(fs::symlink_status(aside, error)); ++n) {
    aside = path;
    aside += ".damaged" + std::to_string(n);
  }
  fs::rename(path, aside, error);
  if (error) {
    problem = "cannot move the damaged record " + Utf8Path(path) + " aside: " + error.message();
    return false;
  }
  return true;
}

bool RemoveRecoveryRecord(const std::string& folder, const std::string& serial) {
  const std::optional<RecoveryRecord> record = FindRecoveryRecord(folder, serial);
  if (!record) return true;
  std::error_code error;
  fs::remove(record->file, error);
  return !fs::exists(fs::symlink_status(record->file, error));
}

}  // namespace pellix_usb_encoder
