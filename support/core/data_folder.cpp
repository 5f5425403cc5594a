#include "support/core/data_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <mutex>
#include <optional>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>

#include "support/core/native_path.h"
#endif

namespace pellix_usb_encoder {

namespace {

std::mutex overrideMutex;
std::optional<std::string>& Override() {
  static std::optional<std::string> folder;
  return folder;
}

[[maybe_unused]] std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

[[maybe_unused]] bool Absolute(const std::string& path) {
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

std::string ProgramFolder() {
#ifdef _WIN32
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return {};
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    name.resize(name.size() * 2);  // cut short: a longer buffer
  }
  const size_t cut = name.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::string() : Utf8FromWide(name.substr(0, cut));
#elif defined(__linux__)
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : program.parent_path().string();
#else
  return {};
#endif
}

void SetUserDataFolderForTests(std::optional<std::string> folder) {
  const std::lock_guard<std::mutex> lock(overrideMutex);
  Override() = std::move(folder);
}

std::string UserDataFolder(std::string& problem) {
  {
    const std::lock_guard<std::mutex> lock(overrideMutex);
    if (Override()) return *Override();
  }
#ifdef _WIN32
  // The shell's answer, in its wide form: the narrow one spells the folder in the ANSI
  // code page, which cannot hold every user name.
  wchar_t folder[MAX_PATH] = {};
  const HRESULT result =
      SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, folder);
  const std::string local = SUCCEEDED(result) ? Utf8FromWide(folder) : std::string();
  if (Absolute(local) || (local.size() > 2 && local[0] == '\\' && local[1] == '\\')) {
    return WithoutTrailingSeparators(local);
  }
  problem = "Windows names no local application data folder for this user, so there is no "
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
