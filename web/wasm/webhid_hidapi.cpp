// hidapi's C functions over the browser's WebHID, for the core compiled to WebAssembly.
//
// The page hands the module an object `Module.webhid` (web/src/webhid-bridge.ts) that
// holds the devices the user granted, opens them, sends output reports and queues the
// input reports each opened device delivers. The calls that must wait for the browser
// (opening a device, sending a report, waiting for the next report) suspend the C++
// caller with Asyncify until the promise settles; the page never blocks.
//
// Paths are "webhid:port=0-0:device=N". The browser tells no USB port, so every granted
// device counts as being on one port, 0-0 (no real bus has the number 0): a unit is then
// told apart by its serial number alone, and two encoders or two loaders granted at once
// are the ambiguity the core refuses to guess through.
#include <emscripten.h>

#include <hidapi/hidapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "device/hid_transport.h"

namespace {

// One granted device as the page lists it: id, vendor, product, usage page, usage,
// serial number and product name, tab-separated, one device per line.
EM_JS(char*, webhid_list, (), {
  const text = Module['webhid'] ? Module['webhid'].list() : "";
  const size = lengthBytesUTF8(text) + 1;
  const memory = _malloc(size);
  stringToUTF8(text, memory, size);
  return memory;
});

EM_JS(int, webhid_simulated, (), {
  return Module['webhid'] && Module['webhid'].simulated ? 1 : 0;
});

EM_ASYNC_JS(int, webhid_open, (int id), {
  try {
    return (await Module['webhid'].open(id)) ? 1 : 0;
  } catch (e) {
    return 0;
  }
});

EM_ASYNC_JS(int, webhid_send, (int id, int reportId, const unsigned char* data, int length), {
  try {
    const bytes = HEAPU8.slice(data, data + length);
    return (await Module['webhid'].send(id, reportId, bytes)) ? 1 : 0;
  } catch (e) {
    return 0;
  }
});

// The next queued input report of an opened device, report id first: its length, 0 when
// none is queued, -1 when the device is gone.
EM_JS(int, webhid_take, (int id, unsigned char* data, int length), {
  const report = Module['webhid'].take(id);
  if (report === null) return 0;
  if (report === undefined) return -1;
  const count = Math.min(length, report.length);
  HEAPU8.set(report.subarray(0, count), data);
  return count;
});

// Waits until the device has a report queued, is gone, or `ms` milliseconds have passed
// (a negative `ms` waits without limit).
EM_ASYNC_JS(void, webhid_wait, (int id, int ms), {
  await Module['webhid'].wait(id, ms);
});

EM_JS(void, webhid_close, (int id), {
  if (Module['webhid']) Module['webhid'].close(id);
});

constexpr const char* kPathPrefix = "webhid:port=0-0:device=";

std::wstring Widen(const std::string& text) {
  // The page hands UTF-8; names here are shown narrowed to single bytes anyway.
  std::wstring wide;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned value = c;
    size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra > 0) value = c & (0x3Fu >> extra);
    ++i;
    for (; extra > 0 && i < text.size(); --extra, ++i) {
      value = (value << 6) | (static_cast<unsigned char>(text[i]) & 0x3Fu);
    }
    wide.push_back(static_cast<wchar_t>(value));
  }
  return wide;
}

wchar_t* CopyWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
  if (copy != nullptr) std::wmemcpy(copy, text.c_str(), text.size());
  return copy;
}

struct Listed {
  int id = 0;
  unsigned vendorId = 0, productId = 0, usagePage = 0, usage = 0;
  std::string serial, product;
};

std::vector<Listed> ListDevices() {
  char* raw = webhid_list();
  const std::string text = raw != nullptr ? raw : "";
  std::free(raw);
  std::vector<Listed> devices;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> fields;
    size_t from = start;
    for (;;) {
      const size_t tab = text.find('\t', from);
      if (tab == std::string::npos || tab > end) {
        fields.push_back(text.substr(from, end - from));
        break;
      }
      fields.push_back(text.substr(from, tab - from));
      from = tab + 1;
    }
    start = end + 1;
    if (fields.size() < 7) continue;
    Listed device;
    device.id = std::atoi(fields[0].c_str());
    device.vendorId = static_cast<unsigned>(std::strtoul(fields[1].c_str(), nullptr, 10));
    device.productId = static_cast<unsigned>(std::strtoul(fields[2].c_str(), nullptr, 10));
    device.usagePage = static_cast<unsigned>(std::strtoul(fields[3].c_str(), nullptr, 10));
    device.usage = static_cast<unsigned>(std::strtoul(fields[4].c_str(), nullptr, 10));
    device.serial = fields[5];
    device.product = fields[6];
    devices.push_back(std::move(device));
  }
  return devices;
}

// WebHID lists collections, not USB interfaces. The encoder's configuration interface
// is its vendor-defined collection; its keyboard (which the browser withholds anyway)
// and every other device count as interface 0.
int InterfaceOf(const Listed& device) {
  using namespace pellix_usb_encoder;
  const bool encoder = device.vendorId == static_cast<unsigned>(EncoderVendorId) &&
                       device.productId == static_cast<unsigned>(EncoderProductId);
  return encoder && device.usagePage >= 0xFF00 ? ConfigInterfaceNumber : 0;
}

hid_device_info* MakeInfo(const Listed& device) {
  auto* info = new hid_device_info{};
  const std::string path = kPathPrefix + std::to_string(device.id);
  info->path = strdup(path.c_str());
  info->vendor_id = static_cast<unsigned short>(device.vendorId);
  info->product_id = static_cast<unsigned short>(device.productId);
  info->serial_number = CopyWide(Widen(device.serial));
  info->manufacturer_string = CopyWide(L"");
  info->product_string = CopyWide(Widen(device.product));
  info->usage_page = static_cast<unsigned short>(device.usagePage);
  info->usage = static_cast<unsigned short>(device.usage);
  info->interface_number = InterfaceOf(device);
  return info;
}

void FreeInfo(hid_device_info* info) {
  if (info == nullptr) return;
  std::free(info->path);
  std::free(info->serial_number);
  std::free(info->manufacturer_string);
  std::free(info->product_string);
  delete info;
}

const wchar_t* kNoError = L"Success";

}  // namespace

struct hid_device_ {
  int id = 0;
  bool nonBlocking = false;
  bool gone = false;
  hid_device_info* info = nullptr;
  std::wstring lastError;
};

extern "C" {

int HID_API_EXPORT hid_init(void) { return 0; }

int HID_API_EXPORT hid_exit(void) { return 0; }

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_enumerate(unsigned short vendor_id,
                                                                  unsigned short product_id) {
  hid_device_info* first = nullptr;
  hid_device_info** tail = &first;
  for (const Listed& device : ListDevices()) {
    if (vendor_id != 0 && device.vendorId != vendor_id) continue;
    if (product_id != 0 && device.productId != product_id) continue;
    *tail = MakeInfo(device);
    tail = &(*tail)->next;
  }
  return first;
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    FreeInfo(devs);
    devs = next;
  }
}

hid_device* HID_API_EXPORT HID_API_CALL hid_open(unsigned short, unsigned short, const wchar_t*) {
  return nullptr;
}

hid_device* HID_API_EXPORT hid_open_path(const char* path) {
  if (path == nullptr || std::strncmp(path, kPathPrefix, std::strlen(kPathPrefix)) != 0) {
    return nullptr;
  }
  const int id = std::atoi(path + std::strlen(kPathPrefix));
  const Listed* found = nullptr;
  const std::vector<Listed> devices = ListDevices();
  for (const Listed& device : devices) {
    if (device.id == id) found = &device;
  }
  if (found == nullptr || webhid_open(id) == 0) return nullptr;
  auto* device = new hid_device_{};
  device->id = id;
  device->info = MakeInfo(*found);
  return device;
}

int HID_API_EXPORT hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  if (dev == nullptr || data == nullptr || length == 0) return -1;
  if (dev->gone || webhid_send(dev->id, data[0], data + 1, static_cast<int>(length - 1)) == 0) {
    dev->lastError = L"The device did not take the report";
    return -1;
  }
  dev->lastError.clear();
  return static_cast<int>(length);
}

int HID_API_EXPORT hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                    int milliseconds) {
  if (dev == nullptr || data == nullptr) return -1;
  int read = webhid_take(dev->id, data, static_cast<int>(length));
  if (read == 0 && milliseconds != 0) {
    webhid_wait(dev->id, milliseconds);
    read = webhid_take(dev->id, data, static_cast<int>(length));
  }
  if (read < 0) {
    dev->gone = true;
    dev->lastError = L"The device is gone";
    return -1;
  }
  dev->lastError.clear();
  return read;
}

int HID_API_EXPORT hid_read(hid_device* dev, unsigned char* data, size_t length) {
  if (dev == nullptr) return -1;
  return hid_read_timeout(dev, data, length, dev->nonBlocking ? 0 : -1);
}

int HID_API_EXPORT hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (dev == nullptr) return -1;
  dev->nonBlocking = nonblock != 0;
  return 0;
}

void HID_API_EXPORT hid_close(hid_device* dev) {
  if (dev == nullptr) return;
  webhid_close(dev->id);
  FreeInfo(dev->info);
  delete dev;
}

static int CopyString(const wchar_t* text, wchar_t* string, size_t maxlen) {
  if (string == nullptr || maxlen == 0) return -1;
  std::wcsncpy(string, text != nullptr ? text : L"", maxlen);
  string[maxlen - 1] = L'\0';
  return 0;
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
  // WebHID does not tell the manufacturer.
  if (dev == nullptr) return -1;
  return CopyString(L"", string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  if (dev == nullptr) return -1;
  return CopyString(dev->info->product_string, string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
  if (dev == nullptr) return -1;
  return CopyString(dev->info->serial_number, string, maxlen);
}

struct hid_device_info HID_API_EXPORT* HID_API_CALL hid_get_device_info(hid_device* dev) {
  return dev != nullptr ? dev->info : nullptr;
}

const wchar_t* HID_API_EXPORT hid_error(hid_device* dev) {
  if (dev == nullptr) return L"No device";
  return dev->lastError.empty() ? kNoError : dev->lastError.c_str();
}

// The demo's devices are the simulated twins behind a stand-in for navigator.hid: the
// upgrade must then send the stand-in RAM loader, as on the desktop's simulated bus.
HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) {
  return webhid_simulated() != 0 ? "WebHID (simulated bus)" : "WebHID";
}

}  // extern "C"
