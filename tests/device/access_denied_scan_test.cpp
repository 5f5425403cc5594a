// LastScanFoundButCouldNotOpen: set only when interface 1 of the encoder is listed but
// opening it fails, and cleared by every later scan that does not meet that case.
#include <gtest/gtest.h>

#include <cstring>

#include "device/hid_transport.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;

class AccessDeniedScanTest : public ::testing::Test {
 protected:
  void SetUp() override { Bus::Instance().Reset(); }
  void TearDown() override {
    hid_exit_safely(nullptr);
    Bus::Instance().Reset();
  }
  hid_device* Scan() {
    std::memset(manufacturer, 'x', sizeof manufacturer);
    std::memset(product, 'x', sizeof product);
    return ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  }
  char manufacturer[DeviceNameBufferSize];
  char product[DeviceNameBufferSize];
};

TEST_F(AccessDeniedScanTest, ListedButRefusedIsReported) {
  auto twin = sim::PlugEncoder();
  Bus::Instance().SetOpenFails(true);
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_TRUE(LastScanFoundButCouldNotOpen());
  EXPECT_STREQ(manufacturer, "None");
  EXPECT_STREQ(product, "None");
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);

  // Once the open succeeds the flag is cleared.
  Bus::Instance().SetOpenFails(false);
  hid_device* device = Scan();
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(LastScanFoundButCouldNotOpen());
  hid_exit_safely(device);
}

TEST_F(AccessDeniedScanTest, NotFoundIsNotAccessDenied) {
  // Nothing on the bus, opens failing: nothing was found, so nothing was denied.
  Bus::Instance().SetOpenFails(true);
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_FALSE(LastScanFoundButCouldNotOpen());

  // A denied scan followed by one with the encoder gone clears the flag.
  auto twin = sim::PlugEncoder();
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_TRUE(LastScanFoundButCouldNotOpen());
  Bus::Instance().Unplug(*twin);
  EXPECT_EQ(Scan(), nullptr);
  EXPECT_FALSE(LastScanFoundButCouldNotOpen());
}

}  // namespace
}  // namespace pellix_usb_encoder
