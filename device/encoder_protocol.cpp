#include "device/encoder_protocol.h"

#include <algorithm>

#include "device/device_text.h"

namespace pellix_usb_encoder {

namespace {

// Reads a zero-terminated text starting at `pos`, stopping at the end of the data when
// the terminator is missing. Leaves `pos` just past the terminator (or at the end).
std::string ReadText(const uint8_t* data, uint32_t length, uint32_t& pos) {
  const uint8_t* begin = data + std::min(pos, length);
  const uint8_t* end = data + length;
  const uint8_t* zero = std::find(begin, end, uint8_t{0});
  pos = static_cast<uint32_t>(zero - data) + (zero == end ? 0 : 1);
  // The texts end up in the configuration file, the windows and a terminal: a line
  // break or an escape sequence from the device must not reach any of them.
  return PrintableDeviceText(std::string(begin, zero));
}

}  // namespace

bool ParseStatusBlock(const uint8_t* data, uint32_t length, EncoderStatus& status) {
  if (data == nullptr || length < static_cast<uint32_t>(status_offset::FirmwareVersion)) {
    return false;
  }
  EncoderStatus decoded;
  decoded.volLedBrightness = data[status_offset::VolLedBrightness];
  decoded.jackLedBrightness = data[status_offset::JackLedBrightness];
  decoded.jackStatus = data[status_offset::JackStatus];
  decoded.keypadType = data[status_offset::KeypadType];
  std::copy_n(data + status_offset::KeyCodeTable, KeyCodeTableSize, decoded.keyCodeTable.begin());
  uint32_t pos = status_offset::FirmwareVersion;
  decoded.firmwareVersion = ReadText(data, length, pos);
  decoded.serialNumber = ReadText(data, length, pos);
  status = std::move(decoded);
  return true;
}

}  // namespace pellix_usb_encoder
