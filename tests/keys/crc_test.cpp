#include "firmware/core/crc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string_view>
#include <vector>

namespace pellix_usb_encoder {
namespace {

uint16_t CrcOf(const std::vector<uint8_t>& bytes, uint16_t init = 0xFFFF) {
  CRC crc(init);
  for (uint8_t b : bytes) crc.CrcInput(b);
  return crc.GetCrcValue();
}

std::vector<uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Plain shift-register CRC-16 with polynomial 0x1021, MSB first, no reflection.
uint16_t BitwiseCrc(const std::vector<uint8_t>& bytes, uint16_t init) {
  uint16_t crc = init;
  for (uint8_t b : bytes) {
    crc ^= static_cast<uint16_t>(b << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

TEST(Crc16, CheckValues) {
  EXPECT_EQ(CrcOf(Bytes("123456789")), 0x29B1);
  EXPECT_EQ(CrcOf(Bytes("abc")), 0x514A);
  EXPECT_EQ(CrcOf({}), 0xFFFF);
}

TEST(Crc16, MatchesBitwiseReferenceOnRandomData) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 600);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> data(length(rng));
    for (auto& b : data) b = static_cast<uint8_t>(byte(rng));
    // Odd rounds use an arbitrary start value, so the high-byte feedback is exercised
    // from states other than 0xFFFF too.
    const uint16_t init = (round % 2) ? static_cast<uint16_t>(rng()) : uint16_t{0xFFFF};
    ASSERT_EQ(CrcOf(data, init), BitwiseCrc(data, init)) << "round " << round;
  }
}

TEST(Crc16, InitRestartsTheAccumulator) {
  CRC crc(0x1234);
  EXPECT_EQ(crc.GetCrcValue(), 0x1234);
  for (uint8_t b : Bytes("left over")) crc.CrcInput(b);
  crc.CrcInit(0xFFFF);
  EXPECT_EQ(crc.GetCrcValue(), 0xFFFF);
  for (uint8_t b : Bytes("123456789")) crc.CrcInput(b);
  EXPECT_EQ(crc.GetCrcValue(), 0x29B1);
}

}  // namespace
}  // namespace pellix_usb_encoder
