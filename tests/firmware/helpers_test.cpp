// The upgrade's checksum and images, without a device.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/ui/upgrade_window.h"

namespace pellix_usb_encoder {
namespace {

// The checksum covers the counted bytes only; failures give values no checksum can equal.
TEST(UpgradeHelpers, ChecksumOfTheCountedBytesOnlyAndFailuresApart) {
  DataBlock_ block{};
  std::memset(block.bytes, 0x5A, sizeof block.bytes);
  std::memcpy(block.bytes, "abcdef", 6);
  block.byteCount = 3;
  EXPECT_EQ(firmware_upgrade::Calculate_CRC(block), 0x514Au);  // CRC-16/CCITT-FALSE of "abc"
  char missing[] = "/nonexistent/firmware.txt";
  EXPECT_EQ(firmware_upgrade::CRC_Check_File(missing), 0xFFFFFFFEu);
  EXPECT_EQ(firmware_upgrade::EraseDataSegment_File(missing), 0xFFFFFFFEu);
  EXPECT_EQ(firmware_upgrade::CRC_Check(0x4400, 16, 0), 0xFFFFFFFFu);
  // On the simulated bus the RAM loader is the stand-in built into the program.
  EXPECT_EQ(Firmware::GetString("RAM_BSL.Text").rfind("@2500\r\n00 06 05 34 ", 0), 0u);
}

}  // namespace
}  // namespace pellix_usb_encoder
