// CIniFile: the program's INI file store.
//
// The store keeps no state between calls. Every operation is static and takes the
// file's name: it reads the whole file into an ordered list of records, answers from
// that list or changes it, and changing operations write the whole list back. It is
// meant for small files (the configuration file, the firmware upgrade settings). Text
// is 8-bit, names are compared byte for byte and searches take the first match in
// file order.
//
// How a file is read (Load), line by line, each line trimmed of blanks, tabs, CR and
// LF at both ends first (so CR LF files read like LF files); empty lines are skipped:
//
//   - A leading "#" or ";" is a comment mark. It is set aside and the rest trimmed
//     again; the rules below then look at that rest.
//   - Section line: the (rest of the) line starts with "[". The name is what stands
//     between that "[" and the first "]"; text after the "]" is dropped. A section
//     line without "]" makes Load throw std::out_of_range, which is not caught inside
//     the store and so reaches the caller of GetValue, SetValue, SectionExists, ...
//     A "[" anywhere else (" Path=a[b", "# see [notes]") counts as plain text.
//   - Key line: any other line with "=" and at least one character before it. The
//     key is everything before the first "=", the value everything after it; neither
//     is trimmed, so blanks around the "=" stay in the key and the value.
//   - Comment line: a line with a comment mark that is neither of the above. It is
//     kept, trimmed, with its mark and a "\n", in the Comments of the next record.
//   - Any other line ("garbage", "=x") is kept exactly like a comment line, so that
//     writing the file back loses nothing.
//   - Comment lines after the last record are kept in a trailer: a final record whose
//     CommentMark is '\0' and whose Section, Key and Value are empty. Save writes a
//     trailer's Comments and nothing else. Queries and changes never match a
//     trailer; a section appended by SetValue or AddSection goes after it.
//
// How a file is written (Save): for each record its Comments as stored, then its
// CommentMark (a blank for an active line), then "[" Section "]" when Key is empty or
// Key "=" Value otherwise, then "\n" through a text-mode stream. Loading and saving a
// file that Save wrote gives the same bytes. Save replaces the file whole through a
// temporary file flushed to disk (support/core/file_store.h), so the target is either the
// old file or the complete new one, never a half-written mixture; a read-only file is
// left alone. Each changing operation holds an advisory lock on the file from its load
// to its save, so two processes changing the file take turns and lose no update.
// Load reads regular files of at most MaxConfigFileBytes only, and passes over a UTF-8
// byte-order mark at the start.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace pellix_usb_encoder {

class CIniFile {
 public:
  virtual ~CIniFile() = default;

  // One line of the file that is not a comment line, with the comment lines before it.
  struct Record {
    std::string Comments;  // preceding comment lines, each with its mark and a "\n"
    char CommentMark;      // ' ' active line, '#' or ';' commented out, '\0' trailer
    std::string Section;   // section name, or the section a key line lies in
    std::string Key;       // empty for a section record
    std::string Value;     // empty for a section record
  };

  using content = std::vector<Record>;

  // True for a record whose Section equals the given name.
  struct RecordSectionIs {
    std::string section;
    explicit RecordSectionIs(const std::string& section);
    bool operator()(const Record& rec) const;
  };

  // True for a record whose Section and Key equal the given ones.
  struct RecordSectionKeyIs {
    std::string section, key;
    RecordSectionKeyIs(const std::string& section, const std::string& key);
    bool operator()(const Record& rec) const;
  };

  // Reads the file into records. False (records empty) when it cannot be read.
  static bool Load(std::string FileName, content& records);
  // Parses `text`, the contents of the file `FileName`, into records; throws
  // std::out_of_range naming the file and line for a malformed line (records unchanged).
  static void Parse(std::string text, const std::string& FileName, content& records);
  // Writes records over the file. False when the new file could not be completely
  // written; the old file is then left exactly as it was.
  static bool Save(std::string FileName, content records);
  // Save, with the reason for a failure (naming the file) in `problem`.
  static bool Save(std::string FileName, content records, std::string& problem);
  // Creates the file, or empties it.
  static bool Create(std::string FileName);

  // The first record with that section and key, or an empty list.
  static content GetRecord(std::string KeyName, std::string SectionName, std::string FileName);
  // That record's value; empty for a missing key, an empty value or an unreadable file.
  static std::string GetValue(std::string KeyName, std::string SectionName, std::string FileName);
  // True when a record lies in that section, and also when the file cannot be read.
  static bool SectionExists(std::string SectionName, std::string FileName);
  // True when the key exists in that section (commented out or not), and also when
  // the file cannot be read.
  static bool RecordExists(std::string KeyName, std::string SectionName, std::string FileName);

  // Sets the first matching key's value, keeping its comments and comment mark. A new
  // key goes right under the first record of its section; a new section is appended
  // at the end with the key under it. False when the file cannot be read or saved.
  static bool SetValue(std::string KeyName, std::string Value, std::string SectionName,
                       std::string FileName);
  // SetValue for several keys of one section at once: one load and one save, so the
  // file holds either all the new values or none of them.
  static bool SetValues(const std::vector<std::pair<std::string, std::string>>& KeyValues,
                        std::string SectionName, std::string FileName);
  // SetValues that throws nothing: false, with the reason (naming the file) in
  // `problem`, when the file cannot be read, is malformed or cannot be saved.
  static bool SetValues(const std::vector<std::pair<std::string, std::string>>& KeyValues,
                        std::string SectionName, std::string FileName, std::string& problem);
  // Appends a section header at the end, even when the section already exists.
  static bool AddSection(std::string SectionName, std::string FileName);
};

// Removes characters of ChrsToTrim from str: from both ends when TrimDir is 0, from
// the start only when 1, from the end only when 2 (any other TrimDir leaves str as it
// is). A string made only of such characters becomes empty.
void Trim(std::string& str, std::string ChrsToTrim, int TrimDir);

}  // namespace pellix_usb_encoder
