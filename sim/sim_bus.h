// The simulated HID bus.
//
// This library implements hidapi's C functions (hid_init, hid_enumerate, hid_open_path,
// hid_write, hid_read_timeout, ...) over in-process device twins, so that a program
// linked with it instead of the real hidapi runs byte for byte the same code against
// simulated hardware. Tests drive the bus through the API below: plug and unplug
// devices, inject faults, and read the traffic log.
//
// The bus is safe to use from several threads at once. Its clock is either the real
// steady clock (waits really wait) or a virtual clock that every wait advances at once,
// so that time-outs of seconds run in no time in single-threaded tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pellix_usb_encoder::sim {

// One interface of a simulated device, as hid_enumerate lists it.
struct SimInterface {
  int number = 0;
  uint16_t usagePage = 0;
  uint16_t usage = 0;
};

enum class Direction { HostToDevice, DeviceToHost };

// One report that crossed the bus: written by the host, or delivered to it by a read.
struct TrafficRecord {
  std::string path;            // path of the interface (as in hid_enumerate)
  uint16_t productId = 0;
  int interfaceNumber = 0;
  Direction direction = Direction::HostToDevice;
  std::vector<uint8_t> bytes;  // the whole report, report id first
  int64_t timeMs = 0;          // bus clock when it crossed
};

// What a device may do while handling a report the host wrote. Only valid inside
// SimDevice::OnWrite.
class WriteContext {
 public:
  virtual ~WriteContext() = default;
  // Queues an input report for the handle that wrote, readable `delayMs` from now.
  virtual void Reply(const std::vector<uint8_t>& report, int64_t delayMs) = 0;
  // Queues `report` like Reply, and queues it again `intervalMs` after its due time each
  // time the host reads it: an endless stream that never holds more than one report.
  // It ends only when the handle closes or the device leaves the bus.
  virtual void ReplyRepeating(const std::vector<uint8_t>& report, int64_t delayMs,
                              int64_t intervalMs) {
    (void)intervalMs;
    Reply(report, delayMs);
  }
  // Queues `report` like Reply; the device leaves the bus as soon as the host has read
  // it (a device restarting once its last answer has gone out), and joins again
  // `rejoinAfterMs` later unless that is negative. Pair it with LeaveBus for a host
  // that never reads.
  virtual void ReplyThenLeave(const std::vector<uint8_t>& report, int64_t delayMs,
                              int64_t rejoinAfterMs) {
    Reply(report, delayMs);
    LeaveBus(delayMs, rejoinAfterMs);
  }
  // The device leaves the bus `afterMs` from now: from then on it is not enumerated and
  // every open handle on it fails. It joins again `rejoinAfterMs` after leaving (with a
  // new path, so old handles stay dead) unless rejoinAfterMs is negative.
  virtual void LeaveBus(int64_t afterMs, int64_t rejoinAfterMs) = 0;
  virtual int64_t NowMs() const = 0;
};

// Base of every device twin.
class SimDevice {
 public:
  virtual ~SimDevice() = default;
  virtual uint16_t VendorId() const = 0;
  virtual uint16_t ProductId() const = 0;
  virtual std::vector<SimInterface> Interfaces() const = 0;
  virtual std::wstring Manufacturer() const = 0;
  virtual std::wstring Product() const = 0;
  virtual std::wstring SerialNumberString() const = 0;
  // false makes hid_get_manufacturer_string and hid_get_product_string fail.
  virtual bool NamesReadable() const { return true; }
  // A report written by the host to one of the device's interfaces. Returning false
  // makes hid_write fail. Runs under the bus lock.
  virtual bool OnWrite(int interfaceNumber, const uint8_t* data, size_t length,
                       WriteContext& context) = 0;
  // The device (re)joins the bus: power-up. Runs under the bus lock.
  virtual void OnAttach() {}
  // Link pacing (0: none). The host writes at most one report per WriteIntervalMs:
  // hid_write waits (without holding the bus lock; on the virtual clock it advances the
  // clock) until that long after the slot of the device's previous write. A queued report
  // becomes readable no sooner than ReadIntervalMs after the previous report the host
  // read from the device became readable. Slots follow each other at exact intervals, so
  // a late wake-up does not stretch a run of reports. Asked under the bus lock.
  virtual double WriteIntervalMs() const { return 0; }
  virtual double ReadIntervalMs() const { return 0; }

  // The physical USB port the device is plugged into, as "1-3". Its paths name it, so
  // the program can tell units apart the way it does on real hardware. A device without
  // one gets the next free port of the bus when it is first plugged; a unit's loader
  // takes the port of the encoder it belongs to.
  std::string UsbPort() const;
  void SetUsbPort(const std::string& port);

 private:
  mutable std::mutex portMutex_;
  std::string usbPort_;
};

class Bus {
 public:
  static Bus& Instance();

  // Unplugs every device, forgets pending reports, clears the log and the counters,
  // switches back to the real clock and clears bus faults. Open handles become dead
  // (hid_close still frees them) and the library counts as not initialised.
  void Reset();

  // Devices.
  // Joins now (a new path, OnAttach), also after Unplug or a leave without rejoin;
  // nothing happens while the device is on the bus.
  void Plug(std::shared_ptr<SimDevice> device);
  void Unplug(const SimDevice& device);          // leaves now; its open handles fail
  // Joins `delayMs` from now on the bus clock (a new path, OnAttach), as a device that
  // powers up later; replaces a return already scheduled. A device on the bus stays
  // unless it is about to leave, in which case it returns no sooner than that. Usable
  // from a device's hooks (the bus lock is recursive).
  void PlugAfter(std::shared_ptr<SimDevice> device, int64_t delayMs);
  bool IsPlugged(const SimDevice& device) const;

  // Clock.
  void UseVirtualClock(bool on);
  int64_t NowMs() const;
  void AdvanceMs(int64_t ms);  // virtual clock only; real clock: sleeps

  // Traffic log and counters.
  std::vector<TrafficRecord> Traffic() const;
  std::vector<TrafficRecord> Writes() const;  // host-to-device records only
  void ClearTraffic();
  int EmptyReads() const;     // hid_read_timeout / hid_read calls that returned 0
  int OpenHandles() const;    // handles opened and not yet closed
  bool Initialised() const;   // hid_init done and no hid_exit since
  int ExitCount() const;      // hid_exit calls since Reset
  int EnumerateCount() const; // hid_enumerate calls since Reset

  // Bus faults: hid_open_path fails for every device (as when access is denied).
  void SetOpenFails(bool fails);

 private:
  Bus() = default;
};

}  // namespace pellix_usb_encoder::sim
