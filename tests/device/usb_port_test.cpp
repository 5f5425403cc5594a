// Windows' location properties of a USB device node read as a port: LocationInfo's last
// hub and port, LocationPaths' chain of ports under a bus named by the controller's place.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "device/usb_port.h"

namespace pellix_usb_encoder {
namespace {

using namespace std::string_literals;

TEST(WindowsLocation, InfoGivesHubAndPort) {
  const std::pair<std::string, std::string> cases[] = {
      {"Port_#0003.Hub_#0002", "2-3"},
      {"Port_#0012.Hub_#0104", "104-12"},
      {"Port_#3.Hub_#00000000000000000001", "1-3"},
      {"Port_#0000.Hub_#0002", ""},  // ports and hubs count from 1
      {"Port_#0003.Hub_#0000", ""},
      {"Port_#0256.Hub_#0002", ""},  // more than a hub's 255 ports
      {"Port_#0003.Hub_#99999999999999999999", ""},
      {"Port_#00a3.Hub_#0002", ""},
      {"Port_#-3.Hub_#0002", ""},
      {"Port_#0003.Hub_#0002 ", ""},
      {"Port_#0003.Hub_#0002\0"s, ""},
      {"port_#0003.hub_#0002", ""},
      {"Port_#0003", ""},
      {"Port_#.Hub_#", ""},
      {"0000.0014.0000.002.003.000.000.000.000", ""},
      {"", ""},
  };
  for (const auto& [info, port] : cases) EXPECT_EQ(UsbPortOfLocationInfo(info), port) << info;
}

TEST(WindowsLocation, PathsGiveTheChainUnderTheController) {
  const std::string onboard = "PCIROOT(0)#PCI(1400)#USBROOT(0)";  // bus 424030435
  const std::string acpi = "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)\0"s;
  const std::pair<std::string, std::string> cases[] = {
      {onboard + "#USB(2)\0"s + acpi + "\0"s, "424030435-2"},
      {onboard + "#USB(2)#USB(3)#USBMI(1)\0\0"s, "424030435-2.3"},  // an interface node
      {onboard + "#USB(002)#USB(4)#USB(1)#USB(7)#USB(12)\0\0"s, "424030435-2.4.1.7.12"},
      {onboard + "#USB(2)", "424030435-2"},  // unterminated
      // The first path that parses counts; nothing after the empty one that ends the list.
      {acpi + onboard + "#USB(5)\0\0"s, "424030435-5"},
      {"\0"s + onboard + "#USB(5)\0\0"s, ""},
      // Two cards, each at PCI(0000) behind its own bridge, and a controller off PCI.
      {"PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(1)\0\0"s, "70494966-1"},
      {"PCIROOT(0)#PCI(1C05)#PCI(0000)#USBROOT(0)#USB(1)\0\0"s, "497662181-1"},
      {"ACPI(_SB_)#ACPI(URS0)#ACPI(USB0)#USBROOT(0)#USB(1)\0\0"s, "2783394214-1"},
      {onboard + "\0\0"s, ""},  // the root hub itself
      {"USBROOT(0)#USB(2)\0\0"s, ""},
      {onboard + "#USB(0)\0\0"s, ""},
      {onboard + "#USB(256)\0\0"s, ""},
      {onboard + "#USB(99999999999999999999999)\0\0"s, ""},
      {onboard + "#USB(2a)\0\0"s, ""},
      {onboard + "#USB()\0\0"s, ""},
      {onboard + "#USB(2#USB(3)\0\0"s, ""},
      {"PCIROOT(0)#PCI(1400)#USBROOT(x)#USB(2)\0\0"s, ""},
      {"PCIROOT(0)##PCI(1400)#USBROOT(0)#USB(2)\0\0"s, ""},
      {"PCIROOT(0)#PCI((1400))#USBROOT(0)#USB(2)\0\0"s, ""},
      {"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(x)#USB(3)\0\0"s, "424030435-2"},
      {std::string(100000, '#'), ""},
      {"", ""},
  };
  for (const auto& [paths, port] : cases) EXPECT_EQ(UsbPortOfLocationPaths(paths), port) << paths;
  // The bus names the controller: the same for the device and its interface, for every port.
  EXPECT_EQ(UsbPortOfLocationPaths("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(9)#USBMI(1)"),
            UsbPortOfLocationPaths("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(9)"));
}

}  // namespace
}  // namespace pellix_usb_encoder
