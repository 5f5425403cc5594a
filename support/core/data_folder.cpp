#include "support/core/data_folder.h"

#include <cstdlib>

namespace pellix_usb_encoder {

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

bool Absolute(const std::string& path) {
#ifdef _WIN32
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
#else
  return !path.empty() && path.front() == '/';
#endif
}

// Trailing separators go, but a bare root stays whole.
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\') &&
         !(path.size() == 3 && path[1] == ':')) {
    path.pop_back();
  }
  return path;
}

}  // namespace

std::string UserDataFolder(std::string& problem) {
#ifdef _WIN32
  const std::string local = Variable("LOCALAPPDATA");
  if (Absolute(local)) return WithoutTrailingSeparators(local);
  problem = "the local application data folder (LOCALAPPDATA) is not set, so there is no "
            "folder for this user's settings";
  return {};
#else
#ifndef __APPLE__
  const std::string xdg = Variable("XDG_DATA_HOME");
  if (Absolute(xdg)) return WithoutTrailingSeparators(xdg);
#endif
  const std::string home = Variable("HOME");
  if (!Absolute(home)) {
    problem = home.empty() ? "HOME is not set, so there is no folder for this user's settings; "
                             "set HOME to the user's home folder and start again"
                           : "HOME (" + home + ") is not an absolute path, so there is no "
                             "folder for this user's settings; set HOME to the user's home "
                             "folder and start again";
    return {};
  }
  const std::string base = home == "/" ? std::string() : WithoutTrailingSeparators(home);
#ifdef __APPLE__
  return base + "/Library/Application Support";
#else
  return base + "/.local/share";
#endif
#endif
}

}  // namespace pellix_usb_encoder
