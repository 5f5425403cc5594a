#include "firmware/core/crc.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace pellix_usb_encoder {
namespace {

// Plain shift-register CRC-16 with polynomial 0x1021, MSB first, no reflection.
uint16_t BitwiseCrc(const std::vector<uint8_t>& bytes, uint16_t crc) {
  for (uint8_t b : bytes) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// CRC-16/CCITT-FALSE's check value, then random data from random start values against
// the bitwise reference, on one accumulator restarted each round.
TEST(Crc16, MatchesTheCheckValueAndTheBitwiseReference) {
  CRC crc(0x1234);
  crc.CrcInput('x'), crc.CrcInit(0xFFFF);  // what was fed before is gone
  for (char c : std::string("123456789")) crc.CrcInput(uint8_t(c));
  EXPECT_EQ(crc.GetCrcValue(), 0x29B1);

  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data(rng() % 600);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint16_t init = (round % 2) ? static_cast<uint16_t>(rng()) : uint16_t{0xFFFF};
    crc.CrcInit(init);
    for (uint8_t b : data) crc.CrcInput(b);
    ASSERT_EQ(crc.GetCrcValue(), BitwiseCrc(data, init)) << "round " << round;
  }
}

}  // namespace
}  // namespace pellix_usb_encoder
