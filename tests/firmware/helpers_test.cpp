// The upgrade window's text helpers, checksum and images, without a device.
#include <gtest/gtest.h>

#include <QStringList>
#include <cstring>

#include "firmware/ui/upgrade_window.h"

namespace pellix_usb_encoder {
namespace {

TEST(UpgradeHelpers, TextHelpers) {
  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  firmware_upgrade::StringToChar(QString("ab") + QChar(0x00E9) + QChar(0x0141), buffer);
  EXPECT_EQ(std::string(buffer, 8), std::string("ab\xE9\x41XXXX", 8));
  // Paths keep every character as the system spells it; one it cannot spell is refused.
  QByteArray spelled;
  EXPECT_TRUE(firmware_upgrade::PathToBytes(QString("/tmp/") + QChar(0x20AC) + "uro.txt", spelled));
  EXPECT_EQ(spelled, QByteArray("/tmp/\xE2\x82\xAC" "uro.txt"));
  EXPECT_FALSE(firmware_upgrade::PathToBytes(QString("/tmp/a") + QChar(0xD800) + "b.txt", spelled));  // half a pair
  EXPECT_FALSE(firmware_upgrade::PathToBytes(QString("/tmp/a") + QChar(0) + "b.txt", spelled));
}

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
  EXPECT_TRUE(Firmware::GetString("RAM_BSL.Text").startsWith("@2500\r\n00 06 05 34 "));
}

}  // namespace
}  // namespace pellix_usb_encoder
