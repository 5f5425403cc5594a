#include "support/core/ini_file.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "support/core/file_store.h"

namespace pellix_usb_encoder {

namespace {

namespace fs = std::filesystem;

// What Load trims from each line, and from the text after a comment mark.
const std::string LineBlanks = " \t\n\r";

bool IsCommentMark(char c) { return c == '#' || c == ';'; }

// A trailer holds the comment lines after the last record; it answers no query.
bool IsTrailer(const CIniFile::Record& rec) { return rec.CommentMark == '\0'; }

// First record that is not a trailer and satisfies pred.
template <typename Pred>
CIniFile::content::iterator FindRecord(CIniFile::content& records, Pred pred) {
  return std::find_if(records.begin(), records.end(),
                      [&](const CIniFile::Record& rec) { return !IsTrailer(rec) && pred(rec); });
}

CIniFile::Record SectionRecord(std::string section) {
  return {std::string(), ' ', std::move(section), std::string(), std::string()};
}

CIniFile::Record KeyRecord(std::string section, std::string key, std::string value) {
  return {std::string(), ' ', std::move(section), std::move(key), std::move(value)};
}

// Writes the records over the file; the caller holds the file's lock when it read first.
bool SaveRecords(const std::string& FileName, const CIniFile::content& records,
                 std::string& problem);

void WriteRecord(std::ostream& out, const CIniFile::Record& rec) {
  out << rec.Comments;
  if (IsTrailer(rec)) return;
  out << rec.CommentMark;
  if (rec.Key.empty())
    out << '[' << rec.Section << ']';
  else
    out << rec.Key << '=' << rec.Value;
  out << '\n';
}

bool SaveRecords(const std::string& FileName, const CIniFile::content& records,
                 std::string& problem) {
  std::ostringstream out;
  for (const CIniFile::Record& rec : records) WriteRecord(out, rec);
  return WriteFileAtomically(FileName, out.str(), problem);
}

bool SaveRecords(const std::string& FileName, const CIniFile::content& records) {
  std::string problem;
  return SaveRecords(FileName, records, problem);
}

// Load with the reason why the file could not be read; throws for a malformed file.
bool LoadRecords(const std::string& FileName, CIniFile::content& records, std::string& problem) {
  records.clear();
  std::string text;
  if (ReadSmallFile(FileName, MaxConfigFileBytes, text, problem) != ReadOutcome::Ok) return false;
  CIniFile::Parse(std::move(text), FileName, records);
  return true;
}

// Sets the keys' values in records already loaded, as SetValues describes.
void ChangeValues(CIniFile::content& records,
                  const std::vector<std::pair<std::string, std::string>>& KeyValues,
                  const std::string& SectionName) {
  for (const auto& [key, value] : KeyValues) {
    const auto sectionStart = FindRecord(records, CIniFile::RecordSectionIs(SectionName));
    if (sectionStart == records.end()) {
      records.push_back(SectionRecord(SectionName));
      records.push_back(KeyRecord(SectionName, key, value));
      continue;
    }
    const auto rec = FindRecord(records, CIniFile::RecordSectionKeyIs(SectionName, key));
    if (rec == records.end())
      records.insert(sectionStart + 1, KeyRecord(SectionName, key, value));
    else
      rec->Value = value;
  }
}

}  // namespace

void Trim(std::string& str, std::string ChrsToTrim, int TrimDir) {
  if (TrimDir != 0 && TrimDir != 1 && TrimDir != 2) return;
  const std::size_t first = str.find_first_not_of(ChrsToTrim);
  if (first == std::string::npos) {
    str.clear();
    return;
  }
  if (TrimDir != 1) str.erase(str.find_last_not_of(ChrsToTrim) + 1);
  if (TrimDir != 2) str.erase(0, first);
}

CIniFile::RecordSectionIs::RecordSectionIs(const std::string& section) : section(section) {}

bool CIniFile::RecordSectionIs::operator()(const Record& rec) const { return rec.Section == section; }

CIniFile::RecordSectionKeyIs::RecordSectionKeyIs(const std::string& section, const std::string& key)
    : section(section), key(key) {}

bool CIniFile::RecordSectionKeyIs::operator()(const Record& rec) const {
  return rec.Section == section && rec.Key == key;
}

bool CIniFile::Load(std::string FileName, content& records) {
  std::string problem;
  return LoadRecords(FileName, records, problem);
}

void CIniFile::Parse(std::string text, const std::string& FileName, content& records) {
  // A byte-order mark, as some editors write one, is not part of the first line.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::istringstream in(text);

  // Built aside so that a malformed file leaves records empty.
  content loaded;
  std::string pending;  // comment lines waiting for the record they stand before
  std::string section;  // the section the following key lines lie in
  std::string line;
  std::size_t lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    Trim(line, LineBlanks, 0);
    if (line.empty()) continue;

    char mark = ' ';
    std::string body = line;
    if (IsCommentMark(line[0])) {
      mark = line[0];
      body.erase(0, 1);
      Trim(body, LineBlanks, 0);
    }

    if (!body.empty() && body[0] == '[') {
      const std::size_t close = body.find(']');
      if (close == std::string::npos)
        throw std::out_of_range("INI file " + FileName + ", line " + std::to_string(lineNumber) +
                                ": section name without ']'");
      section = body.substr(1, close - 1);
      loaded.push_back({std::exchange(pending, std::string()), mark, section, std::string(),
                        std::string()});
      continue;
    }

    // A record with an empty key would be a section record, so "=x" cannot be a key
    // line; like every other line that is neither, it is kept as comment text.
    const std::size_t equals = body.find('=');
    if (equals != std::string::npos && equals > 0) {
      loaded.push_back({std::exchange(pending, std::string()), mark, section, body.substr(0, equals),
                        body.substr(equals + 1)});
      continue;
    }

    pending += line;
    pending += '\n';
  }
  if (!pending.empty())
    loaded.push_back({std::move(pending), '\0', std::string(), std::string(), std::string()});
  records = std::move(loaded);
}

bool CIniFile::Save(std::string FileName, content records) {
  const FileLock lock(FileName);
  return SaveRecords(FileName, records);
}

bool CIniFile::Save(std::string FileName, content records, std::string& problem) {
  const FileLock lock(FileName);
  return SaveRecords(FileName, records, problem);
}

bool CIniFile::Create(std::string FileName) { return Save(std::move(FileName), content()); }

CIniFile::content CIniFile::GetRecord(std::string KeyName, std::string SectionName,
                                      std::string FileName) {
  content records, found;
  if (!Load(std::move(FileName), records)) return found;
  const auto rec = FindRecord(records, RecordSectionKeyIs(SectionName, KeyName));
  if (rec != records.end()) found.push_back(std::move(*rec));
  return found;
}

std::string CIniFile::GetValue(std::string KeyName, std::string SectionName, std::string FileName) {
  content found = GetRecord(std::move(KeyName), std::move(SectionName), std::move(FileName));
  return found.empty() ? std::string() : std::move(found.front().Value);
}

bool CIniFile::SectionExists(std::string SectionName, std::string FileName) {
  content records;
  if (!Load(std::move(FileName), records)) return true;
  return FindRecord(records, RecordSectionIs(SectionName)) != records.end();
}

bool CIniFile::RecordExists(std::string KeyName, std::string SectionName, std::string FileName) {
  content records;
  if (!Load(std::move(FileName), records)) return true;
  return FindRecord(records, RecordSectionKeyIs(SectionName, KeyName)) != records.end();
}

bool CIniFile::SetValue(std::string KeyName, std::string Value, std::string SectionName,
                        std::string FileName) {
  return SetValues({{std::move(KeyName), std::move(Value)}}, std::move(SectionName),
                   std::move(FileName));
}

bool CIniFile::SetValues(const std::vector<std::pair<std::string, std::string>>& KeyValues,
                         std::string SectionName, std::string FileName) {
  // Load to save under one lock: another process's change cannot fall in between.
  const FileLock lock(FileName);
  content records;
  if (!Load(FileName, records)) return false;
  ChangeValues(records, KeyValues, SectionName);
  return SaveRecords(FileName, records);
}

bool CIniFile::SetValues(const std::vector<std::pair<std::string, std::string>>& KeyValues,
                         std::string SectionName, std::string FileName, std::string& problem) {
  const FileLock lock(FileName);
  content records;
  try {
    if (!LoadRecords(FileName, records, problem)) return false;
  } catch (const std::exception& malformed) {
    problem = malformed.what();
    return false;
  }
  ChangeValues(records, KeyValues, SectionName);
  return SaveRecords(FileName, records, problem);
}

bool CIniFile::AddSection(std::string SectionName, std::string FileName) {
  const FileLock lock(FileName);
  content records;
  if (!Load(FileName, records)) return false;
  records.push_back(SectionRecord(std::move(SectionName)));
  return SaveRecords(FileName, records);
}

}  // namespace pellix_usb_encoder
