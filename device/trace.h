// The USB trace: every report the program writes to or reads from an encoder or a loader,
// one line each, in a file, for finding out what a unit in the field does. Off unless
// started; then each line reaches the file as the report crosses.
//
// A line holds the microseconds since the trace started (steady clock), "out" (to the
// device) or "in", vendor:product, the USB port ("?" when unknown) and the report bytes
// in hexadecimal. The first line names the program's and hidapi's versions.
#pragma once

#include <hidapi/hidapi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pellix_usb_encoder {

// Starts tracing into `path` (created, or emptied; only a regular file, never through a
// symbolic link), ending a trace that runs. False, with the reason in `problem`, when the
// file cannot be written.
bool StartTrace(const std::string& path, std::string& problem);
// Ends the trace and closes its file. True when the trace is complete: every line reached
// the file. A line that could not be written (a full disk, a file size limit) ends the
// writing at once, so the file holds the lines up to it; then false, with the first
// failure's reason in `problem`. True as well when no trace ran.
bool StopTrace(std::string& problem);
inline void StopTrace() {
  std::string ignored;
  StopTrace(ignored);
}

namespace trace_detail {
extern std::atomic<bool> tracing;
void Write(hid_device* device, bool toDevice, const uint8_t* bytes, size_t length);
}  // namespace trace_detail

// Records one report that crossed the bus on `device`: written to it (`toDevice`) or read
// from it. Called right after hid_write or hid_read_timeout, while the caller still holds
// the device lock, so `device` cannot be closed meanwhile. Safe from any thread; a single
// flag test while no trace runs.
inline void TraceReport(hid_device* device, bool toDevice, const uint8_t* bytes, size_t length) {
  if (trace_detail::tracing.load(std::memory_order_relaxed)) {
    trace_detail::Write(device, toDevice, bytes, length);
  }
}

}  // namespace pellix_usb_encoder
