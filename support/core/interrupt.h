// What an interrupt leaves behind. Ctrl+C (SIGINT) or a kill, a logout or a shutdown
// (SIGTERM) during a save, an export or an upgrade ends the program between two steps;
// without care it would leave its half-made temporary files beside the user's files and
// say nothing about the unit it was working on.
//
// Once InstallInterruptCleanup has run, such a signal
//   1. removes every temporary file a TemporaryFileGuard watches at that moment (only
//      those: the files the program keeps, such as the configuration file and the
//      recovery records OvitoneRecovery-*.ini, are never watched),
//   2. prints the interrupt note, if one is set, on standard error (where the unit was
//      left and what to run next),
//   3. ends the process with the signal's default action, so that the shell or the
//      service manager sees the program killed by that signal, as before.
// The handler does only what is safe inside a signal handler: it reads fixed buffers
// filled beforehand, and calls unlink(2), write(2), sigaction(2) and raise(3).
#pragma once

#include <functional>
#include <string>

namespace pellix_usb_encoder {

// Installs the SIGINT/SIGTERM handler once; later calls do nothing. A signal the program
// was started with ignored (nohup, a background job of a non-interactive shell) stays
// ignored. Does nothing on platforms without POSIX signals (Windows, where a console
// control handler may come later); the guards and the note then simply go unused.
void InstallInterruptCleanup();

// Watches a temporary file for its lifetime: should the process be interrupted while the
// guard lives, `path` is removed. The guard is made before the file is created and ends
// after the file has been renamed into place or removed; an interrupt in between removes
// a name that may not exist (yet), which is harmless.
//
// On normal destruction the guard only stops watching and leaves the file alone: its
// owner has renamed it or removed it. Remove() removes it now (the failure path); Release()
// stops watching early, for a file that has become one the program keeps.
//
// A path of 4096 bytes or more, one named like a recovery record (OvitoneRecovery-*.ini),
// or one that finds all 64 watch slots taken is not watched (Watched() is false): an
// interrupt then leaves that file behind, but nothing else changes.
class TemporaryFileGuard {
 public:
  explicit TemporaryFileGuard(const std::string& path);
  ~TemporaryFileGuard();
  TemporaryFileGuard(const TemporaryFileGuard&) = delete;
  TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;

  // Removes the file, if it is there, then stops watching it.
  void Remove();
  // Stops watching the file, leaving it where it is.
  void Release();
  bool Watched() const { return slot_ >= 0; }

 private:
  std::string path_;
  int slot_ = -1;
};

// The line printed to standard error if an interrupt arrives now, e.g. "The unit on USB
// port 1-2 waits in its firmware loader; run ovitone-cli --device 1-2 upgrade-firmware FILE
// to finish." A line break is added when it has none. Empty: nothing is printed. Safe
// from any thread; the text is copied into a fixed buffer (up to 1023 bytes, longer
// notes are cut) so that the handler can write(2) it.
void SetInterruptNote(const std::string& line);

namespace interrupt_testing {
// Called on the guarding thread with the path each time a TemporaryFileGuard starts
// watching one, so that a test can interrupt the program at that moment. Empty: none.
void SetWatchHook(std::function<void(const std::string& path)> hook);
}  // namespace interrupt_testing

}  // namespace pellix_usb_encoder
