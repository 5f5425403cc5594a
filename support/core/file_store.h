// How the program writes and reads its small files (the configuration file, its export
// and import, the recovery records):
//
// - A file is replaced whole: the new contents go to a temporary file beside it, which
//   is flushed to disk and renamed over the target, and the folder is flushed too, so
//   after a crash the file holds either the old or the new contents. The new file keeps
//   the old one's permissions.
// - Every file the program writes is its own: a symbolic link at the file's name is
//   refused, never followed, so a link planted there (by another user, or left from some
//   other tool) cannot make the program overwrite or empty the file it points to. Only
//   the last part of the name counts; the folders on the way may be links. Anything else
//   that is not a regular file (a folder, a FIFO, a device) is refused as well.
// - A file the user made read-only is left alone: the write fails. A writable file in a
//   folder the user may not write is rewritten in place instead (there is no other way).
// - Should the process be interrupted (support/core/interrupt.h), the temporary file of a
//   replacement under way is removed.
// - Read-modify-write sequences of several processes take turns through an advisory
//   lock on the file itself (FileLock).
// - On Windows the same promises hold with the system's own means: FlushFileBuffers for
//   the flush, ReplaceFileW (or MoveFileExW with MOVEFILE_WRITE_THROUGH for a new file)
//   for the rename, LockFileEx for the lock, the read-only attribute for the permissions
//   and a reparse point for the link. Every handle the program opens lets others delete
//   or rename the file (FILE_SHARE_DELETE), so that a reader never stops a replacement;
//   a replacement that meets another program's handle tries again for a moment.
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

// Holds an exclusive advisory lock on an existing regular file for its lifetime, so that
// a load-change-save of one process does not interleave with another's. Follows a file
// replaced by rename while waiting, but never a symbolic link. A file that does not exist
// (yet), a link, or anything that cannot be opened is not locked; the write itself then
// decides (and refuses the link).
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
#ifndef _WIN32
  bool Locked() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
#else
  bool Locked() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;  // the locked file's HANDLE
#endif
};

// Replaces the regular file at `path`, or creates it, with `contents` as described above.
// False, with the reason in `problem`, when it could not; the old file is then as it was.
// A symbolic link at `path` is refused (see SymbolicLinkProblem), leaving the link and the
// file it points to untouched. Takes no lock: callers that read first hold a FileLock.
bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         std::string& problem);

// Why a write to `path` was refused because it is a symbolic link, with what to do next.
std::string SymbolicLinkProblem(const std::string& path);

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
  // (a symbolic link, a folder, a FIFO, a device) is refused without blocking and left
  // as it is, as is a file the user may not write. False, with the reason in `problem`.
  bool Open(const std::string& path, std::string& problem);
  // Writes `text` at the end, unbuffered. False when it could not be written whole (part
  // of it may have been); Problem() then says why.
  bool Append(const std::string& text);
  void Close();
  bool IsOpen() const;
  // The system's reason for the last Append that failed, e.g. "No space left on device".
  const std::string& Problem() const { return problem_; }

 private:
  std::string problem_;
#ifndef _WIN32
  int fd_ = -1;
#else
  void* handle_ = nullptr;  // the file's HANDLE
#endif
};

}  // namespace pellix_usb_encoder
