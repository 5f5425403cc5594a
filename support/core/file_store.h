// How the program writes and reads its small files (the configuration file, its export
// and import, the recovery records):
//
// - A file is replaced whole: the new contents go to a temporary file beside it, which
//   is flushed to disk and renamed over the target, and the folder is flushed too, so
//   after a crash the file holds either the old or the new contents. The new file keeps
//   the old one's permissions.
// - A file the user made read-only is left alone: the write fails. A writable file in a
//   folder the user may not write is rewritten in place instead (there is no other way).
// - Read-modify-write sequences of several processes take turns through an advisory
//   lock on the file itself (FileLock).
// - Reads refuse anything that is not a regular file (a FIFO would block, a device
//   never end) and files larger than the caller allows.
// - A log (LogFile) is the one file written as it goes: it is created or emptied, and
//   each piece appended reaches the file before the call returns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pellix_usb_encoder {

// Configuration files are a few hundred bytes; anything over this is not one.
inline constexpr std::uintmax_t MaxConfigFileBytes = 1024 * 1024;

// Holds an exclusive advisory lock on an existing file for its lifetime, so that a
// load-change-save of one process does not interleave with another's. Follows a file
// replaced by rename while waiting. A file that does not exist (yet) or cannot be
// opened is not locked; the write itself then decides.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Replaces the file at `path` (a symbolic link: the file it points to) with `contents`
// as described above. False, with the reason in `problem`, when it could not; the old
// file is then as it was. Takes no lock: callers that read first hold a FileLock.
bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         std::string& problem);

enum class ReadOutcome { Ok, Missing, NotRegular, TooLarge, Unreadable };

// Reads a whole regular file of at most `maxBytes` bytes without ever blocking on a
// FIFO or reading a device. `problem` says why it was not read.
ReadOutcome ReadSmallFile(const std::string& path, std::uintmax_t maxBytes,
                          std::string& contents, std::string& problem);

// A log written as it goes. Not thread-safe: its owner serialises the appends.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile() { Close(); }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates the file at `path`, or empties the regular file there. Anything else there
  // (a folder, a FIFO, a device) is refused without blocking, as is a file the user may
  // not write. False, with the reason in `problem`.
  bool Open(const std::string& path, std::string& problem);
  // Writes `text` at the end, unbuffered. False when it could not be written whole.
  bool Append(const std::string& text);
  void Close();
  bool IsOpen() const;

 private:
#ifndef _WIN32
  int fd_ = -1;
#else
  std::FILE* file_ = nullptr;
#endif
};

}  // namespace pellix_usb_encoder
