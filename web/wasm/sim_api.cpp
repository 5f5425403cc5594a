// The simulated encoder and its loader for the page, without the core: the demo and the
// tests put a stand-in for navigator.hid (web/src/sim-hid.ts) in front of these twins,
// so the page's own WebHID bridge and the core behind it run as they do with a real unit.
// The stand-in moves the bus's virtual clock on with the page's clock and passes each
// report through the simulated bus's hidapi functions, as a USB host would.
#include <emscripten.h>

#include <hidapi/hidapi.h>

#include <map>
#include <memory>
#include <string>

#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"

using namespace pellix_usb_encoder::sim;

namespace {

std::shared_ptr<EncoderTwin> encoder;
std::shared_ptr<LoaderTwin> loader;
std::map<int, hid_device*> handles;
int nextHandle = 1;
std::string answer;

const char* Answer(std::string text) {
  answer = std::move(text);
  return answer.c_str();
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != L'\0'; ++text) {
    const unsigned c = static_cast<unsigned>(*text);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace

extern "C" {

// A new bus on the virtual clock with one encoder (and its loader, which appears when
// the encoder is sent into it). `latencyMs`: how long the encoder takes to answer.
EMSCRIPTEN_KEEPALIVE void sim_setup(int latencyMs) {
  for (auto& [id, handle] : handles) hid_close(handle);
  handles.clear();
  Bus::Instance().Reset();
  Bus::Instance().UseVirtualClock(true);
  encoder = PlugEncoder();
  encoder->SetReplyLatencyMs(latencyMs);
  loader = AttachLoaderTo(encoder);
  loader->SetReportIntervalMs(1);
}

EMSCRIPTEN_KEEPALIVE void sim_advance(int ms) { Bus::Instance().AdvanceMs(ms); }

// The interfaces on the bus, one per line: path, vendor, product, usage page, usage,
// serial number, product name, tab-separated.
EMSCRIPTEN_KEEPALIVE const char* sim_devices() {
  std::string text;
  hid_device_info* list = hid_enumerate(0, 0);
  for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    text += std::string(entry->path) + "\t" + std::to_string(entry->vendor_id) + "\t" +
            std::to_string(entry->product_id) + "\t" + std::to_string(entry->usage_page) + "\t" +
            std::to_string(entry->usage) + "\t" + Narrow(entry->serial_number) + "\t" +
            Narrow(entry->product_string) + "\n";
  }
  hid_free_enumeration(list);
  return Answer(std::move(text));
}

// A handle on the interface at `path`, or 0 when it cannot be opened.
EMSCRIPTEN_KEEPALIVE int sim_open(const char* path) {
  hid_device* handle = hid_open_path(path);
  if (handle == nullptr) return 0;
  const int id = nextHandle++;
  handles[id] = handle;
  return id;
}

EMSCRIPTEN_KEEPALIVE void sim_close(int id) {
  const auto found = handles.find(id);
  if (found == handles.end()) return;
  hid_close(found->second);
  handles.erase(found);
}

// One output report, report id first. 1 when the device took it.
EMSCRIPTEN_KEEPALIVE int sim_write(int id, const unsigned char* data, int length) {
  const auto found = handles.find(id);
  return found != handles.end() && hid_write(found->second, data, size_t(length)) == length;
}

// The next input report due now: its length, 0 for none, -1 when the device is gone.
EMSCRIPTEN_KEEPALIVE int sim_read(int id, unsigned char* data, int length) {
  const auto found = handles.find(id);
  if (found == handles.end()) return -1;
  return hid_read_timeout(found->second, data, size_t(length), 0);
}

// The demo panel's view of the encoder.
EMSCRIPTEN_KEEPALIVE const char* sim_state() {
  const bool onBus = Bus::Instance().IsPlugged(*encoder);
  const bool inLoader = Bus::Instance().IsPlugged(*loader);
  const EncoderSettings settings = encoder->Settings();
  std::string table;
  for (size_t i = 0; i < settings.keyCodeTable.size(); ++i) {
    table += (i ? "," : "") + std::to_string(settings.keyCodeTable[i]);
  }
  std::string serial;
  for (char c : encoder->SerialNumber()) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') serial.push_back(c);
  }
  std::string firmware;
  for (char c : encoder->FirmwareVersion()) {
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') firmware.push_back(c);
  }
  return Answer(std::string("{\"place\":\"") +
                (onBus ? "firmware" : inLoader ? "loader" : "unplugged") + "\",\"firmware\":\"" +
                firmware + "\",\"serial\":\"" + serial + "\",\"jackIn\":" +
                (encoder->JackInserted() ? "true" : "false") +
                ",\"volumeLed\":" + std::to_string(settings.volLedBrightness) +
                ",\"jackLed\":" + std::to_string(settings.jackLedBrightness) +
                ",\"keypadType\":" + std::to_string(settings.keypadType) + ",\"table\":[" + table +
                "]}");
}

// The USB cable: out takes the encoder and its loader away; in starts the firmware.
EMSCRIPTEN_KEEPALIVE void sim_unplug() {
  Bus::Instance().Unplug(*encoder);
  Bus::Instance().Unplug(*loader);
}

EMSCRIPTEN_KEEPALIVE void sim_replug() {
  Bus::Instance().Unplug(*loader);
  Bus::Instance().Plug(encoder);
}

EMSCRIPTEN_KEEPALIVE void sim_set_jack(int inserted) { encoder->SetJackInserted(inserted != 0); }

// Faults by number, in EncoderFault's order; each stays on for every command until off.
EMSCRIPTEN_KEEPALIVE void sim_fault(int fault, int on) {
  if (fault < 0 || fault > static_cast<int>(EncoderFault::UnplugDuringExchange)) return;
  const auto which = static_cast<EncoderFault>(fault);
  encoder->RemoveFault(which);
  if (on) encoder->InjectFault(which, -1);
}

EMSCRIPTEN_KEEPALIVE void sim_access_denied(int on) { Bus::Instance().SetOpenFails(on != 0); }

// The commands the encoder received, for the tests: one per line, the command code and
// the payload in two-digit hexadecimal.
EMSCRIPTEN_KEEPALIVE const char* sim_commands() {
  std::string text;
  static const char* digits = "0123456789ABCDEF";
  for (const ReceivedCommand& command : encoder->Commands()) {
    text.push_back(digits[command.command >> 4]);
    text.push_back(digits[command.command & 15]);
    for (uint8_t byte : command.payload) {
      text.push_back(' ');
      text.push_back(digits[byte >> 4]);
      text.push_back(digits[byte & 15]);
    }
    text.push_back('\n');
  }
  return Answer(std::move(text));
}

EMSCRIPTEN_KEEPALIVE void sim_clear_commands() { encoder->ClearCommands(); }

// The serial number the unit keeps in flash (tests give units none, or another).
EMSCRIPTEN_KEEPALIVE void sim_set_serial(const char* serial) { encoder->SetSerialNumber(serial); }

}  // extern "C"
