// The process-wide device lock.
//
// hidapi is not thread-safe, and a reply is matched to its request only by order, so
// every call into hidapi, every exchange and every close-and-rescan sequence runs
// under this one lock. It is recursive: the transport takes it inside each call, and a
// caller that must keep `hid_handle` steady across several steps (read the handle,
// exchange, close and rescan) holds it around the whole sequence.
#pragma once

#include <mutex>

namespace pellix_usb_encoder {

std::recursive_mutex& DeviceMutex();

using DeviceLock = std::unique_lock<std::recursive_mutex>;

// Holds the device lock for the lifetime of the returned object.
[[nodiscard]] inline DeviceLock LockDevice() { return DeviceLock(DeviceMutex()); }

// A thread that works on one unit while other threads work on others (the command
// line's --all) opens a UnitLockScope: while it lives, that thread's exchanges lock a
// mutex of its own instead of the process-wide lock, so that units proceed side by
// side. hidapi's library-wide calls (enumerate, open, close, exit) keep taking the
// process-wide lock. Without a scope nothing changes.
class UnitLockScope {
 public:
  UnitLockScope();
  ~UnitLockScope();
  UnitLockScope(const UnitLockScope&) = delete;
  UnitLockScope& operator=(const UnitLockScope&) = delete;

 private:
  std::recursive_mutex mutex_;
  std::recursive_mutex* previous_;
};

// The lock an exchange holds: this thread's unit lock inside a UnitLockScope, the
// process-wide device lock otherwise.
[[nodiscard]] DeviceLock LockExchange();

}  // namespace pellix_usb_encoder
