#include "support/core/interrupt.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace pellix_usb_encoder {

namespace {

// The handler may only touch lock-free atomics and plain buffers.
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::size_t>::is_always_lock_free);

constexpr int SlotCount = 64;
constexpr std::size_t PathCapacity = 4096;  // PATH_MAX on Linux, with its terminating zero
constexpr std::size_t NoteCapacity = 1024;

// A slot's life: Free -> Filling (its guard copies the path in) -> Armed -> Free again
// when the guard ends. The handler takes an armed slot for itself (Armed -> Cleaning)
// before it reads the path, so no guard can reuse the slot and change the path under it;
// a slot in Cleaning is never given back (the process is ending).
enum SlotState : int { Free, Filling, Armed, Cleaning };

struct Slot {
  std::atomic<int> state{Free};
  char path[PathCapacity];
};
Slot slots[SlotCount];

// Two buffers: SetInterruptNote fills the one the handler does not read, then makes it
// the current one. Once an interrupt has begun no note is written any more, so the buffer
// the handler reads stays as it was.
struct Note {
  char text[NoteCapacity];
  std::atomic<std::size_t> length{0};
};
Note notes[2];
std::atomic<int> currentNote{0};
std::atomic<bool> interrupting{false};

std::mutex& NoteMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(const std::string&)>& WatchHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

// Recovery records keep a unit's settings across an upgrade that did not finish; they
// must outlive any interrupt, whoever asks for them to be watched.
bool IsRecoveryRecord(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
  const std::string prefix = "OvitoneRecovery-", suffix = ".ini";
  return name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

#ifndef _WIN32
void OnInterrupt(int signal) {
  const int savedErrno = errno;
  // A second signal on another thread while the first is handled: the first ends the
  // process once its files are gone.
  if (interrupting.exchange(true)) return;
  for (Slot& slot : slots) {
    int expected = Armed;
    if (slot.state.compare_exchange_strong(expected, Cleaning)) ::unlink(slot.path);
  }
  const Note& note = notes[currentNote.load()];
  const std::size_t length = note.length.load();
  for (std::size_t done = 0; done < length;) {
    const ssize_t n = ::write(STDERR_FILENO, note.text + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  // The signal is blocked while this handler runs; raised again under its default
  // action, it ends the process as soon as the handler returns.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  errno = savedErrno;
  ::raise(signal);
}
#endif

}  // namespace

void InstallInterruptCleanup() {
#ifndef _WIN32
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM}) {
      struct sigaction current {};
      if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
      ::sigaction(signal, &action, nullptr);
    }
  });
#endif
}

TemporaryFileGuard::TemporaryFileGuard(const std::string& path) : path_(path) {
  if (path.empty() || path.size() >= PathCapacity || path.find('\0') != std::string::npos ||
      IsRecoveryRecord(path)) {
    return;
  }
  for (int i = 0; i < SlotCount; ++i) {
    int expected = Free;
    if (!slots[i].state.compare_exchange_strong(expected, Filling)) continue;
    std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
    slots[i].state.store(Armed);
    slot_ = i;
    break;
  }
  if (slot_ >= 0) {
    if (const auto& hook = WatchHook()) hook(path_);
  }
}

TemporaryFileGuard::~TemporaryFileGuard() { Release(); }

void TemporaryFileGuard::Remove() {
  // Removed before the slot is given up: an interrupt in between finds the name gone.
  std::error_code error;
  std::filesystem::remove(path_, error);
  Release();
}

void TemporaryFileGuard::Release() {
  if (slot_ < 0) return;
  // Fails only when the handler has taken the slot; the process is ending then.
  int expected = Armed;
  slots[slot_].state.compare_exchange_strong(expected, Free);
  slot_ = -1;
}

void SetInterruptNote(const std::string& line) {
  std::lock_guard<std::mutex> lock(NoteMutex());
  if (interrupting.load()) return;
  const int next = 1 - currentNote.load();
  Note& note = notes[next];
  std::size_t length = std::min(line.size(), NoteCapacity - 1);
  std::memcpy(note.text, line.data(), length);
  if (length > 0 && note.text[length - 1] != '\n') {
    if (length == NoteCapacity - 1) --length;
    note.text[length++] = '\n';
  }
  note.length.store(length);
  currentNote.store(next);
}

void interrupt_testing::SetWatchHook(std::function<void(const std::string& path)> hook) {
  WatchHook() = std::move(hook);
}

}  // namespace pellix_usb_encoder
