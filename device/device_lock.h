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

}  // namespace pellix_usb_encoder
