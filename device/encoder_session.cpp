#include "device/encoder_session.h"

#include "device/device_lock.h"
#include "device/hid_transport.h"

namespace pellix_usb_encoder {

ScanOutcome ReopenEncoder() {
  DeviceLock lock = LockDevice();
  char manufacturer[DeviceNameBufferSize];
  char product[DeviceNameBufferSize];
  if (hid_handle != nullptr) hid_exit_safely(hid_handle);
  hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  if (hid_handle != nullptr) return ScanOutcome::Opened;
  return LastScanFoundButCouldNotOpen() ? ScanOutcome::AccessDenied : ScanOutcome::NotFound;
}

void CloseEncoder() {
  DeviceLock lock = LockDevice();
  if (hid_handle == nullptr) return;
  hid_exit_safely(hid_handle);
  hid_handle = nullptr;
}

int32_t SendToEncoder(uint8_t command, const uint8_t* payload, int length, uint8_t* reply,
                      int replySize, uint32_t* replyLength) {
  uint8_t scratch[64] = {};
  uint32_t scratchLength = 0;
  if (reply == nullptr) {
    reply = scratch;
    replySize = sizeof scratch;
  }
  if (replyLength == nullptr) replyLength = &scratchLength;
  DeviceLock lock = LockDevice();
  return USBEncoderSendAndReceive_a(hid_handle, command, payload, length, reply, replySize,
                                    replyLength, CommandTimeoutMs);
}

bool ReadEncoderStatus(EncoderStatus& status) {
  uint8_t reply[64] = {};
  uint32_t replyLength = 0;
  if (SendToEncoder(GetStatus, nullptr, 0, reply, sizeof reply, &replyLength) != ResultOk) {
    return false;
  }
  return ParseStatusBlock(reply, replyLength, status);
}

}  // namespace pellix_usb_encoder
