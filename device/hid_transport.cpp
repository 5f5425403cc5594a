#include "device/hid_transport.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "device/device_lock.h"
#include "device/device_text.h"
#include "device/frame.h"
#include "device/trace.h"
#include "device/usb_port.h"

namespace pellix_usb_encoder {

hid_device* hid_handle = nullptr;

namespace {

// One empty poll waits this long for a report and counts this much toward the time-out.
constexpr int PollIntervalMs = 10;
// The longest a whole exchange may take while the device keeps acknowledging.
constexpr int MaxExchangeMs = 30000;
// Reports dropped before a request at most; a device cannot keep the drain going.
constexpr int MaxStaleReports = 64;
constexpr int MaxNameUnits = 255;

void CopyText(const char* text, char* buffer) {
  std::strncpy(buffer, text, DeviceNameBufferSize - 1);
  buffer[DeviceNameBufferSize - 1] = '\0';
}

// Copies a UTF-16 name narrowed to its low bytes, control characters replaced, bounded
// to the caller's buffer.
void CopyNarrowed(const wchar_t* name, char* buffer) {
  std::string narrowed;
  for (int i = 0; i < DeviceNameBufferSize - 1 && name[i] != L'\0'; ++i) {
    narrowed.push_back(static_cast<char>(static_cast<unsigned>(name[i]) & 0xFFu));
  }
  CopyText(PrintableDeviceText(std::move(narrowed)).c_str(), buffer);
}

// Reads one of the device's name strings into `buffer`, or "Unable To Find".
void ReadName(hid_device* device, int (*getter)(hid_device*, wchar_t*, size_t), char* buffer) {
  wchar_t name[MaxNameUnits + 1] = {};
  if (getter(device, name, MaxNameUnits + 1) == 0) {
    name[MaxNameUnits] = L'\0';
    CopyNarrowed(name, buffer);
  } else {
    CopyText("Unable To Find", buffer);
  }
}

// Set by each scan: interface 1 was listed but hid_open_path refused it.
std::atomic<bool> lastScanFoundButCouldNotOpen{false};

}  // namespace

hid_device* OpenConfigInterface(int vendorId, int productId, const std::string& port,
                                bool& foundButCouldNotOpen) {
  foundButCouldNotOpen = false;
  // Make sure the library is initialised: enumerating everything once does that.
  hid_free_enumeration(hid_enumerate(0, 0));

  hid_device_info* list = hid_enumerate(static_cast<unsigned short>(vendorId),
                                        static_cast<unsigned short>(productId));
  hid_device* device = nullptr;
  for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    if (entry->interface_number != ConfigInterfaceNumber) continue;
    if (!port.empty() && UsbPortOfPath(entry->path) != port) continue;
    device = hid_open_path(entry->path);
    foundButCouldNotOpen = device == nullptr;
    break;
  }
  hid_free_enumeration(list);
  return device;
}

hid_device* ScanForUSBDevice_a(int vendorId, int productId, char* manufacturer, char* product) {
  DeviceLock lock = LockDevice();
  bool foundButCouldNotOpen = false;
  hid_device* device = OpenConfigInterface(vendorId, productId, {}, foundButCouldNotOpen);
  lastScanFoundButCouldNotOpen.store(foundButCouldNotOpen);
  if (device == nullptr) {
    CopyText("None", manufacturer);
    CopyText("None", product);
    return nullptr;
  }
  ReadName(device, hid_get_manufacturer_string, manufacturer);
  ReadName(device, hid_get_product_string, product);
  hid_set_nonblocking(device, 1);
  return device;
}

bool LastScanFoundButCouldNotOpen() { return lastScanFoundButCouldNotOpen.load(); }

int32_t USBEncoderSendAndReceive_a(hid_device* device, uint8_t command, const uint8_t* payload,
                                   int payloadLength, uint8_t* reply, int replySize,
                                   uint32_t* replyLength, int timeoutMs) {
  if (device == nullptr) return ResultNoDevice;
  DeviceLock lock = LockExchange();

  uint8_t buffer[ReportSize];
  // A reply can only answer the request about to be sent: whatever is waiting now (a
  // reply that came after its time-out, a duplicate) is dropped first.
  for (int stale = 0; stale < MaxStaleReports; ++stale) {
    const int read = hid_read_timeout(device, buffer, ReportSize, 0);
    if (read <= 0) break;
    TraceReport(device, false, buffer, static_cast<size_t>(read));
  }
  BuildRequestReport(buffer, command, payload, payloadLength);
  if (hid_write(device, buffer, ReportSize) < 0) return ResultNoDevice;
  TraceReport(device, true, buffer, ReportSize);

  // Wait for the reply. hid_read_timeout returns as soon as a report arrives, so an
  // exchange costs the device's own latency and nothing more; each empty wait counts
  // as one 10 ms poll toward the time-out, and an acknowledgement starts the count anew.
  // The whole exchange, acknowledgements included (each counted as one poll), ends at
  // MaxExchangeMs (or the time-out, when longer): a device that acknowledges forever
  // does not hold the program forever.
  const int exchangeLimitMs = std::max(timeoutMs, MaxExchangeMs);
  int elapsedMs = 0;
  int totalMs = 0;
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    const int read = hid_read_timeout(device, buffer, ReportSize, PollIntervalMs);
    if (read > 0) TraceReport(device, false, buffer, static_cast<size_t>(read));
    if (timeoutMs != 0) {
      totalMs += PollIntervalMs;
      if (read >= 0 && totalMs >= exchangeLimitMs && (read == 0 || buffer[2] == Ack)) {
        return ResultTimeout;
      }
    }
    if (read == 0) {
      if (timeoutMs != 0) {
        elapsedMs += PollIntervalMs;
        if (elapsedMs >= timeoutMs) return ResultTimeout;
      }
      continue;
    }
    if (read < 0) return ResultNoDevice;
    if (buffer[2] == Ack) {
      elapsedMs = 0;
      continue;
    }
    if (buffer[2] == Refusal) return ResultRefused;
    if (buffer[1] > RequestSizeByte) return ResultOversizeReport;
    return CheckReplyReport(buffer, reply, replySize, replyLength);
  }
}

void hid_exit_safely(hid_device* device) {
  DeviceLock lock = LockDevice();
  if (device != nullptr) hid_close(device);
  hid_exit();
}

}  // namespace pellix_usb_encoder
