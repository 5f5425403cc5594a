#include "firmware/core/crc.h"

namespace pellix_usb_encoder {

CRC::CRC(uint16_t init) : crc(init) {}

void CRC::CrcInit(uint16_t init) { crc = init; }

// Table-free byte step for polynomial 0x1021. With x the byte that leaves the top of
// the register combined with the input, folding x ^= x >> 4 accounts for the feedback
// of its own high nibble; the polynomial's terms x^12, x^5 and x^0 then become the three
// shifted copies XORed into the register.
void CRC::CrcInput(uint8_t data) {
  unsigned x = ((crc >> 8) ^ data) & 0xFFu;
  x ^= x >> 4;
  crc = static_cast<uint16_t>((static_cast<unsigned>(crc) << 8) ^ (x << 12) ^ (x << 5) ^ x);
}

uint16_t CRC::GetCrcValue() const { return crc; }

}  // namespace pellix_usb_encoder
