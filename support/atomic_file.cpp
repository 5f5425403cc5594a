#include "support/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "support/temporary_file.h"

namespace pellix_usb_encoder {

namespace {

#ifndef _WIN32
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

void SyncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}
#endif

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         std::string& problem) {
  const std::filesystem::path target(path);
  const std::filesystem::path temporary = TemporaryBeside(target, ".new");
#ifndef _WIN32
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    problem = "cannot create a file in the folder of " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, contents) && ::fsync(fd) == 0;
  const int savedErrno = errno;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(temporary.c_str());
    problem = "cannot write " + path + ": " + std::strerror(written ? errno : savedErrno);
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    problem = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  SyncFolder(target.parent_path());
  return true;
#else
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << contents;
    out.flush();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      problem = "cannot write " + path;
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    problem = "cannot replace " + path;
    return false;
  }
  return true;
#endif
}

}  // namespace pellix_usb_encoder
