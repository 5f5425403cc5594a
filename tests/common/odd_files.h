// Files that are not plain files, for the tests that check they are refused: a FIFO (on
// Windows a named pipe) that nobody writes to, so opening or reading it would block, and
// a device that never ends.
#pragma once

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace pellix_usb_encoder::test {

// Makes the FIFO and returns its name: `posixPath` itself, or on Windows a pipe named
// after it ("\\.\pipe\ovitone-test-<process>-<last part of posixPath>"), which lives as
// long as the test program. Empty when it could not be made.
inline std::string MakeFifo(const std::string& posixPath) {
#ifdef _WIN32
  const std::string name = "\\\\.\\pipe\\ovitone-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                           posixPath.substr(posixPath.find_last_of("/\\") + 1);
  const HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                       PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr);
  return pipe == INVALID_HANDLE_VALUE ? std::string() : name;
#else
  return mkfifo(posixPath.c_str(), 0600) == 0 ? posixPath : std::string();
#endif
}

// A device that reads without end.
inline const char* EndlessDevice() {
#ifdef _WIN32
  return "NUL";
#else
  return "/dev/zero";
#endif
}

}  // namespace pellix_usb_encoder::test
