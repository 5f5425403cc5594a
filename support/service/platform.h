// The platform layer: the few operating-system services the windows use, each in one
// place, so that tests can run the program's fixed waits scaled down.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class QEventLoop;
class QString;
class QObject;

namespace pellix_usb_encoder::platform {

// The current user's per-user application data folder, without a trailing separator,
// as support/core/data_folder.h works it out from the environment: Linux an absolute
// $XDG_DATA_HOME or $HOME/.local/share, Windows %LOCALAPPDATA%, macOS
// $HOME/Library/Application Support. Empty when there is none (HOME unset or not an
// absolute path), with the reason, for the user, in `problem`.
std::string LocalAppDataFolder(std::string& problem);
std::string LocalAppDataFolder();

// The separator the program puts between folder and file names.
char PathSeparator();

// True when a file or folder of that path exists.
bool PathExists(const std::string& path);
// True when `path` is an existing regular file.
bool FileExists(const std::string& path);
// Creates the folder, and any missing parent folders. True when it exists afterwards.
bool CreateFolder(const std::string& path);
// Copies the configuration-sized regular file `from` over `to`, replacing `to` whole
// (support/core/file_store.h) or leaving it as it was on failure: a read-only `to` stays,
// and a symbolic link at `to` is refused, leaving the link and the file it points to as
// they were. The second form says why it failed in `problem`.
bool CopyFileReplacing(const std::string& from, const std::string& to);
bool CopyFileReplacing(const std::string& from, const std::string& to, std::string& problem);
// A file name as the core takes it, and back: the system's bytes on Linux (what
// QFile::encodeName gives), UTF-8 on Windows, where the core converts names to UTF-16
// itself (support/core/native_path.h).
std::string CoreName(const QString& name);
QString NameFromCore(const std::string& name);

// The file name without its folder.
std::string BaseName(const std::string& path);

// Sleeps the calling thread for `ms` milliseconds times the time scale. On the GUI
// thread the windows keep painting while it waits, and the user's input waits for the
// end of it (WaitHoldingInput).
void SleepMs(int ms);
// Milliseconds since an arbitrary start, for measuring waits.
uint64_t TickCountMs();

// Replaces what SleepMs does (tests on a simulated clock advance that clock by the
// unscaled `ms` instead of sleeping). An empty function puts the real sleep back.
void SetSleepOverride(std::function<void(int ms)> sleep);

// Runs `work` without freezing the windows. On the window thread it runs on a worker
// thread while a local event loop keeps the windows painting and answering the window
// manager; meanwhile the user's input to the program's windows is held back (and
// delivered once the work is done) and the busy indicator shows. The order of events
// stays that of a blocking call: the caller goes on only after `work` has returned.
// Anywhere else `work` simply runs.
void RunResponsively(const std::function<void()>& work);

// The local event loop behind RunResponsively and SleepMs on the window thread: input
// held back, busy indicator on; `start` arranges for the loop to quit.
void WaitHoldingInput(const std::function<void(QEventLoop& loop)>& start);

// Set by the windows: shows or hides a busy indicator (the busy cursor) during such
// waits, and tells which receivers keep getting input meanwhile (the demo's simulated
// hardware stands for a device, whose buttons are never held back).
void SetBusyIndicator(std::function<void(bool busy)> indicator);
void SetInputHoldExemption(std::function<bool(QObject* receiver)> exempt);

// Scales every SleepMs: 1.0 in the program, small in tests. Never 0: waits still happen.
void SetTimeScale(double scale);
double TimeScale();

}  // namespace pellix_usb_encoder::platform
