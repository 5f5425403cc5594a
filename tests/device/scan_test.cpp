// Scan rules: interface 1 only, "None" and "Unable To Find", narrowing and bounding of
// the names, open failures and the access-denied flag, the first of two encoders; a
// unit's USB port, read from sysfs or a path naming it, and the session opening only
// the encoder on a given port.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "device/usb_port.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;

// A device with the encoder's identifiers whose interfaces and names a test chooses.
struct OddDevice : sim::SimDevice {
  OddDevice(std::vector<sim::SimInterface> i, std::wstring m, std::wstring p)
      : interfaces_(std::move(i)), manufacturer_(std::move(m)), product_(std::move(p)) {}
  uint16_t VendorId() const override { return EncoderVendorId; }
  uint16_t ProductId() const override { return EncoderProductId; }
  std::vector<sim::SimInterface> Interfaces() const override { return interfaces_; }
  std::wstring Manufacturer() const override { return manufacturer_; }
  std::wstring Product() const override { return product_; }
  std::wstring SerialNumberString() const override { return L""; }
  bool OnWrite(int, const uint8_t*, size_t, sim::WriteContext&) override { return true; }
  std::vector<sim::SimInterface> interfaces_;
  std::wstring manufacturer_, product_;
};

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override { Bus::Instance().Reset(); }
  void TearDown() override { hid_exit_safely(nullptr); Bus::Instance().Reset(); }
  hid_device* Scan() {
    std::memset(manufacturer, 'x', sizeof manufacturer);
    std::memset(product, 'x', sizeof product);
    return ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  }
  // Bytes beyond the buffers are checked by keeping a guard after each.
  char manufacturer[DeviceNameBufferSize];
  char guard1[8] = {};
  char product[DeviceNameBufferSize];
  char guard2[8] = {};
};

TEST_F(ScanTest, WhatEachBusGives) {
  auto plugOdd = [](std::vector<sim::SimInterface> interfaces, std::wstring m, std::wstring p) {
    return [=] { Bus::Instance().Plug(std::make_shared<OddDevice>(interfaces, m, p)); };
  };
  auto refused = [] {
    sim::PlugEncoder();
    Bus::Instance().SetOpenFails(true);
  };
  // In this order every case also shows the access-denied flag set afresh by each scan.
  const struct {
    const char* name;
    std::function<void()> setUp;
    bool found, denied;
    std::string manufacturer, product;
  } cases[] = {
      {"open refused", refused, false, true, "None", "None"},
      {"nothing, opens failing", [] { Bus::Instance().SetOpenFails(true); }, false, false, "None", "None"},
      {"no interface 1", plugOdd({{0, 1, 6}, {2, 0xFF00, 1}}, L"Orvane", L"Keyboard only"), false,
       false, "None", "None"},
      {"open refused again", refused, false, true, "None", "None"},
      {"names unreadable", [] { sim::PlugEncoder()->SetNamesReadable(false); }, true, false,
       "Unable To Find", "Unable To Find"},
      // Each UTF-16 unit keeps its low byte: U+00E9 -> 0xE9, U+0141 -> 0x41, U+2603 -> 0x03,
      // a control character, which becomes '?'.
      {"long and wide names", plugOdd({{1, 0xFF00, 1}}, std::wstring(200, L'M'), L"Caf\u00e9 \u0141\u2603"),
       true, false, std::string(DeviceNameBufferSize - 1, 'M'), "Caf\xE9 \x41?"},
      {"encoder", [] { sim::PlugEncoder(); }, true, false, "Orvane Interface", "Ovitone USB Encoder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bus::Instance().Reset();
    c.setUp();
    hid_device* device = Scan();
    EXPECT_EQ(device != nullptr, c.found);
    EXPECT_EQ(LastScanFoundButCouldNotOpen(), c.denied);
    EXPECT_EQ(manufacturer, c.manufacturer);
    EXPECT_EQ(product, c.product);
    EXPECT_EQ(std::string(guard1, 8) + std::string(guard2, 8), std::string(16, '\0'));
    EXPECT_EQ(Bus::Instance().OpenHandles(), c.found ? 1 : 0);
    if (device) {  // the handle is the configuration interface
      uint8_t report[64] = {0x3F, 0x40, 0x02, '0', '1', '0', '0', 0x03, 0x00};
      ASSERT_EQ(hid_write(device, report, 64), 64);
      EXPECT_EQ(Bus::Instance().Writes().back().interfaceNumber, 1);
    }
    hid_exit_safely(device);
  }
}

TEST(UsbPort, ReadFromSysfsAndFromPathsThatNameIt) {
  const std::pair<std::string, std::string> sysfs[] = {
      {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.1/0003:2047:0A3B.0005", "1-2.3"},
      {"/sys/devices/pci0000:00/0000:00:14.0/usb3/3-1/3-1:1.0/0003:2047:0200.0009", "3-1"},
      {"/sys/devices/platform/soc/usb1/1-1/1-1.4/1-1.4.2/1-1.4.2:1.1/0003:2047:0A3B.0001", "1-1.4.2"},
      {"/sys/devices/virtual/misc/uhid/0003:2047:0A3B.0002", ""},  // not on a USB port
      {"/sys/devices/usb1/1-/1-.2/x", ""},
  };
  for (const auto& [path, port] : sysfs) EXPECT_EQ(UsbPortOfSysfsPath(path), port) << path;

  EXPECT_EQ(UsbPortOfPath("sim:2047:0A3B:i1:#4:port=1-2.3"), "1-2.3");
  EXPECT_EQ(UsbPortOfPath("sim:2047:0A3B:i1:#4:port=x"), "");
  EXPECT_EQ(UsbPortOfPath("/dev/hidraw9999"), "");  // no such node
  EXPECT_EQ(UsbPortOfPath(nullptr), "");
}

// A scan takes the first encoder; the session opens the one on the port it is given.
TEST_F(ScanTest, TwoEncodersTheFirstOrTheOneOnAPort) {
  auto first = sim::PlugEncoder(), second = sim::PlugEncoder();
  second->SetSerialNumber("OV999999");
  hid_device* device = Scan();
  uint8_t reply[64];
  uint32_t length = 0;
  ASSERT_EQ(USBEncoderSendAndReceive_a(device, 0x01, nullptr, 0, reply, 64, &length, 5000), 0);
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + length), first->StatusBlock());
  hid_exit_safely(device);
  ASSERT_EQ(ReopenEncoder(second->UsbPort()), ScanOutcome::Opened);
  EXPECT_EQ(OpenEncoderPort(), second->UsbPort());
  EncoderSettings settings;
  ASSERT_TRUE(ReadEncoderSettings(settings));
  EXPECT_EQ(settings.serialNumber, "OV999999");
  EXPECT_EQ(ReopenEncoder("9-9"), ScanOutcome::NotFound);
  EXPECT_EQ(OpenEncoderPort(), "");

  const auto units = ListUnits();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].port, first->UsbPort());
  EXPECT_EQ(units[1].port, second->UsbPort());
  EXPECT_NE(first->UsbPort(), second->UsbPort());
  CloseEncoder();
}

}  // namespace
}  // namespace pellix_usb_encoder
