// CRC-16 accumulator used to verify programmed flash against the device's loader.
//
// The checksum is CRC-16/CCITT-FALSE: polynomial 0x1021, input and output not
// reflected, no final XOR. The usual start value is 0xFFFF; the accumulator takes it
// as an argument so that the caller chooses it explicitly.
#pragma once

#include <cstdint>

namespace pellix_usb_encoder {

class CRC {
 public:
  explicit CRC(uint16_t init);

  // Restarts the accumulator at `init`, discarding everything fed so far.
  void CrcInit(uint16_t init);
  // Feeds one byte, most significant bit first.
  void CrcInput(uint8_t data);
  // The checksum of the bytes fed since the last start.
  uint16_t GetCrcValue() const;

 private:
  uint16_t crc;
};

}  // namespace pellix_usb_encoder
