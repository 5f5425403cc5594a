// The simulated bus: its clock, the devices on it and their comings and goings, the
// traffic log, and the Bus class through which tests steer it.

#include "sim/sim_bus.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "sim/bus_state.h"

namespace pellix_usb_encoder::sim {
namespace detail {

BusState& State() {
  static BusState* const state = new BusState();
  return *state;
}

BusTime BusState::Now() const {
  if (virtualClock) return virtualNow;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now() - epoch)
             .count() +
         realOffset;
}

std::chrono::steady_clock::time_point BusState::RealTimeOf(BusTime t) const {
  return epoch + std::chrono::nanoseconds(t - realOffset);
}

// The clock never runs backwards across a switch: the new clock starts where the old
// one stood, so every scheduled time keeps its meaning.
void BusState::SwitchClock(bool toVirtual) {
  if (toVirtual == virtualClock) return;
  const BusTime now = Now();
  virtualClock = toVirtual;
  if (toVirtual) {
    virtualNow = now;
  } else {
    realOffset = 0;
    realOffset = now - Now();
  }
  changed.notify_all();
}

void BusState::Settle() {
  const BusTime now = Now();
  // By index: a device's OnAttach may plug another device.
  for (size_t i = 0; i < attachments.size(); ++i) {
    const std::shared_ptr<Attachment> attachment = attachments[i];
    Attachment& a = *attachment;
    for (;;) {
      if (a.present && a.leaveAt <= now) {
        const BusTime leftAt = a.leaveAt;
        const int64_t rejoinAfter = a.rejoinAfterMs;
        Leave(a);
        if (rejoinAfter >= 0) a.rejoinAt = AddMs(leftAt, rejoinAfter);
      } else if (!a.present && a.rejoinAt <= now) {
        Join(a);
      } else {
        break;
      }
    }
  }
}

void BusState::Join(Attachment& a) {
  a.present = true;
  a.joinNumber = ++joinCounter;
  a.leaveAt = kNever;
  a.rejoinAfterMs = -1;
  a.rejoinAt = kNever;
  a.lastWriteSlot = a.lastReadSlot = kNoSlot;
  a.device->OnAttach();
  changed.notify_all();
}

void BusState::Leave(Attachment& a) {
  a.present = false;
  a.leaveAt = kNever;
  a.rejoinAfterMs = -1;
  a.rejoinAt = kNever;
  // Handles on the device are dead for good (a return gets a new join number), so what
  // was queued for them can go.
  for (hid_device* handle : handles) {
    if (handle->attachment.get() == &a) handle->reports.clear();
  }
  changed.notify_all();
}

BusTime BusState::NextDeviceEvent() const {
  BusTime next = kNever;
  for (const auto& a : attachments) next = std::min(next, a->present ? a->leaveAt : a->rejoinAt);
  return next;
}

std::shared_ptr<Attachment> BusState::Find(const SimDevice& device) const {
  for (const auto& a : attachments) {
    if (a->device.get() == &device) return a;
  }
  return nullptr;
}

std::shared_ptr<Attachment> BusState::FindOrAdd(std::shared_ptr<SimDevice> device) {
  if (auto attachment = Find(*device)) return attachment;
  auto attachment = std::make_shared<Attachment>();
  if (device->UsbPort().empty()) device->SetUsbPort("1-" + std::to_string(++portCounter));
  attachment->device = std::move(device);
  attachments.push_back(attachment);
  return attachment;
}

std::string BusState::PathOf(const Attachment& a, int interfaceNumber) {
  // "port=" names the USB port the way the program reads it from a path.
  char path[64];
  std::snprintf(path, sizeof path, "sim:%04X:%04X:i%d:#%llu:port=", a.device->VendorId(),
                a.device->ProductId(), interfaceNumber,
                static_cast<unsigned long long>(a.joinNumber));
  return path + a.device->UsbPort();
}

void BusState::Record(const hid_device& handle, Direction direction, const uint8_t* data,
                      size_t length) {
  TrafficRecord record;
  record.path = handle.path;
  record.productId = handle.attachment->device->ProductId();
  record.interfaceNumber = handle.interfaceNumber;
  record.direction = direction;
  if (length > 0) record.bytes.assign(data, data + length);
  record.timeMs = Now() / kNsPerMs;
  traffic.push_back(std::move(record));
}

}  // namespace detail

using detail::State;
using Lock = std::unique_lock<std::recursive_mutex>;

Bus& Bus::Instance() {
  static Bus bus;
  return bus;
}

void Bus::Reset() {
  auto& s = State();
  Lock lock(s.mutex);
  for (const auto& a : s.attachments) {
    a->present = false;
    a->leaveAt = a->rejoinAt = detail::kNever;
  }
  s.attachments.clear();
  for (hid_device* handle : s.handles) {
    handle->cutOff = true;
    handle->counted = false;
    handle->reports.clear();
  }
  s.traffic.clear();
  s.emptyReads = 0;
  s.openHandles = 0;
  s.initialised = false;
  s.exitCount = 0;
  s.enumerateCount = 0;
  s.portCounter = 0;
  s.openFails = false;
  s.lastError = nullptr;
  s.SwitchClock(false);
  s.changed.notify_all();
}

void Bus::Plug(std::shared_ptr<SimDevice> device) {
  if (!device) return;
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  auto attachment = s.FindOrAdd(std::move(device));
  if (!attachment->present) s.Join(*attachment);
}

void Bus::Unplug(const SimDevice& device) {
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  if (auto attachment = s.Find(device)) {
    if (attachment->present) s.Leave(*attachment);
    attachment->rejoinAt = detail::kNever;
  }
}

void Bus::PlugAfter(std::shared_ptr<SimDevice> device, int64_t delayMs) {
  if (!device) return;
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  auto attachment = s.FindOrAdd(std::move(device));
  detail::Attachment& a = *attachment;
  const detail::BusTime joinAt = detail::AddMs(s.Now(), std::max<int64_t>(delayMs, 0));
  if (!a.present) {
    a.rejoinAt = joinAt;
  } else if (a.leaveAt != detail::kNever) {
    const detail::BusTime gap = joinAt > a.leaveAt ? joinAt - a.leaveAt : 0;
    a.rejoinAfterMs = (gap + detail::kNsPerMs - 1) / detail::kNsPerMs;
  }
  s.changed.notify_all();
}

bool Bus::IsPlugged(const SimDevice& device) const {
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  auto attachment = s.Find(device);
  return attachment && attachment->present;
}

void Bus::UseVirtualClock(bool on) {
  auto& s = State();
  Lock lock(s.mutex);
  s.Settle();
  s.SwitchClock(on);
}

int64_t Bus::NowMs() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.Now() / detail::kNsPerMs;
}

void Bus::AdvanceMs(int64_t ms) {
  if (ms <= 0) return;
  auto& s = State();
  Lock lock(s.mutex);
  if (!s.virtualClock) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    lock.lock();
  } else {
    s.virtualNow = detail::AddMs(s.virtualNow, ms);
    s.changed.notify_all();
  }
  s.Settle();
}

std::vector<TrafficRecord> Bus::Traffic() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.traffic;
}

std::vector<TrafficRecord> Bus::Writes() const {
  auto& s = State();
  Lock lock(s.mutex);
  std::vector<TrafficRecord> writes;
  for (const auto& record : s.traffic) {
    if (record.direction == Direction::HostToDevice) writes.push_back(record);
  }
  return writes;
}

void Bus::ClearTraffic() {
  auto& s = State();
  Lock lock(s.mutex);
  s.traffic.clear();
}

int Bus::EmptyReads() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.emptyReads;
}

int Bus::OpenHandles() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.openHandles;
}

bool Bus::Initialised() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.initialised;
}

int Bus::ExitCount() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.exitCount;
}

int Bus::EnumerateCount() const {
  auto& s = State();
  Lock lock(s.mutex);
  return s.enumerateCount;
}

void Bus::SetOpenFails(bool fails) {
  auto& s = State();
  Lock lock(s.mutex);
  s.openFails = fails;
}

}  // namespace pellix_usb_encoder::sim

namespace pellix_usb_encoder::sim {

std::string SimDevice::UsbPort() const {
  std::lock_guard lock(portMutex_);
  return usbPort_;
}

void SimDevice::SetUsbPort(const std::string& port) {
  std::lock_guard lock(portMutex_);
  usbPort_ = port;
}

}  // namespace pellix_usb_encoder::sim
