// The upgrade window's text helpers, checksum and images, without a device.
#include <gtest/gtest.h>

#include <QStringList>
#include <cstring>

#include "firmware/ui/upgrade_window.h"

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

TEST(UpgradeHelpers, TextHelpers) {
  QStringList widened;
  for (const char* hex : {"0x200", "0x2047", "0x20", "0x2", "0x", "0x12345"})
    widened << firmware_upgrade::padHexStringValue(hex);
  EXPECT_EQ(widened, QStringList({"0x0200", "0x2047", "0x0020", "0x0002", "0x000", "0x12345"}));

  char buffer[8];
  std::memset(buffer, 'X', sizeof buffer);
  firmware_upgrade::StringToChar(QString("ab") + QChar(0x00E9) + QChar(0x0141), buffer);
  EXPECT_EQ(std::string(buffer, 8), std::string("ab\xE9\x41XXXX", 8));
  firmware_upgrade::StringToChar(QString(), buffer);  // nothing to copy: nothing written
  EXPECT_EQ(buffer[0], 'a');

  // Paths keep every character as the system spells it; one it cannot spell is refused.
  const std::pair<QString, const char*> paths[] = {
      {QString("/tmp/") + QChar(0x20AC) + "uro.txt", "/tmp/\xE2\x82\xAC" "uro.txt"},
      {QString("/tmp/a") + QChar(0xD800) + "b.txt", nullptr},  // half a surrogate pair
      {QString("/tmp/a") + QChar(0) + "b.txt", nullptr},
  };
  for (const auto& [path, bytes] : paths) {
    QByteArray spelled;
    EXPECT_EQ(firmware_upgrade::PathToBytes(path, spelled), bytes != nullptr);
    if (bytes) {
      EXPECT_EQ(spelled, QByteArray(bytes));
    }
  }
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
  EXPECT_EQ(Firmware::GetString("Forced_BOR.Text"), "@0120\r\n04 A5 \r\nq");
  EXPECT_EQ(Firmware::GetString("unknown"), "");

  // On the simulated bus the RAM loader is the stand-in built into the program.
  const QString ram = Firmware::GetString("RAM_BSL.Text");
  EXPECT_TRUE(ram.startsWith("@2500\r\n00 06 05 34 ")) << ram.left(40).toStdString();
}

}  // namespace
}  // namespace pellix_usb_encoder
