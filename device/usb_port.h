// Which physical USB port a unit is plugged into. A unit keeps its port while it goes
// into its firmware loader and comes back, whereas its place in an enumeration and its
// device path change, so the port is how the program follows one unit.
#pragma once

#include <string>
#include <vector>

namespace pellix_usb_encoder {

// Loader identifiers: the encoder's microcontroller while it runs its USB loader.
constexpr int LoaderVendorId = 0x2047, LoaderProductId = 0x0200;

// The USB port ("1-2.3": bus, then the port numbers from the root hub down) of the HID
// device at `path`, as hidapi lists it; empty when it cannot be learnt.
//   - "/dev/hidrawN" (Linux): read from sysfs, behind the hidraw node;
//   - "\\?\HID#..." (Windows): read from the USB device node above the HID interface;
//   - a path that names its port itself with "port=" (the simulated bus does).
std::string UsbPortOfPath(const char* path);

// The port named by a USB device node's DEVPKEY_Device_LocationInfo on Windows:
// "Port_#0003.Hub_#0002" gives "2-3", the hub's number standing for the bus. Empty for
// any other text, and for numbers that are zero or out of range.
std::string UsbPortOfLocationInfo(const std::string& info);

// The port named by a device node's DEVPKEY_Device_LocationPaths on Windows, in UTF-8:
// a list of paths, each ended by a NUL and the list by an empty one, such as
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)\0ACPI(_SB_)#...\0\0". The first path
// with "USBROOT(r)" followed by "USB(n)" elements gives the ports from the root hub down
// ("2.3"); a number made from the elements up to USBROOT, which place the controller,
// stands for the bus. Anything after the USB(n) elements (USBMI(i) on an interface of a
// composite device) is ignored. Empty when no path parses.
std::string UsbPortOfLocationPaths(const std::string& paths);

// The port named by a sysfs device path such as
// "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.1/0003:2047:0A3B.0005":
// its last element of the form "B-P[.P...]". Empty when there is none.
std::string UsbPortOfSysfsPath(const std::string& sysfsPath);

// A device's wide text (a serial number, an error) as printable ASCII: every other
// character becomes '?'.
std::string PrintableText(const wchar_t* text);

// One unit on the bus: an encoder running its firmware (its configuration interface) or
// a unit waiting in its firmware loader.
struct UsbUnit {
  bool inLoader = false;
  std::string port;       // empty when it cannot be learnt
  std::string path;       // hidapi's path of the interface
  std::string usbSerial;  // the USB serial number string, narrowed; may be empty
};

// Every encoder and loader on the bus now, encoders first, each in enumeration order.
// Runs under the device lock.
std::vector<UsbUnit> ListUnits();

}  // namespace pellix_usb_encoder
