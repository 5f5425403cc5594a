// Scan rules: interface 1 only, "None" and "Unable To Find", narrowing and bounding of
// the names, open failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "device/hid_transport.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;

// A device with the encoder's identifiers whose interfaces and names a test chooses.
class OddDevice : public sim::SimDevice {
 public:
  OddDevice(std::vector<sim::SimInterface> interfaces, std::wstring manufacturer,
            std::wstring product)
      : interfaces_(std::move(interfaces)), manufacturer_(std::move(manufacturer)),
        product_(std::move(product)) {}
  uint16_t VendorId() const override { return EncoderVendorId; }
  uint16_t ProductId() const override { return EncoderProductId; }
  std::vector<sim::SimInterface> Interfaces() const override { return interfaces_; }
  std::wstring Manufacturer() const override { return manufacturer_; }
  std::wstring Product() const override { return product_; }
  std::wstring SerialNumberString() const override { return L""; }
  bool OnWrite(int, const uint8_t*, size_t, sim::WriteContext&) override { return true; }

 private:
  std::vector<sim::SimInterface> interfaces_;
  std::wstring manufacturer_, product_;
};

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Instance().Reset();
    std::memset(manufacturer, 'x', sizeof manufacturer);
    std::memset(product, 'x', sizeof product);
  }
  hid_device* Scan() {
    return ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  }
  // Bytes beyond the buffer are checked by keeping a guard after it.
  char manufacturer[DeviceNameBufferSize];
  char guard1[8] = {};
  char product[DeviceNameBufferSize];
  char guard2[8] = {};
};

TEST_F(ScanTest, FindsTheConfigurationInterfaceOfTheEncoder) {
  auto twin = sim::PlugEncoder();
  hid_device* device = Scan();
  ASSERT_NE(device, nullptr);
  EXPECT_STREQ(manufacturer, "Orvane Interface");
  EXPECT_STREQ(product, "Ovitone USB Encoder");
  // The handle is the configuration interface: it answers a status request.
  ASSERT_EQ(hid_write(device, std::array<uint8_t, 64>{0x3F, 0x40, 0x02, '0', '1', '0', '0', 0x03,
                                                       0x00}.data(), 64),
            64);
  auto writes = Bus::Instance().Writes();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().interfaceNumber, 1);
  hid_exit_safely(device);
}

TEST_F(ScanTest, NoEncoderOrNoInterfaceOneGivesNone) {
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_STREQ(manufacturer, "None");
  EXPECT_STREQ(product, "None");

  Bus::Instance().Plug(std::make_shared<OddDevice>(
      std::vector<sim::SimInterface>{{0, 1, 6}, {2, 0xFF00, 1}}, L"Orvane", L"Keyboard only"));
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_STREQ(product, "None");
  hid_exit_safely(nullptr);
}

TEST_F(ScanTest, OpenFailureGivesNone) {
  sim::PlugEncoder();
  Bus::Instance().SetOpenFails(true);
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_STREQ(manufacturer, "None");
  hid_exit_safely(nullptr);
}

TEST_F(ScanTest, UnreadableNamesStillGiveTheDevice) {
  auto twin = sim::PlugEncoder();
  twin->SetNamesReadable(false);
  hid_device* device = Scan();
  ASSERT_NE(device, nullptr);
  EXPECT_STREQ(manufacturer, "Unable To Find");
  EXPECT_STREQ(product, "Unable To Find");
  hid_exit_safely(device);
}

TEST_F(ScanTest, NamesAreNarrowedAndBoundedToTheBuffer) {
  const std::wstring longName(200, L'M');
  Bus::Instance().Plug(std::make_shared<OddDevice>(
      std::vector<sim::SimInterface>{{1, 0xFF00, 1}}, longName, L"Caf\u00e9 \u0141\u2603"));
  hid_device* device = Scan();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(std::string(manufacturer), std::string(DeviceNameBufferSize - 1, 'M'));
  EXPECT_TRUE(std::all_of(std::begin(guard1), std::end(guard1), [](char c) { return c == 0; }));
  // Each UTF-16 unit keeps its low byte: U+00E9 -> 0xE9, U+0141 -> 0x41, U+2603 -> 0x03.
  EXPECT_EQ(std::string(product), std::string("Caf\xE9 \x41\x03"));
  hid_exit_safely(device);
}

TEST_F(ScanTest, TakesTheFirstEncoderWithInterfaceOne) {
  auto first = sim::PlugEncoder();
  auto second = sim::PlugEncoder();
  second->SetSerialNumber("SECOND01");
  hid_device* device = Scan();
  ASSERT_NE(device, nullptr);
  uint8_t reply[64];
  uint32_t length = 0;
  ASSERT_EQ(USBEncoderSendAndReceive_a(device, 0x01, nullptr, 0, reply, 64, &length, 5000), 0);
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + length), first->StatusBlock());
  hid_exit_safely(device);
}

}  // namespace
}  // namespace pellix_usb_encoder
