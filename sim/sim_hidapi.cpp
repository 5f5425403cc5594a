// hidapi's C functions over the simulated bus. A program linked with this file instead
// of the real library reaches the device twins plugged into the bus.

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <thread>

#include "sim/bus_state.h"

using pellix_usb_encoder::sim::Direction;
using pellix_usb_encoder::sim::WriteContext;
using pellix_usb_encoder::sim::detail::AddMs;
using pellix_usb_encoder::sim::detail::Attachment;
using pellix_usb_encoder::sim::detail::BusState;
using pellix_usb_encoder::sim::detail::BusTime;
using pellix_usb_encoder::sim::detail::IntervalOf;
using pellix_usb_encoder::sim::detail::kNoSlot;
using pellix_usb_encoder::sim::detail::kNever;
using pellix_usb_encoder::sim::detail::kNsPerMs;
using pellix_usb_encoder::sim::detail::QueuedReport;
using pellix_usb_encoder::sim::detail::State;

namespace {

using Lock = std::unique_lock<std::recursive_mutex>;

constexpr const wchar_t* kNoDevice = L"No such device: it left the bus";
constexpr const wchar_t* kNotFound = L"Device not found";
constexpr const wchar_t* kAccessDenied = L"Permission denied opening the device";
constexpr const wchar_t* kWriteRefused = L"The device did not accept the report";
constexpr const wchar_t* kBadArgument = L"Invalid argument";
constexpr const wchar_t* kNotSupported = L"Not supported by the simulated bus";
constexpr const wchar_t* kNoString = L"The device did not give the string";

wchar_t* CopyWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy) std::wmemcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

char* CopyNarrow(const std::string& text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

hid_device_info* MakeInfo(const Attachment& a, const pellix_usb_encoder::sim::SimInterface& i) {
  auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
  if (!info) return nullptr;
  const auto& device = *a.device;
  info->path = CopyNarrow(BusState::PathOf(a, i.number));
  info->vendor_id = device.VendorId();
  info->product_id = device.ProductId();
  info->serial_number = CopyWide(device.SerialNumberString());
  info->release_number = 0x0100;
  info->manufacturer_string = CopyWide(device.Manufacturer());
  info->product_string = CopyWide(device.Product());
  info->usage_page = i.usagePage;
  info->usage = i.usage;
  info->interface_number = i.number;
  info->next = nullptr;
  info->bus_type = HID_API_BUS_USB;
  return info;
}

void FreeInfo(hid_device_info* info) {
  std::free(info->path);
  std::free(info->serial_number);
  std::free(info->manufacturer_string);
  std::free(info->product_string);
  std::free(info);
}

void InitialiseLocked(BusState& s) { s.initialised = true; }

hid_device* OpenLocked(BusState& s, const std::shared_ptr<Attachment>& a, int interfaceNumber) {
  if (s.openFails) {
    s.lastError = kAccessDenied;
    return nullptr;
  }
  auto* handle = new hid_device_();
  handle->attachment = a;
  handle->joinNumber = a->joinNumber;
  handle->interfaceNumber = interfaceNumber;
  handle->path = BusState::PathOf(*a, interfaceNumber);
  s.handles.insert(handle);
  ++s.openHandles;
  s.lastError = nullptr;
  return handle;
}

// Keeps a handle's queue in delivery order: by due time, then by queuing order.
void InsertByDue(hid_device& handle, QueuedReport report) {
  auto position = std::upper_bound(handle.reports.begin(), handle.reports.end(), report,
                                   [](const QueuedReport& x, const QueuedReport& y) {
                                     return x.due != y.due ? x.due < y.due : x.order < y.order;
                                   });
  handle.reports.insert(position, std::move(report));
}

// The context a device's OnWrite gets: replies go to the handle that wrote, timed from
// the moment of the write.
class HandleWriteContext final : public WriteContext {
 public:
  HandleWriteContext(BusState& state, hid_device& handle, BusTime writtenAt)
      : state_(state), handle_(handle), writtenAt_(writtenAt) {}

  void Reply(const std::vector<uint8_t>& report, int64_t delayMs) override {
    Queue({report, Due(delayMs)});
  }
  void ReplyRepeating(const std::vector<uint8_t>& report, int64_t delayMs,
                      int64_t intervalMs) override {
    QueuedReport queued{report, Due(delayMs)};
    queued.repeatEveryMs = std::max<int64_t>(intervalMs, 0);
    Queue(std::move(queued));
  }
  void ReplyThenLeave(const std::vector<uint8_t>& report, int64_t delayMs,
                      int64_t rejoinAfterMs) override {
    QueuedReport queued{report, Due(delayMs)};
    queued.leaveWhenRead = true;
    queued.rejoinAfterMs = rejoinAfterMs;
    Queue(std::move(queued));
  }
  void LeaveBus(int64_t afterMs, int64_t rejoinAfterMs) override {
    Attachment& a = *handle_.attachment;
    if (!a.present) return;
    a.leaveAt = AddMs(writtenAt_, std::max<int64_t>(afterMs, 0));
    a.rejoinAfterMs = rejoinAfterMs;
    state_.changed.notify_all();
  }
  int64_t NowMs() const override { return writtenAt_ / kNsPerMs; }

 private:
  BusTime Due(int64_t delayMs) const { return AddMs(writtenAt_, std::max<int64_t>(delayMs, 0)); }
  void Queue(QueuedReport report) {
    report.order = ++state_.reportCounter;
    InsertByDue(handle_, std::move(report));
    state_.changed.notify_all();
  }

  BusState& state_;
  hid_device& handle_;
  BusTime writtenAt_;
};

// Link pacing of writes: reserves the device's next write slot, at least its write
// interval after the previous one, and waits for it without holding the bus lock (the
// virtual clock jumps there instead). Slots are reserved before waiting, so concurrent
// writers get distinct ones, and each follows the previous slot rather than the previous
// wake-up, so oversleeping never adds up over a run of writes. False when the device
// left meanwhile.
bool WaitForWriteSlot(BusState& s, hid_device& dev, Lock& lock) {
  Attachment& a = *dev.attachment;
  const BusTime interval = IntervalOf(a.device->WriteIntervalMs());
  if (interval <= 0) return true;
  const BusTime now = s.Now();
  const BusTime slot = a.lastWriteSlot == kNoSlot ? now : std::max(now, a.lastWriteSlot + interval);
  a.lastWriteSlot = slot;
  if (slot <= now) return true;
  while (s.Now() < slot) {
    if (s.virtualClock) {
      s.virtualNow = slot;
      s.changed.notify_all();
    } else {
      const auto wakeAt = s.RealTimeOf(slot);
      lock.unlock();
      std::this_thread::sleep_until(wakeAt);
      lock.lock();
    }
  }
  s.Settle();
  return dev.Alive();
}

// When a queued report becomes readable: its due time, or for a paced device no sooner
// than the read interval after the previous report read from the device became readable.
BusTime ReadableAt(const hid_device& dev, const QueuedReport& report) {
  const Attachment& a = *dev.attachment;
  if (a.lastReadSlot == kNoSlot) return report.due;
  const BusTime interval = IntervalOf(a.device->ReadIntervalMs());
  if (interval <= 0) return report.due;
  return std::max(report.due, a.lastReadSlot + interval);
}

int CopyString(hid_device* dev, wchar_t* string, size_t maxlen, bool names,
               std::wstring (pellix_usb_encoder::sim::SimDevice::*getter)() const) {
  if (!dev) return -1;
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  if (!string || maxlen == 0) {
    dev->lastError = kBadArgument;
    return -1;
  }
  if (!dev->Alive()) {
    dev->lastError = kNoDevice;
    return -1;
  }
  const auto& device = *dev->attachment->device;
  if (names && !device.NamesReadable()) {
    dev->lastError = kNoString;
    return -1;
  }
  const std::wstring text = (device.*getter)();
  const size_t count = std::min(text.size(), maxlen - 1);
  std::wmemcpy(string, text.c_str(), count);
  string[count] = L'\0';
  dev->lastError = nullptr;
  return 0;
}

}  // namespace

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void) {
  auto& s = State();
  Lock lock(s.mutex);
  InitialiseLocked(s);
  s.lastError = nullptr;
  return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void) {
  auto& s = State();
  Lock lock(s.mutex);
  s.initialised = false;
  ++s.exitCount;
  s.lastError = nullptr;
  return 0;
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
  auto& s = State();
  Lock lock(s.mutex);
  InitialiseLocked(s);
  ++s.enumerateCount;
  s.Settle();
  hid_device_info* first = nullptr;
  hid_device_info** tail = &first;
  for (const auto& a : s.attachments) {
    if (!a->present) continue;
    const auto& device = *a->device;
    if (vendor_id != 0 && vendor_id != device.VendorId()) continue;
    if (product_id != 0 && product_id != device.ProductId()) continue;
    for (const auto& i : device.Interfaces()) {
      if (hid_device_info* info = MakeInfo(*a, i)) {
        *tail = info;
        tail = &info->next;
      }
    }
  }
  s.lastError = first ? nullptr : L"No HID devices found";
  return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
  while (devs) {
    hid_device_info* next = devs->next;
    FreeInfo(devs);
    devs = next;
  }
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                 unsigned short product_id,
                                                 const wchar_t* serial_number) {
  auto& s = State();
  Lock lock(s.mutex);
  InitialiseLocked(s);
  s.Settle();
  for (const auto& a : s.attachments) {
    if (!a->present) continue;
    const auto& device = *a->device;
    if (device.VendorId() != vendor_id || device.ProductId() != product_id) continue;
    if (serial_number && device.SerialNumberString() != serial_number) continue;
    const auto interfaces = device.Interfaces();
    if (interfaces.empty()) continue;
    return OpenLocked(s, a, interfaces.front().number);
  }
  s.lastError = kNotFound;
  return nullptr;
}

HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
  auto& s = State();
  Lock lock(s.mutex);
  InitialiseLocked(s);
  s.Settle();
  if (path) {
    for (const auto& a : s.attachments) {
      if (!a->present) continue;
      for (const auto& i : a->device->Interfaces()) {
        if (BusState::PathOf(*a, i.number) == path) return OpenLocked(s, a, i.number);
      }
    }
  }
  s.lastError = kNotFound;
  return nullptr;
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                          size_t length) {
  if (!dev) return -1;
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  if (!data && length > 0) {
    dev->lastError = kBadArgument;
    return -1;
  }
  if (!dev->Alive()) {
    dev->lastError = kNoDevice;
    return -1;
  }
  if (!WaitForWriteSlot(s, *dev, lock)) {
    dev->lastError = kNoDevice;
    return -1;
  }
  s.Record(*dev, Direction::HostToDevice, data, length);
  HandleWriteContext context(s, *dev, s.Now());
  // The device may call back into the bus (the mutex is recursive); keep the device
  // alive even if the hook unplugs or resets.
  const auto device = dev->attachment->device;
  if (!device->OnWrite(dev->interfaceNumber, data, length, context)) {
    dev->lastError = kWriteRefused;
    return -1;
  }
  dev->lastError = nullptr;
  return static_cast<int>(length);
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                 size_t length, int milliseconds) {
  if (!dev) return -1;
  auto& s = State();
  Lock lock(s.mutex);
  if (!data && length > 0) {
    dev->lastError = kBadArgument;
    return -1;
  }
  const BusTime deadline = milliseconds < 0 ? kNever : AddMs(s.Now(), milliseconds);
  for (;;) {
    s.Settle();
    if (!dev->Alive()) {
      dev->lastError = kNoDevice;
      return -1;
    }
    const BusTime now = s.Now();
    const BusTime readable = dev->reports.empty() ? kNever : ReadableAt(*dev, dev->reports.front());
    if (readable <= now) {
      QueuedReport report = std::move(dev->reports.front());
      dev->reports.pop_front();
      dev->attachment->lastReadSlot = readable;
      const size_t count = std::min(length, report.bytes.size());
      if (count > 0) std::memcpy(data, report.bytes.data(), count);
      s.Record(*dev, Direction::DeviceToHost, report.bytes.data(), count);
      if (report.leaveWhenRead) {
        Attachment& a = *dev->attachment;
        s.Leave(a);
        if (report.rejoinAfterMs >= 0) a.rejoinAt = AddMs(now, report.rejoinAfterMs);
      } else if (report.repeatEveryMs >= 0) {
        // An endless stream keeps exactly one report queued: the next one is made when
        // this one is read.
        report.due = AddMs(report.due, report.repeatEveryMs);
        report.order = ++s.reportCounter;
        InsertByDue(*dev, std::move(report));
      }
      dev->lastError = nullptr;
      return static_cast<int>(count);
    }
    if (now >= deadline) {
      ++s.emptyReads;
      dev->lastError = nullptr;
      return 0;
    }
    BusTime wake = std::min(deadline, s.NextDeviceEvent());
    wake = std::min(wake, readable);
    if (s.virtualClock) {
      if (wake == kNever) {
        // Nothing will ever happen on this handle unless another thread acts.
        s.changed.wait(lock);
      } else {
        s.virtualNow = std::max(s.virtualNow, wake);
        s.changed.notify_all();
      }
    } else if (wake == kNever) {
      s.changed.wait(lock);
    } else {
      s.changed.wait_until(lock, s.RealTimeOf(wake));
    }
  }
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data, size_t length) {
  if (!dev) return -1;
  bool nonBlocking;
  {
    Lock lock(State().mutex);
    nonBlocking = dev->nonBlocking;
  }
  return hid_read_timeout(dev, data, length, nonBlocking ? 0 : -1);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (!dev) return -1;
  Lock lock(State().mutex);
  dev->nonBlocking = nonblock != 0;
  dev->lastError = nullptr;
  return 0;
}

int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device* dev, const unsigned char*,
                                                        size_t) {
  if (!dev) return -1;
  Lock lock(State().mutex);
  dev->lastError = kNotSupported;
  return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device* dev, unsigned char*, size_t) {
  if (!dev) return -1;
  Lock lock(State().mutex);
  dev->lastError = kNotSupported;
  return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device* dev, unsigned char*, size_t) {
  if (!dev) return -1;
  Lock lock(State().mutex);
  dev->lastError = kNotSupported;
  return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
  if (!dev) return;
  auto& s = State();
  Lock lock(s.mutex);
  s.handles.erase(dev);
  if (dev->counted) --s.openHandles;
  if (dev->info) FreeInfo(dev->info);
  delete dev;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
  return CopyString(dev, string, maxlen, true, &pellix_usb_encoder::sim::SimDevice::Manufacturer);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  return CopyString(dev, string, maxlen, true, &pellix_usb_encoder::sim::SimDevice::Product);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
  return CopyString(dev, string, maxlen, false,
                    &pellix_usb_encoder::sim::SimDevice::SerialNumberString);
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev) {
  if (!dev) return nullptr;
  Lock lock(State().mutex);
  if (!dev->info) {
    for (const auto& i : dev->attachment->device->Interfaces()) {
      if (i.number != dev->interfaceNumber) continue;
      // Built for the join the handle was opened on, so the path matches the handle's.
      Attachment asOpened = *dev->attachment;
      asOpened.joinNumber = dev->joinNumber;
      dev->info = MakeInfo(asOpened, i);
    }
  }
  dev->lastError = dev->info ? nullptr : kNotFound;
  return dev->info;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device* dev, int, wchar_t*, size_t) {
  if (!dev) return -1;
  Lock lock(State().mutex);
  dev->lastError = kNotSupported;
  return -1;
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
  auto& s = State();
  Lock lock(s.mutex);
  const wchar_t* error = dev ? dev->lastError : s.lastError;
  return error ? error : L"Success";
}

HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
  static const hid_api_version version{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR,
                                       HID_API_VERSION_PATCH};
  return &version;
}

// hid_version() tells the hidapi version the bus stands in for; the text also tells a
// program that it runs on the simulated bus.
HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) {
  return HID_API_VERSION_STR " (simulated bus)";
}

}  // extern "C"
