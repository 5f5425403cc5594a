#include "firmware/core/settings_recovery.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "support/core/file_store.h"

namespace pellix_usb_encoder {

namespace {

constexpr const char* FilePrefix = "OvitoneRecovery-";
constexpr const char* FileSuffix = ".ini";
constexpr const char* Section = "[recovery]";
// A record is a few hundred bytes; anything much larger is not one of ours.
constexpr std::uintmax_t MaxRecordBytes = 4096;

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

bool ToByte(const std::string& text, int& value) {
  auto [ptr, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && ptr == text.data() + text.size() && value >= 0 && value <= 255;
}

// A port name keeps to digits, '-' and '.'; anything else becomes '_' in a file name.
std::string FileNameOf(const std::string& port) {
  std::string name = FilePrefix;
  for (char c : port) {
    const bool plain = (c >= '0' && c <= '9') || c == '-' || c == '.';
    name += plain ? c : '_';
  }
  return name + FileSuffix;
}

std::string Serialise(const RecoveryRecord& record) {
  const EncoderSettings& s = record.settings;
  std::ostringstream out;
  out << Section << "\n"
      << "Port=" << ToHex(record.port) << "\n"
      << "SerialNumber=" << ToHex(s.serialNumber) << "\n"
      << "FirmwareVersion=" << ToHex(s.firmwareVersion) << "\n"
      << "KeypadLayout=" << s.keypadType << "\n"
      << "VolumeLedBrightness=" << s.volumeLed << "\n"
      << "JackLedBrightness=" << s.jackLed << "\n"
      << "CodeTableValues=";
  for (size_t i = 0; i < s.table.size(); ++i) out << (i ? "," : "") << int(s.table[i]);
  out << "\n";
  return out.str();
}

bool Parse(const std::string& text, RecoveryRecord& record) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != Section) return false;
  std::map<std::string, std::string> values;
  while (std::getline(in, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  EncoderSettings& s = record.settings;
  if (!FromHex(values["Port"], record.port) || record.port.empty() ||
      !FromHex(values["SerialNumber"], s.serialNumber) ||
      !FromHex(values["FirmwareVersion"], s.firmwareVersion) ||
      !ToByte(values["KeypadLayout"], s.keypadType) ||
      !ToByte(values["VolumeLedBrightness"], s.volumeLed) ||
      !ToByte(values["JackLedBrightness"], s.jackLed)) {
    return false;
  }
  std::istringstream table(values["CodeTableValues"]);
  std::string item;
  size_t count = 0;
  while (std::getline(table, item, ',')) {
    int value = 0;
    if (count >= s.table.size() || !ToByte(item, value)) return false;
    s.table[count++] = static_cast<uint8_t>(value);
  }
  return count == s.table.size();
}

bool ReadRecord(const std::filesystem::path& path, RecoveryRecord& record) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error) ||
      std::filesystem::file_size(path, error) > MaxRecordBytes || error) {
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return in.good() || in.eof() ? Parse(contents.str(), record) : false;
}

}  // namespace

std::string RecoveryFilePath(const std::string& folder, const std::string& port) {
  return (std::filesystem::path(folder) / FileNameOf(port)).string();
}

bool SaveRecoveryRecord(const std::string& folder, const RecoveryRecord& record,
                        std::string& problem) {
  if (folder.empty()) {
    problem = "there is no configuration folder";
    return false;
  }
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return WriteFileAtomically(RecoveryFilePath(folder, record.port), Serialise(record), problem);
}

std::vector<RecoveryRecord> LoadRecoveryRecords(const std::string& folder) {
  std::vector<RecoveryRecord> records;
  std::error_code error;
  if (folder.empty()) return records;
  std::filesystem::directory_iterator it(folder, error);
  if (error) return records;
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : it) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(FilePrefix, 0) == 0 && name.size() > std::string(FileSuffix).size() &&
        name.compare(name.size() - 4, 4, FileSuffix) == 0) {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) {
    RecoveryRecord record;
    if (ReadRecord(path, record)) records.push_back(std::move(record));
  }
  return records;
}

std::optional<RecoveryRecord> FindRecoveryRecord(const std::string& folder, const std::string& port,
                                                 const std::string& serial) {
  const std::vector<RecoveryRecord> records = LoadRecoveryRecords(folder);
  if (!port.empty()) {
    for (const auto& record : records) {
      if (record.port == port) return record;
    }
  }
  if (!IsRestorableSerial(serial)) return std::nullopt;
  std::optional<RecoveryRecord> match;
  for (const auto& record : records) {
    if (record.settings.serialNumber != serial) continue;
    if (match) return std::nullopt;  // two units claim it: not sure which
    match = record;
  }
  return match;
}

bool RemoveRecoveryRecord(const std::string& folder, const RecoveryRecord& record) {
  std::error_code error;
  std::filesystem::remove(RecoveryFilePath(folder, record.port), error);
  return !std::filesystem::exists(RecoveryFilePath(folder, record.port), error);
}

}  // namespace pellix_usb_encoder
