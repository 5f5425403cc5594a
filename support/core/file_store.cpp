#include "support/core/file_store.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/core/interrupt.h"
#include "support/core/temporary_file.h"

namespace pellix_usb_encoder {

namespace fs = std::filesystem;

#ifndef _WIN32
namespace {

std::string SystemError(int error) { return std::strerror(error); }

// What is at `path` itself, a symbolic link not followed.
fs::file_status OwnStatus(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec);
}

bool WriteAll(int fd, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void SyncFolder(const fs::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// The folder cannot take a new file: the file is rewritten where it is. Opened without
// following a link and without blocking, then checked: the name may have been swapped for
// a link or a FIFO since it was looked at.
bool RewriteInPlace(const fs::path& target, const std::string& contents, std::string& problem) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    problem = errno == ELOOP ? SymbolicLinkProblem(target.string())
                             : "cannot write " + target.string() + ": " + SystemError(errno);
    return false;
  }
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd);
    problem = target.string() + " is not a regular file";
    return false;
  }
  const bool written = WriteAll(fd, contents) &&
                       ::ftruncate(fd, static_cast<off_t>(contents.size())) == 0 &&
                       ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written) problem = "cannot write " + target.string() + ": " + SystemError(error);
  return written;
}

}  // namespace

FileLock::FileLock(const std::string& path) {
  const fs::path target(path);
  // A writer that replaces the file by rename leaves a waiting locker holding the old
  // file; it then locks the new one. A link is not opened (O_NOFOLLOW fails on it).
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) return;
    struct stat locked {}, current {};
    if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
      ::close(fd);
      return;
    }
    int result;
    do {
      result = ::flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result == 0 && ::lstat(target.c_str(), &current) == 0 && current.st_dev == locked.st_dev &&
        current.st_ino == locked.st_ino) {
      fd_ = fd;
      return;
    }
    ::close(fd);
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}
#endif  // !_WIN32

std::string SymbolicLinkProblem(const std::string& path) {
  return path + " is a symbolic link, and the program writes only regular files of its own: "
         "it has left the link and the file it points to as they were. Remove the link, or "
         "choose another file name.";
}

#ifndef _WIN32
bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         std::string& problem) {
  const fs::path target(path);
  const fs::file_status old = OwnStatus(target);
  const bool exists = fs::exists(old);
  if (fs::is_symlink(old)) {
    problem = SymbolicLinkProblem(path);
    return false;
  }
  if (exists && !fs::is_regular_file(old)) {
    problem = target.string() + " is not a regular file";
    return false;
  }
  if (exists && ::access(target.c_str(), W_OK) != 0) {
    problem = target.string() + " is read-only";
    return false;
  }
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    if (exists) return RewriteInPlace(target, contents, problem);
    problem = "cannot create " + target.string() + ": the folder is not writable";
    return false;
  }
  // The rename below replaces whatever has the target's name by then: were a link put
  // there meanwhile, the link itself would go, never the file it points to.
  const fs::path temporary = TemporaryBeside(target, ".new");
  TemporaryFileGuard guard(temporary.string());
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    problem = "cannot create a file beside " + target.string() + ": " + SystemError(errno);
    return false;
  }
  // The new file keeps the access rights the old one had.
  bool written = !exists || ::fchmod(fd, static_cast<mode_t>(old.permissions())) == 0;
  written = written && WriteAll(fd, contents) && ::fsync(fd) == 0;
  const int error = errno;
  written = ::close(fd) == 0 && written;
  if (!written) {
    guard.Remove();
    problem = "cannot write " + target.string() + ": " + SystemError(error);
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    problem = "cannot replace " + target.string() + ": " + SystemError(errno);
    guard.Remove();
    return false;
  }
  SyncFolder(folder);
  return true;
}

ReadOutcome ReadSmallFile(const std::string& path, std::uintmax_t maxBytes,
                          std::string& contents, std::string& problem) {
  contents.clear();
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) {
    problem = "cannot open " + path;
    return ReadOutcome::Missing;
  }
  if (!fs::is_regular_file(status)) {
    problem = path + " is not a regular file";
    return ReadOutcome::NotRegular;
  }
  const std::uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > maxBytes) {
    problem = path + " is too large (" + std::to_string(size) + " bytes)";
    return ReadOutcome::TooLarge;
  }
  // Opened without blocking, then checked again: the name may have been swapped for a
  // FIFO since the check above.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    problem = "cannot open " + path + ": " + SystemError(errno);
    return ReadOutcome::Unreadable;
  }
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd);
    problem = path + " is not a regular file";
    return ReadOutcome::NotRegular;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      problem = "cannot read " + path + ": " + SystemError(error);
      return ReadOutcome::Unreadable;
    }
    if (n == 0) break;
    if (contents.size() + static_cast<size_t>(n) > maxBytes) {
      ::close(fd);
      problem = path + " is too large";
      return ReadOutcome::TooLarge;
    }
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ReadOutcome::Ok;
}

namespace {
// Why the log may not be opened at `path`, looked at before opening (so that a FIFO does
// not block and a link is not followed); empty when nothing or a regular file is there.
std::string LogRefusal(const std::string& path) {
  const fs::file_status status = OwnStatus(path);
  if (fs::is_symlink(status)) return SymbolicLinkProblem(path);
  if (fs::exists(status) && !fs::is_regular_file(status)) return path + " is not a regular file";
  return std::string();
}
}  // namespace

bool LogFile::Open(const std::string& path, std::string& problem) {
  Close();
  problem = LogRefusal(path);
  if (!problem.empty()) return false;
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    problem = errno == ELOOP ? SymbolicLinkProblem(path)
                             : "cannot open " + path + ": " + SystemError(errno);
    return false;
  }
  // Checked again on what was opened: the name may have changed in between.
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd);
    problem = path + " is not a regular file";
    return false;
  }
  if (::ftruncate(fd, 0) != 0) {
    const int error = errno;
    ::close(fd);
    problem = "cannot write " + path + ": " + SystemError(error);
    return false;
  }
  fd_ = fd;
  problem_.clear();
  return true;
}

bool LogFile::Append(const std::string& text) {
  if (fd_ < 0) return false;
  errno = 0;
  if (WriteAll(fd_, text)) return true;
  problem_ = errno != 0 ? SystemError(errno) : "the file takes no more data";
  return false;
}

void LogFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool LogFile::IsOpen() const { return fd_ >= 0; }
#endif  // !_WIN32

}  // namespace pellix_usb_encoder
