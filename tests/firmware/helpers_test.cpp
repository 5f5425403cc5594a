// The upgrade window's text helpers, checksum and images, without a device.
#include <gtest/gtest.h>

#include <QString>
#include <cstring>

#include "firmware/upgrade_window.h"
#include "loader/ti_txt.h"

namespace pellix_usb_encoder {
namespace {

DataBlock_ Block(const char* text, uint32_t countOverride = UINT32_MAX) {
  DataBlock_ block{};
  std::memset(block.bytes, 0x5A, sizeof block.bytes);  // bytes past the count must not count
  const size_t n = std::strlen(text);
  std::memcpy(block.bytes, text, n);
  block.byteCount = countOverride == UINT32_MAX ? static_cast<uint32_t>(n) : countOverride;
  return block;
}

TEST(UpgradeHelpers, HexIdentifiersWidenToFourDigits) {
  EXPECT_EQ(firmware_upgrade::padHexStringValue("0x200"), "0x0200");
  EXPECT_EQ(firmware_upgrade::padHexStringValue("0x2047"), "0x2047");
  EXPECT_EQ(firmware_upgrade::padHexStringValue("0x20"), "0x0020");
  EXPECT_EQ(firmware_upgrade::padHexStringValue("0x2"), "0x0002");
  EXPECT_EQ(firmware_upgrade::padHexStringValue("0x"), "0x000");
  EXPECT_EQ(firmware_upgrade::padHexStringValue("0x12345"), "0x12345");
}

TEST(UpgradeHelpers, StringToCharNarrowsAndWritesNoTerminator) {
  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  firmware_upgrade::StringToChar(QString("ab") + QChar(0x00E9) + QChar(0x0141), buffer);
  EXPECT_EQ(std::string(buffer, 8), std::string("ab\xE9\x41XXXX", 8));
  firmware_upgrade::StringToChar(QString(), buffer);  // nothing to copy: nothing written
  EXPECT_EQ(buffer[0], 'a');
}

TEST(UpgradeHelpers, ChecksumOfTheCountedBytesOnly) {
  EXPECT_EQ(firmware_upgrade::Calculate_CRC(Block("123456789")), 0x29B1u);
  EXPECT_EQ(firmware_upgrade::Calculate_CRC(Block("abc")), 0x514Au);
  EXPECT_EQ(firmware_upgrade::Calculate_CRC(Block("")), 0xFFFFu);
  EXPECT_EQ(firmware_upgrade::Calculate_CRC(Block("abcdef", 3)), 0x514Au);
}

TEST(UpgradeHelpers, UnreadableFilesAreRefusedBeforeAnyDeviceRequest) {
  char missing[] = "/nonexistent/firmware.txt";
  EXPECT_EQ(firmware_upgrade::CRC_Check_File(missing), 0xFFFFFFFEu);
  EXPECT_EQ(firmware_upgrade::EraseDataSegment_File(missing), 0xFFFFFFFEu);
  // Without a loader connection a CRC request fails, which never equals a 16-bit CRC.
  EXPECT_EQ(firmware_upgrade::CRC_Check(0x4400, 16, 0), 0xFFFFFFFFu);
}

TEST(UpgradeHelpers, IdentifiersAndImages) {
  EXPECT_EQ(Firmware::GetString("VID"), "0x2047");
  EXPECT_EQ(Firmware::GetString("PID"), "0x200");
  EXPECT_EQ(Firmware::GetString("RAM_BSL_VERSION"), "00.06.05.34");
  EXPECT_EQ(Firmware::GetString("Forced_BOR.Text"), "@0120\r\n04 A5 \r\nq");
  EXPECT_EQ(Firmware::GetString("unknown"), "");

  // The images are well-formed and hold what the upgrade relies on.
  TiTxtImage password, ram;
  std::string error;
  ASSERT_TRUE(TiTxtParse(Firmware::GetString("password.Text").toStdString(), password, error)) << error;
  ASSERT_EQ(password.runs.size(), 1u);
  EXPECT_EQ(password.runs[0].address, 0xFFE0u);
  EXPECT_EQ(password.runs[0].bytes.size(), 32u);
  const QString ramText = Firmware::GetString("RAM_BSL.Text");
  EXPECT_LT(ramText.size(), 20000);  // fits the loader image buffer with its terminator
  ASSERT_TRUE(TiTxtParse(ramText.toStdString(), ram, error)) << error;
  ASSERT_FALSE(ram.runs.empty());
  EXPECT_EQ(ram.runs[0].address, 0x2500u);
  EXPECT_EQ(std::vector<uint8_t>(ram.runs[0].bytes.begin(), ram.runs[0].bytes.begin() + 4),
            std::vector<uint8_t>({0x00, 0x06, 0x05, 0x34}));
}

}  // namespace
}  // namespace pellix_usb_encoder
