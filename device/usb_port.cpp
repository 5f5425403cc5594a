#include "device/usb_port.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Types and constants only: cfgmgr32.dll is loaded at run time, see ConfigManager.
#include <cfgmgr32.h>
#endif

#include "device/device_lock.h"
#include "device/device_text.h"
#include "device/hid_transport.h"
#include "support/core/native_path.h"

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

// `text` as a decimal number in 1..max, all of it digits (leading zeros allowed).
bool ParsePortNumber(std::string_view text, unsigned max, unsigned& value) {
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > max) return false;  // before it can overflow: max is far below UINT_MAX / 10
  }
  return value != 0;
}

// A hub has at most 255 ports; Windows numbers hubs from 1, printing four digits.
constexpr unsigned MaxHubPort = 255, MaxHubNumber = 65535;

// One element of a location path, "NAME(argument)", split; false when it is not one.
bool SplitPathElement(std::string_view element, std::string_view& name, std::string_view& argument) {
  const size_t open = element.find('(');
  if (open == 0 || open == std::string_view::npos || element.back() != ')') return false;
  name = element.substr(0, open);
  argument = element.substr(open + 1, element.size() - open - 2);
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return argument.find_first_of("()") == std::string_view::npos;
}

uint32_t Fnv1a(std::string_view text) {
  uint32_t hash = 2166136261u;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// One location path, "...#USBROOT(r)#USB(n)#USB(m)[#...]": its port, or empty.
std::string UsbPortOfLocationPath(std::string_view path) {
  // The controller's place is the text up to and including USBROOT(r): PCIROOT(0)#PCI(1400)
  // on most PCs, more PCI(ddff) elements behind bridges (add-in cards, docks), ACPI(...)
  // elements where a controller is not on PCI. The PnP manager makes this text unique to
  // the controller and the same at every boot, so the bus is its 32-bit FNV-1a hash, in
  // decimal. A number from the last PCI element alone would give two add-in cards the same
  // bus, as each sits at PCI(0000) behind its own bridge.
  std::string ports;
  size_t rootEnd = 0;  // where the controller's place ends, once USBROOT is met
  for (size_t start = 0, count = 0; start <= path.size(); ++count) {
    const size_t end = std::min(path.find('#', start), path.size());
    std::string_view name, argument;
    if (!SplitPathElement(path.substr(start, end - start), name, argument)) break;
    unsigned port = 0;
    if (rootEnd == 0) {
      if (name == "USBROOT") {
        if (count == 0 || argument.empty() ||
            argument.find_first_not_of("0123456789") != std::string_view::npos) {
          return {};
        }
        rootEnd = end;
      }
    } else if (name == "USB" && ParsePortNumber(argument, MaxHubPort, port)) {
      ports += (ports.empty() ? "" : ".") + std::to_string(port);
    } else {
      break;  // USBMI(i), or whatever else follows the device
    }
    start = end + 1;
  }
  if (ports.empty()) return {};
  return std::to_string(Fnv1a(path.substr(0, rootEnd))) + "-" + ports;
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

std::string UsbPortOfLocationInfo(const std::string& info) {
  constexpr std::string_view port = "Port_#", hub = ".Hub_#";
  const std::string_view text(info);
  const size_t dot = text.find('.');
  if (text.substr(0, port.size()) != port || dot == std::string_view::npos ||
      text.substr(dot, hub.size()) != hub) {
    return {};
  }
  unsigned portNumber = 0, hubNumber = 0;
  if (!ParsePortNumber(text.substr(port.size(), dot - port.size()), MaxHubPort, portNumber) ||
      !ParsePortNumber(text.substr(dot + hub.size()), MaxHubNumber, hubNumber)) {
    return {};
  }
  return std::to_string(hubNumber) + "-" + std::to_string(portNumber);
}

std::string UsbPortOfLocationPaths(const std::string& paths) {
  size_t start = 0;
  while (start < paths.size()) {
    size_t end = paths.find('\0', start);
    if (end == std::string::npos) end = paths.size();  // the last path unterminated
    if (end == start) break;                           // the empty path ending the list
    std::string port = UsbPortOfLocationPath(std::string_view(paths).substr(start, end - start));
    if (!port.empty()) return port;
    start = end + 1;
  }
  return {};
}

#ifdef _WIN32
namespace {

// cfgmgr32's functions, looked up once. They are not imported: Wine's cfgmgr32 lacks
// CM_Get_Device_Interface_PropertyW, and a missing import would keep the whole program
// from starting there. Without them ports are simply unknown.
struct ConfigManager {
  template <typename Of>
  using Property = CONFIGRET(WINAPI*)(Of, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE, PULONG, ULONG);
  Property<LPCWSTR> interfaceProperty = nullptr;
  CONFIGRET(WINAPI* locateNode)(PDEVINST, DEVINSTID_W, ULONG) = nullptr;
  CONFIGRET(WINAPI* parent)(PDEVINST, DEVINST, ULONG) = nullptr;
  Property<DEVINST> nodeProperty = nullptr;
  bool Complete() const { return interfaceProperty && locateNode && parent && nodeProperty; }
};

template <typename Function>
void Find(HMODULE module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const ConfigManager& ConfigManagerFunctions() {
  static const ConfigManager functions = [] {
    ConfigManager found;
    const HMODULE module = LoadLibraryExW(L"cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return found;  // kept loaded for the program's life
    Find(module, "CM_Get_Device_Interface_PropertyW", found.interfaceProperty);
    Find(module, "CM_Locate_DevNodeW", found.locateNode);
    Find(module, "CM_Get_Parent", found.parent);
    Find(module, "CM_Get_DevNode_PropertyW", found.nodeProperty);
    return found;
  }();
  return functions;
}

// devpkey.h's keys, here so that nothing needs linking for them.
constexpr DEVPROPKEY InstanceIdKey = {
    {0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}}, 256};
constexpr DEVPROPKEY LocationInfoKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 15};
constexpr DEVPROPKEY LocationPathsKey = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// A text property through `query(type, buffer, size)`, its NULs kept; empty when it cannot
// be read or is not of type `wanted`.
template <typename Query>
std::wstring ReadTextProperty(Query query, DEVPROPTYPE wanted) {
  std::vector<wchar_t> buffer(512);
  for (int attempt = 0; attempt < 3; ++attempt) {
    DEVPROPTYPE type = 0;
    ULONG size = static_cast<ULONG>(buffer.size() * sizeof(wchar_t));
    const CONFIGRET result = query(&type, reinterpret_cast<PBYTE>(buffer.data()), &size);
    if (result == CR_BUFFER_SMALL && size <= 65536) {
      buffer.resize(size / sizeof(wchar_t) + 1);
      continue;
    }
    if (result != CR_SUCCESS || type != wanted) return {};
    return std::wstring(buffer.data(), std::min<size_t>(size / sizeof(wchar_t), buffer.size()));
  }
  return {};
}

std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The port of the HID interface at the device interface path `path`, read from the device
// nodes above it: the HID node, for a composite device the USB interface node
// (USB\VID_2047&PID_0A3B&MI_01\...), then the USB device node (USB\VID_2047&PID_0A3B\...),
// where the walk ends, since above it are the hub and the controller, whose places are not
// the unit's. The loader (2047:0200, not composite) has its USB device node right above its
// HID node, so both come to the same node for the same port.
//
// LocationPaths is asked first: it names every port from the root hub down and is the same
// at every boot, as the Linux port is. LocationInfo only names the last hub and its port,
// and hubs are numbered as Windows finds them, so it is only the fallback for a stack that
// gives no paths. Both identities of a unit are on the same port under the same hub
// driver, so both get the same kind of answer.
std::string UsbPortOfInterfacePath(const char* path) {
  const ConfigManager& cm = ConfigManagerFunctions();
  if (!cm.Complete()) return {};
  const std::wstring widePath = WideFromUtf8(path);
  if (widePath.empty()) return {};

  std::wstring instanceId = ReadTextProperty(
      [&](DEVPROPTYPE* type, PBYTE buffer, PULONG size) {
        return cm.interfaceProperty(widePath.c_str(), &InstanceIdKey, type, buffer, size, 0);
      },
      DEVPROP_TYPE_STRING);
  instanceId.resize(std::min(instanceId.find(L'\0'), instanceId.size()));
  DEVINST node = 0;
  if (instanceId.empty() ||
      cm.locateNode(&node, instanceId.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
    return {};
  }
  const auto nodeText = [&cm](DEVINST at, const DEVPROPKEY& key, DEVPROPTYPE wanted) {
    return Utf8FromWide(ReadTextProperty(
        [&](DEVPROPTYPE* type, PBYTE buffer, PULONG size) {
          return cm.nodeProperty(at, &key, type, buffer, size, 0);
        },
        wanted));
  };
  for (int depth = 0; depth < 4; ++depth) {
    const std::string id = UpperAscii(nodeText(node, InstanceIdKey, DEVPROP_TYPE_STRING));
    const bool usb = id.starts_with("USB\\");
    // Another bus (Bluetooth, I2C) would lead up to some other device's port.
    if (!usb && !id.starts_with("HID\\")) return {};
    // A path of an interface node only adds USBMI(i) to its device's.
    std::string port =
        UsbPortOfLocationPaths(nodeText(node, LocationPathsKey, DEVPROP_TYPE_STRING_LIST));
    if (!port.empty()) return port;
    if (usb && id.find("&MI_") == std::string::npos) {
      std::string info = nodeText(node, LocationInfoKey, DEVPROP_TYPE_STRING);
      return UsbPortOfLocationInfo(info.substr(0, info.find('\0')));
    }
    DEVINST parent = 0;
    if (cm.parent(&parent, node, 0) != CR_SUCCESS) return {};
    node = parent;
  }
  return {};
}

}  // namespace
#endif

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
  constexpr std::string_view interfacePath = "\\\\?\\";
  if (text.substr(0, interfacePath.size()) == interfacePath) {
#ifdef _WIN32
    return UsbPortOfInterfacePath(path);
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
