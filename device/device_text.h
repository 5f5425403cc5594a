// Text that comes from a device or a file, made safe to show. A status text, a USB string
// or a value read back from a file may hold anything; once it reaches a window, a
// terminal or a line of a file, a line break would split the line and an escape
// sequence would reach the terminal. Every such text goes through here first.
#pragma once

#include <string>

namespace pellix_usb_encoder {

// The 8-bit text with every control character (bytes below 0x20, and 0x7F) replaced by
// '?'. Bytes above 0x7F stay: the windows show them as the Latin-1 characters they are.
inline std::string PrintableDeviceText(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return text;
}

}  // namespace pellix_usb_encoder
