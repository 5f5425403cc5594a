#include "device/usb_port.h"

#include <hidapi/hidapi.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "device/device_lock.h"
#include "device/device_text.h"
#include "device/hid_transport.h"

namespace pellix_usb_encoder {

namespace {

// "B-P" or "B-P.P.P": digits, one dash, then dot-separated digits.
bool IsPortName(std::string_view name) {
  const size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 >= name.size()) return false;
  for (size_t i = 0; i < dash; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  bool digitBefore = false;
  for (size_t i = dash + 1; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '.') {
      if (!digitBefore) return false;
      digitBefore = false;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      digitBefore = true;
    } else {
      return false;
    }
  }
  return digitBefore;
}

}  // namespace

std::string PrintableText(const wchar_t* text) {
  // What is not ASCII cannot be narrowed to one byte; control characters go as always.
  std::string out;
  for (; text != nullptr && *text != L'\0'; ++text) {
    const auto c = static_cast<unsigned>(*text);
    out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return PrintableDeviceText(std::move(out));
}

std::string UsbPortOfSysfsPath(const std::string& sysfsPath) {
  std::string port;
  size_t start = 0;
  while (start <= sysfsPath.size()) {
    size_t end = sysfsPath.find('/', start);
    if (end == std::string::npos) end = sysfsPath.size();
    const std::string_view element(sysfsPath.data() + start, end - start);
    if (IsPortName(element)) port = std::string(element);
    start = end + 1;
  }
  return port;
}

std::string UsbPortOfPath(const char* path) {
  if (path == nullptr) return {};
  const std::string_view text(path);
  constexpr std::string_view hidraw = "/dev/hidraw";
  if (text.substr(0, hidraw.size()) == hidraw) {
#ifdef __linux__
    const std::string link = "/sys/class/hidraw/" + std::string(text.substr(5)) + "/device";
    char resolved[PATH_MAX];
    if (realpath(link.c_str(), resolved) == nullptr) return {};
    return UsbPortOfSysfsPath(resolved);
#else
    return {};
#endif
  }
  const size_t key = text.find("port=");
  if (key == std::string_view::npos) return {};
  std::string_view port = text.substr(key + 5);
  port = port.substr(0, port.find(':'));
  return IsPortName(port) ? std::string(port) : std::string();
}

std::vector<UsbUnit> ListUnits() {
  std::vector<UsbUnit> units;
  auto lock = LockDevice();
  const auto add = [&units](int vendorId, int productId, bool inLoader) {
    hid_device_info* list = hid_enumerate(static_cast<unsigned short>(vendorId),
                                          static_cast<unsigned short>(productId));
    for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
      // An encoder is counted once, by its configuration interface.
      if (!inLoader && entry->interface_number != ConfigInterfaceNumber) continue;
      UsbUnit unit;
      unit.inLoader = inLoader;
      unit.path = entry->path != nullptr ? entry->path : "";
      unit.port = UsbPortOfPath(entry->path);
      unit.usbSerial = PrintableText(entry->serial_number);
      units.push_back(std::move(unit));
    }
    hid_free_enumeration(list);
  };
  add(EncoderVendorId, EncoderProductId, false);
  add(LoaderVendorId, LoaderProductId, true);
  return units;
}

}  // namespace pellix_usb_encoder
