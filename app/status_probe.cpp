#include "app/status_probe.h"

#include <cstdio>
#include <ostream>

#include "device/device_lock.h"
#include "device/encoder_protocol.h"
#include "device/hid_transport.h"

namespace pellix_usb_encoder {

namespace {

const char* KeypadTypeName(int type) {
  switch (type) {
    case 0: return "default";
    case 1: return "alternate";
    case 2: return "customised";
    default: return "unknown";
  }
}

std::string HexTable(const std::array<uint8_t, 8>& table) {
  std::string text;
  char pair[8];
  for (size_t i = 0; i < table.size(); i += 2) {
    std::snprintf(pair, sizeof pair, "%s%02X %02X", i ? "  " : "", table[i], table[i + 1]);
    text += pair;
  }
  return text;
}

}  // namespace

int RunStatusProbe(std::ostream& out) {
  DeviceLock lock = LockDevice();
  char manufacturer[DeviceNameBufferSize];
  char product[DeviceNameBufferSize];
  if (hid_handle != nullptr) hid_exit_safely(hid_handle);
  hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  if (hid_handle == nullptr) {
    out << "No Ovitone encoder found (USB 2047:0A3B, interface 1).\n";
    hid_exit_safely(nullptr);
    return ProbeNoDevice;
  }
  out << "Found: " << manufacturer << " - " << product << "\n";

  uint8_t reply[64] = {};
  uint32_t replyLength = 0;
  const int32_t result = USBEncoderSendAndReceive_a(hid_handle, GetStatus, nullptr, 0, reply,
                                                    sizeof reply, &replyLength, CommandTimeoutMs);
  EncoderStatus status;
  int code = ProbeFound;
  if (result != ResultOk || !ParseStatusBlock(reply, replyLength, status)) {
    out << "Unable to get device status information (result " << result << ").\n";
    code = ProbeStatusFailed;
  } else {
    out << "Firmware version:      " << status.firmwareVersion << "\n"
        << "Serial number:         "
        << (status.serialNumber.empty() ? "(none)" : status.serialNumber) << "\n"
        << "Jack:                  " << (JackInserted(status) ? "inserted" : "not inserted") << "\n"
        << "Code table in use:     " << status.keypadType << " (" << KeypadTypeName(status.keypadType)
        << ")\n"
        << "Volume LED brightness: " << status.volLedBrightness << "\n"
        << "Jack LED brightness:   " << status.jackLedBrightness << "\n"
        << "Custom key table:      " << HexTable(status.keyCodeTable)
        << "   (Vol Up, Vol Down, Jack IN, Jack OUT: modifier, usage)\n";
  }
  hid_exit_safely(hid_handle);
  hid_handle = nullptr;
  return code;
}

}  // namespace pellix_usb_encoder
