// A unit's USB port: read from the sysfs path behind a hidraw node, or from a path that
// names it; and the encoder session opening only the encoder on a given port.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "device/encoder_session.h"
#include "device/usb_port.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

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

TEST(UsbPort, TheSessionOpensTheEncoderOnItsPortOnly) {
  sim::Bus::Instance().Reset();
  auto first = sim::PlugEncoder(), second = sim::PlugEncoder();
  second->SetSerialNumber("OV999999");
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
  sim::Bus::Instance().Reset();
}

}  // namespace
}  // namespace pellix_usb_encoder
