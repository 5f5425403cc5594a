// The file store on Windows: the promises of file_store.h kept with Win32 calls on wide
// names. Names arrive as UTF-8 and are converted once, at the call.
#ifdef _WIN32

#include "support/core/file_store.h"

#include <windows.h>

#include <algorithm>
#include <string>

#include "support/core/interrupt.h"
#include "support/core/native_path.h"
#include "support/core/temporary_file.h"

namespace pellix_usb_encoder {

namespace {

// Every handle lets others read, write, rename and delete the file meanwhile: a reader of
// ours must never be the reason another process cannot replace the file.
constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A replacement that meets a handle another program holds without FILE_SHARE_DELETE (an
// editor, a virus scanner, the search indexer) tries again for up to about a second.
constexpr int ReplaceAttempts = 40;
constexpr DWORD ReplacePauseMs = 25;

std::string SystemError(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text),
      0, nullptr);
  std::string message = length > 0 ? Utf8FromWide(std::wstring(text, length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "system error " + std::to_string(error) : message;
}

bool Transient(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
}

// What is at a name itself, a reparse point (a symbolic link, a junction) not followed.
struct Entry {
  bool exists = false;
  DWORD attributes = 0;
  bool Link() const { return exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
  bool Folder() const { return exists && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  bool ReadOnly() const { return exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0; }
};

Entry Look(const std::wstring& name) {
  Entry entry;
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    entry.exists = true;
    entry.attributes = attributes;
  }
  return entry;
}

// Why nothing may be written at a name with this entry: a link is never followed, and a
// folder is no file. Empty when a file may be written there.
std::string WriteRefusal(const Entry& entry, const std::string& path) {
  if (entry.Link()) return SymbolicLinkProblem(path);
  if (entry.Folder()) return path + " is not a regular file";
  return std::string();
}

// Opens the file at `name` itself (never what a reparse point leads to) and checks that it
// is a plain file on a disk: not a folder, a pipe, a console or another device.
HANDLE OpenOwnFile(const std::wstring& name, DWORD access, DWORD disposition, DWORD* error) {
  HANDLE file = CreateFileW(name.c_str(), access, ShareAll, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // A pipe with every instance taken is no more a file than a free one.
    if (error != nullptr) *error = GetLastError() == ERROR_PIPE_BUSY ? ERROR_INVALID_NAME : GetLastError();
    return INVALID_HANDLE_VALUE;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(file);
    if (error != nullptr) *error = ERROR_INVALID_NAME;
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION one{}, other{};
  return GetFileInformationByHandle(a, &one) && GetFileInformationByHandle(b, &other) &&
         one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
         one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

bool WriteAll(HANDLE file, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

// Puts the finished temporary file in the target's place. First by one rename over the
// target (MoveFileExW, written through): atomic, like POSIX rename, so a reader or a
// locker sees the old file or the new one, never none. Where Windows refuses that because
// another handle has the old file open, ReplaceFileW does it in steps: the old file goes
// to a backup name first, which is allowed while it is open with FILE_SHARE_DELETE (a
// waiting FileLock), and the backup is deleted afterwards.
bool PutInPlace(const std::wstring& temporary, const std::wstring& target, bool exists,
                DWORD* error) {
  const std::wstring backup = TemporaryBeside(target, ".old").wstring();
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExW(temporary.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    *error = GetLastError();
    if (exists && Transient(*error) &&
        ReplaceFileW(target.c_str(), temporary.c_str(), backup.c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                     nullptr)) {
      DeleteFileW(backup.c_str());  // still open elsewhere: gone once closed
      return true;
    }
    if (exists && Transient(*error)) {
      *error = GetLastError();
      // Moved aside but not replaced: the old file goes back to its name.
      if (*error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) MoveFileExW(backup.c_str(), target.c_str(), 0);
    }
    if (!Transient(*error) || attempt + 1 >= ReplaceAttempts) return false;
    Sleep(ReplacePauseMs);
  }
}

// The folder cannot take a new file: the file is rewritten where it is.
bool RewriteInPlace(const std::wstring& target, const std::string& path,
                    const std::string& contents, std::string& problem) {
  DWORD error = 0;
  HANDLE file = OpenOwnFile(target, GENERIC_WRITE, OPEN_EXISTING, &error);
  if (file == INVALID_HANDLE_VALUE) {
    problem = error == ERROR_INVALID_NAME ? path + " is not a regular file"
                                          : "cannot write " + path + ": " + SystemError(error);
    return false;
  }
  const bool written = WriteAll(file, contents) && SetEndOfFile(file) && FlushFileBuffers(file);
  error = GetLastError();
  CloseHandle(file);
  if (!written) problem = "cannot write " + path + ": " + SystemError(error);
  return written;
}

}  // namespace

FileLock::FileLock(const std::string& path) {
  const std::wstring target = WideFromUtf8(path);
  // A writer that replaces the file leaves a waiting locker holding the old file; it then
  // locks the new one. A reparse point is not followed (OpenOwnFile refuses it).
  int missing = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    DWORD error = 0;
    HANDLE file = OpenOwnFile(target, GENERIC_READ, OPEN_EXISTING, &error);
    // A replacement made in steps (ReplaceFileW) leaves the name empty for a moment.
    if (file == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND && ++missing < 5) {
      Sleep(1);
      continue;
    }
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
      CloseHandle(file);
      return;
    }
    HANDLE current = OpenOwnFile(target, 0, OPEN_EXISTING, nullptr);
    const bool same = current != INVALID_HANDLE_VALUE && SameFile(file, current);
    if (current != INVALID_HANDLE_VALUE) CloseHandle(current);
    if (same) {
      handle_ = file;
      return;
    }
    CloseHandle(file);  // closing releases the lock
  }
}

FileLock::~FileLock() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

bool WriteFileAtomically(const std::string& path, const std::string& contents,
                         std::string& problem) {
  const std::filesystem::path targetPath = NativePath(path);
  const std::wstring target = targetPath.wstring();
  const Entry old = Look(target);
  problem = WriteRefusal(old, path);
  if (!problem.empty()) return false;
  if (old.ReadOnly()) {
    problem = path + " is read-only";
    return false;
  }
  if (old.exists) {
    // A device name (NUL, COM1) or a pipe has attributes too; only a disk file is ours.
    DWORD error = 0;
    HANDLE file = OpenOwnFile(target, 0, OPEN_EXISTING, &error);
    if (file == INVALID_HANDLE_VALUE && error == ERROR_INVALID_NAME) {
      problem = path + " is not a regular file";
      return false;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }

  const std::filesystem::path temporaryPath = TemporaryBeside(targetPath, ".new");
  const std::wstring temporary = temporaryPath.wstring();
  TemporaryFileGuard guard(Utf8Path(temporaryPath));
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && old.exists) return RewriteInPlace(target, path, contents, problem);
    problem = error == ERROR_ACCESS_DENIED
                  ? "cannot create " + path + ": the folder is not writable"
                  : "cannot create a file beside " + path + ": " + SystemError(error);
    return false;
  }
  bool written = WriteAll(file, contents) && FlushFileBuffers(file);
  DWORD error = GetLastError();
  written = CloseHandle(file) && written;
  // The new file keeps what the old one was marked as (hidden, not indexed, ...).
  constexpr DWORD Kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  if (written && old.exists && (old.attributes & Kept) != 0) {
    SetFileAttributesW(temporary.c_str(), old.attributes & Kept);
  }
  if (!written) {
    guard.Remove();
    problem = "cannot write " + path + ": " + SystemError(error);
    return false;
  }
  if (!PutInPlace(temporary, target, old.exists, &error)) {
    guard.Remove();
    problem = "cannot replace " + path + ": " + SystemError(error) +
              (Transient(error) ? " (another program has the file open; close it and try again)"
                                : "");
    return false;
  }
  return true;
}

ReadOutcome ReadSmallFile(const std::string& path, std::uintmax_t maxBytes,
                          std::string& contents, std::string& problem) {
  contents.clear();
  const std::wstring name = NativePath(path).wstring();
  // Unlike a write, a read follows a link to the file it names. A folder cannot be opened
  // as a file; a pipe can (without waiting), and is refused below.
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    problem = path + " is not a regular file";
    return ReadOutcome::NotRegular;
  }
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_BUSY) {  // a pipe with every instance taken is a pipe all the same
      problem = path + " is not a regular file";
      return ReadOutcome::NotRegular;
    }
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
      problem = "cannot open " + path;
      return ReadOutcome::Missing;
    }
    problem = "cannot open " + path + ": " + SystemError(error);
    return ReadOutcome::Unreadable;
  }
  // Checked on what was opened: a pipe would block and a device never end.
  LARGE_INTEGER size{};
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    CloseHandle(file);
    problem = path + " is not a regular file";
    return ReadOutcome::NotRegular;
  }
  if (static_cast<std::uintmax_t>(size.QuadPart) > maxBytes) {
    CloseHandle(file);
    problem = path + " is too large (" + std::to_string(size.QuadPart) + " bytes)";
    return ReadOutcome::TooLarge;
  }
  char buffer[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD error = GetLastError();
      CloseHandle(file);
      problem = "cannot read " + path + ": " + SystemError(error);
      return ReadOutcome::Unreadable;
    }
    if (n == 0) break;
    if (contents.size() + n > maxBytes) {
      CloseHandle(file);
      problem = path + " is too large";
      return ReadOutcome::TooLarge;
    }
    contents.append(buffer, n);
  }
  CloseHandle(file);
  return ReadOutcome::Ok;
}

bool LogFile::Open(const std::string& path, std::string& problem) {
  Close();
  const std::wstring name = NativePath(path).wstring();
  problem = WriteRefusal(Look(name), path);
  if (!problem.empty()) return false;
  DWORD error = 0;
  HANDLE file = OpenOwnFile(name, GENERIC_WRITE, OPEN_ALWAYS, &error);
  if (file == INVALID_HANDLE_VALUE) {
    problem = error == ERROR_INVALID_NAME ? path + " is not a regular file"
                                          : "cannot open " + path + ": " + SystemError(error);
    return false;
  }
  if (!SetEndOfFile(file)) {  // a new handle stands at the start: this empties the file
    error = GetLastError();
    CloseHandle(file);
    problem = "cannot write " + path + ": " + SystemError(error);
    return false;
  }
  handle_ = file;
  problem_.clear();
  return true;
}

bool LogFile::Append(const std::string& text) {
  if (handle_ == nullptr) return false;
  if (WriteAll(static_cast<HANDLE>(handle_), text)) return true;
  const DWORD error = GetLastError();
  problem_ = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL
                 ? std::string("No space left on device")
                 : SystemError(error);
  return false;
}

void LogFile::Close() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

bool LogFile::IsOpen() const { return handle_ != nullptr; }

}  // namespace pellix_usb_encoder

#endif  // _WIN32
