// Internals of the simulated bus, shared by the Bus class (sim_bus.cpp) and the hidapi
// functions (sim_hidapi.cpp). Not part of the bus's interface.
//
// Everything here is guarded by BusState::mutex. Time on the bus is kept in nanoseconds
// so that a real-clock wait can wake exactly when a report falls due; the public API
// speaks milliseconds.
#pragma once

#include <hidapi/hidapi.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "sim/sim_bus.h"

namespace pellix_usb_encoder::sim::detail {

using BusTime = int64_t;  // nanoseconds on the bus clock
inline constexpr BusTime kNever = std::numeric_limits<BusTime>::max();
inline constexpr BusTime kNsPerMs = 1'000'000;
inline constexpr BusTime kNoSlot = std::numeric_limits<BusTime>::min();  // nothing yet

// Adds a millisecond delay to a bus time without overflowing past kNever.
inline BusTime AddMs(BusTime t, int64_t ms) {
  if (t == kNever || ms >= (kNever - t) / kNsPerMs) return kNever;
  return t + ms * kNsPerMs;
}

// A device as the bus knows it, from its first Plug until Reset.
struct Attachment {
  std::shared_ptr<SimDevice> device;
  bool present = false;
  uint64_t joinNumber = 0;     // the #K of its paths; new at every join
  BusTime leaveAt = kNever;    // scheduled departure (LeaveBus)
  int64_t rejoinAfterMs = -1;  // with the scheduled departure: rejoin this long after
  BusTime rejoinAt = kNever;   // scheduled return, while absent
  // Link pacing (SimDevice::WriteIntervalMs / ReadIntervalMs), per join.
  BusTime lastWriteSlot = kNoSlot;  // when the previous write went through
  BusTime lastReadSlot = kNoSlot;   // when the previous report read became readable
};

// A pacing interval in bus time; 0 for none (or nonsense).
inline BusTime IntervalOf(double ms) {
  if (!(ms > 0)) return 0;
  if (ms >= 1e9) return static_cast<BusTime>(1e9) * kNsPerMs;
  return static_cast<BusTime>(ms * static_cast<double>(kNsPerMs) + 0.5);
}

struct QueuedReport {
  std::vector<uint8_t> bytes;
  BusTime due = 0;
  uint64_t order = 0;           // ties on `due` go in queuing order
  int64_t repeatEveryMs = -1;   // >= 0: queued again this much after `due` once read
  bool leaveWhenRead = false;   // the device leaves the bus once the host reads it...
  int64_t rejoinAfterMs = -1;   // ...and rejoins this much later unless negative
};

struct BusState {
  std::recursive_mutex mutex;
  // Signalled whenever a waiting read may have something new to see: a report queued,
  // a device leaving or a departure scheduled, the clock moved or switched, a reset.
  std::condition_variable_any changed;

  std::vector<std::shared_ptr<Attachment>> attachments;  // in plug order
  std::unordered_set<hid_device*> handles;               // every handle not yet closed
  uint64_t joinCounter = 0;
  int portCounter = 0;  // ports handed out since Reset
  uint64_t reportCounter = 0;

  bool virtualClock = false;
  BusTime virtualNow = 0;
  BusTime realOffset = 0;
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

  std::vector<TrafficRecord> traffic;
  int emptyReads = 0;
  int openHandles = 0;
  bool initialised = false;
  int exitCount = 0;
  int enumerateCount = 0;
  bool openFails = false;
  const wchar_t* lastError = nullptr;  // of calls without a handle

  BusTime Now() const;
  std::chrono::steady_clock::time_point RealTimeOf(BusTime t) const;
  void SwitchClock(bool toVirtual);

  // Carries out, in time order, the departures and returns that fell due by now.
  void Settle();
  void Join(Attachment& attachment);
  void Leave(Attachment& attachment);
  BusTime NextDeviceEvent() const;
  std::shared_ptr<Attachment> Find(const SimDevice& device) const;
  // The device's attachment, made (not yet present on the bus) when it has none.
  std::shared_ptr<Attachment> FindOrAdd(std::shared_ptr<SimDevice> device);

  static std::string PathOf(const Attachment& attachment, int interfaceNumber);
  void Record(const hid_device& handle, Direction direction, const uint8_t* data,
              size_t length);
};

// The one bus of the process. Never destroyed, so handles a test forgets to close stay
// reachable and threads still running at exit find it intact.
BusState& State();

}  // namespace pellix_usb_encoder::sim::detail

// hidapi's opaque device handle: one open interface of one join of a device.
struct hid_device_ {
  std::shared_ptr<pellix_usb_encoder::sim::detail::Attachment> attachment;
  uint64_t joinNumber = 0;
  int interfaceNumber = 0;
  std::string path;
  bool nonBlocking = false;
  bool cutOff = false;        // Bus::Reset ended it
  bool counted = true;        // counts in OpenHandles (opened since the last Reset)
  std::deque<pellix_usb_encoder::sim::detail::QueuedReport> reports;  // by due time
  const wchar_t* lastError = nullptr;
  hid_device_info* info = nullptr;  // built by hid_get_device_info, freed by hid_close

  bool Alive() const {
    return !cutOff && attachment && attachment->present &&
           attachment->joinNumber == joinNumber;
  }
};
