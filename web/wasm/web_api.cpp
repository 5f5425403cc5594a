// The browser page's handlers, in C++ over the core: what the main window, the layout
// editor, the self test and the upgrade window do when the user acts, with the same
// commands, the same order and the same texts. The page (web/src) only draws: it calls
// these functions and shows what they hand back through `Module.ui`:
//   message(text, caption, buttons, icon) -> Promise<1 yes/ok | 0 no>
//   panel(state)             the status panel and the three lists
//   progress(percent, text)  the upgrade's bar and log
//   selfTest(event)          the self test's rows
//   grant(vendorId, productId) -> Promise  asks the user to let the page reach a device
// Every handler runs to its end before the page calls the next one (web/src/core.ts
// queues them): a handler may wait, with Asyncify, for a device, a timer or the user.
#include <emscripten.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "device/device_text.h"
#include "device/encoder_session.h"
#include "device/hid_transport.h"
#include "device/usb_port.h"
#include "firmware/core/ram_loader.h"
#include "firmware/core/upgrade_endings.h"
#include "firmware/core/upgrader.h"
#include "layout_editor/core/key_code_table.h"
#include "support/core/config_file.h"
#include "support/core/config_profile.h"
#include "support/core/data_folder.h"
#include "support/core/file_store.h"
#include "support/core/ini_file.h"

using namespace pellix_usb_encoder;

namespace {

enum Buttons { Ok = 0, YesNo = 1 };
enum Icon { Warning = 0, Question = 1, NoIcon = 2 };

EM_ASYNC_JS(int, web_message, (const char* text, const char* caption, int buttons, int icon), {
  return await Module['ui'].message(UTF8ToString(text), UTF8ToString(caption), buttons, icon);
});

EM_JS(void, web_panel, (const char* json), { Module['ui'].panel(JSON.parse(UTF8ToString(json))); });

EM_JS(void, web_progress, (int percent, const char* text), {
  Module['ui'].progress(percent, UTF8ToString(text));
});

EM_JS(void, web_self_test, (const char* json), {
  Module['ui'].selfTest(JSON.parse(UTF8ToString(json)));
});

EM_ASYNC_JS(void, web_grant, (int vendorId, int productId), {
  await Module['ui'].grant(vendorId, productId);
});

// The fixed waits, scaled by the tests (percent of the real wait).
int waitScalePercent = 100;

void Wait(int ms) { emscripten_sleep(static_cast<unsigned>(ms * waitScalePercent / 100)); }

// Texts from a device are single bytes; the page takes UTF-8.
std::string FromDevice(const std::string& text) {
  std::string out;
  for (unsigned char c : PrintableDeviceText(text)) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Json(items[i]);
  return out + "]";
}

// The handler's answer to the page, kept until the next handler runs.
std::string answer;
const char* Answer(std::string json) {
  answer = std::move(json);
  return answer.c_str();
}

constexpr const char* MessageCaption = "Orvane Ovitone ";

// The browser tells no USB port: every device it grants stands on the one port 0-0
// (web/wasm/webhid_hidapi.cpp). The texts that name the unit's port say nothing of it.
std::string WithoutPort(std::string text) {
  static const std::pair<const char*, const char*> kReplacements[] = {
      {" (USB port 0-0)", ""},
      {"The encoder on USB port 0-0 ", "The encoder "},
      {" on USB port 0-0", ""},
      {" on port 0-0", ""},
      {"USB port 0-0", "the USB connection"},
  };
  for (const auto& [from, to] : kReplacements) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, std::strlen(from), to);
      at += std::strlen(to);
    }
  }
  return text;
}

int Show(const std::string& text, const std::string& caption, Buttons buttons, Icon icon) {
  return web_message(WithoutPort(text).c_str(), caption.c_str(), buttons, icon);
}

void Progress(int percent, const std::string& text) {
  web_progress(percent, WithoutPort(text).c_str());
}

void Warn(const std::string& text) { Show(text + "\n", MessageCaption, Ok, Warning); }

std::string Blanks(int count) { return std::string(static_cast<size_t>(count), ' '); }

const std::array<std::string, 3> KeypadItems = {"Default      ", "Alternate   ", "Customise"};

std::string VolumeItem(int level) { return "Volume LED Brightness - " + std::to_string(level); }
std::string JackItem(int level) { return "JACK LED Brightness - " + std::to_string(level); }

const char* BrowserAccessAdvice =
    "The encoder is on the USB bus but the browser may not open it. On Linux, install the "
    "udev rule of the desktop package (sudo cp packaging/70-ovitone-hid.rules "
    "/etc/udev/rules.d/); elsewhere, close every other program that uses the encoder. Then "
    "unplug and replug the encoder.";

// ---------------------------------------------------------------------------------------
// The main window's remembered values and its status panel.

struct ListShown {
  int index = -1;  // the item shown, or -1 with `text` shown instead
  std::string text;
};

struct MainWindow {
  int prevVol = 0, prevJack = 0, prevKeypad = 0;
  std::array<uint8_t, 32> keyCodeArray{};
  std::string jackStatus, firmwareVersion, serialNumber;
  std::array<std::string, 3> lines;
  EncoderSettings lastRead;
  std::string dataFolderProblem;
  bool enabled = false;
  bool centred = false;
  ListShown volume{-1, "Volume LED Brightness - 0"};
  ListShown jack{-1, "JACK LED Brightness - 0"};
  ListShown keypad{-1, "Ovitone - Layout"};
} form;

void SendPanel() {
  auto list = [](const ListShown& shown) {
    return "{\"index\":" + std::to_string(shown.index) + ",\"text\":" + Json(shown.text) + "}";
  };
  const std::string json = "{\"lines\":" + JsonList({form.lines.begin(), form.lines.end()}) +
                           ",\"enabled\":" + (form.enabled ? "true" : "false") +
                           ",\"centred\":" + (form.centred ? "true" : "false") +
                           ",\"volume\":" + list(form.volume) + ",\"jack\":" + list(form.jack) +
                           ",\"keypad\":" + list(form.keypad) + "}";
  web_panel(json.c_str());
}

void Select(ListShown& list, int index, int count, const std::string& item,
            const std::string& fallback) {
  if (index >= 0 && index < count) {
    list = {index, item};
  } else {
    list = {-1, fallback};
  }
}

void SelectVolume(int index) { Select(form.volume, index, 10, VolumeItem(index), "LED Brightness"); }
void SelectJack(int index, const std::string& fallback) {
  Select(form.jack, index, 10, JackItem(index), fallback);
}
void SelectKeypad(int index) {
  Select(form.keypad, index, 3, index >= 0 && index < 3 ? KeypadItems[size_t(index)] : "",
         "Keypad - Layout");
}

int8_t GetDeviceStatusMessage() {
  EncoderStatus status;
  if (!ReadEncoderStatus(status)) return -1;
  form.lastRead = EncoderSettings::FromStatus(status);
  form.prevVol = status.volLedBrightness;
  form.prevJack = status.jackLedBrightness;
  form.jackStatus = status.jackStatus == 0 ? "Jack  IN" : "Jack OUT";
  form.prevKeypad = status.keypadType;
  std::copy(status.keyCodeTable.begin(), status.keyCodeTable.end(), form.keyCodeArray.begin());
  form.firmwareVersion = FromDevice(status.firmwareVersion);
  form.serialNumber = FromDevice(SerialNumberText(status.serialNumber));
  return 0;
}

void SetConnectedLines() {
  const std::string keypadText =
      form.prevKeypad >= 0 && form.prevKeypad < 3 ? KeypadItems[size_t(form.prevKeypad)] : "";
  form.lines[0] = "Device Connected" + Blanks(9) + "Ovitone " + Blanks(41) + "Firmware Version" +
                  Blanks(2) + ":" + Blanks(3) + form.firmwareVersion;
  form.lines[1] = "Code Table Loaded" + Blanks(7) + keypadText + Blanks(40) + "Jack Status" +
                  Blanks(12) + ":" + Blanks(3) + form.jackStatus;
  form.lines[2] = "Serial Number" + Blanks(15) + form.serialNumber;
}

void SetNotConnectedLine() {
  form.lines[0] = "Device Connected   -    None" + Blanks(40) + "Firmware Version" + Blanks(8) +
                  "-" + Blanks(3) + "None";
}

void StatusRefresh(bool readOk, const std::string& jackFallback) {
  form.centred = false;
  if (readOk) {
    form.enabled = true;
    SelectVolume(form.prevVol);
    SelectJack(form.prevJack, jackFallback);
    SelectKeypad(form.prevKeypad);
    SetConnectedLines();
  } else {
    form.keypad = {-1, "Keypad - Layout"};
    form.volume = {-1, "LED Brightness"};
    form.jack = {-1, jackFallback};
    SetNotConnectedLine();
    form.enabled = false;
  }
  SendPanel();
}

void Rescan() {
  const ScanOutcome outcome = ReopenEncoder();
  if (outcome == ScanOutcome::Opened) return;
  std::string text = "Orvane Ovitone  not connected..";
  if (outcome == ScanOutcome::AccessDenied) text += std::string("\n") + BrowserAccessAdvice;
  Warn(text);
}

constexpr const char* RamLoaderHint =
    "Choose the vendor's RAM loader image (TI-TXT, RAM_BSL.00.06.05.34.txt from Texas "
    "Instruments' MSP430 USB firmware upgrade example) with RAM Loader Image at the top of "
    "the page; this browser keeps it for the next upgrades.";

// ---------------------------------------------------------------------------------------
// The self test's state.

std::atomic<int> closeForm{0};
struct SelfTest {
  int vol = 0, jack = 0, keypad = 0;
  bool ready = false;
} selfTest;

void SelfTestEvent(const std::string& json) { web_self_test(json.c_str()); }

// ---------------------------------------------------------------------------------------
// The upgrade's unit, from "Update Ovitone Firmware" to the end of its window.

UpgradeUnit upgradeUnit;
bool loaderTouched = false;

}  // namespace

extern "C" {

// Tests run the fixed waits shortened (percent of the real length).
EMSCRIPTEN_KEEPALIVE void ov_set_wait_scale(int percent) {
  waitScalePercent = std::clamp(percent, 0, 100);
}

// Every text of the page's lists, in list order.
EMSCRIPTEN_KEEPALIVE const char* ov_lists() {
  std::vector<std::string> volume, jack;
  for (int i = 0; i < 10; ++i) {
    volume.push_back(VolumeItem(i));
    jack.push_back(JackItem(i));
  }
  return Answer("{\"keypad\":" + JsonList({KeypadItems.begin(), KeypadItems.end()}) +
                ",\"volume\":" + JsonList(volume) + ",\"jack\":" + JsonList(jack) +
                ",\"codes\":" + JsonList(KeyCodeItems()) +
                ",\"modifiers\":" + JsonList(ModifierItems()) + "}");
}

// The page has loaded: the configuration file is made when missing, then the encoder is
// looked for and its status shown. `firstVisit`: the user has granted the page no device
// yet, so no encoder can be found; the page asks them to connect one instead of saying
// it is not connected.
EMSCRIPTEN_KEEPALIVE void ov_start(int firstVisit) {
  form.dataFolderProblem.clear();
  FileName.clear();
  const std::string dataFolder = UserDataFolder(form.dataFolderProblem);
  if (!dataFolder.empty()) {
    const std::string folder = dataFolder + "/" + ConfigFolderName;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) form.dataFolderProblem = "the folder " + folder + " cannot be created";
    FileName = folder + "/" + ConfigFileBaseName;
    if (form.dataFolderProblem.empty()) CreateConfigFileIfMissing(FileName);
  }
  if (!form.dataFolderProblem.empty()) {
    Warn("The settings cannot be saved: " + form.dataFolderProblem + ".");
  }
  if (firstVisit) {
    ReopenEncoder();
  } else {
    Rescan();
  }
  const bool connected = GetDeviceStatusMessage() == 0;
  if (!connected) form.lines[2] = "Serial Number" + Blanks(15) + form.serialNumber;
  StatusRefresh(connected, "JACK LED Brightness");
}

// "Scan For Device".
EMSCRIPTEN_KEEPALIVE void ov_scan() {
  Rescan();
  StatusRefresh(GetDeviceStatusMessage() == 0, "Jack LED Brightness");
}

// The user chose an item of one of the three lists.
EMSCRIPTEN_KEEPALIVE void ov_keypad_type(int index) {
  if (SendKeypadType(static_cast<uint8_t>(index)) != ResultOk) {
    Warn("Unable to set Keypad Type..");
    SelectKeypad(form.prevKeypad);
    SendPanel();
    return;
  }
  form.prevKeypad = index;
  SelectKeypad(index);
  SetConnectedLines();
  form.centred = true;
  SendPanel();
}

EMSCRIPTEN_KEEPALIVE void ov_volume_led(int index) {
  if (SendLedLevel(VolumeLedGroup, static_cast<uint8_t>(index)) != ResultOk) {
    Warn("Unable to set the VOLUME LED Brightness..");
    SelectVolume(form.prevVol);
    SendPanel();
    return;
  }
  form.prevVol = index;
  SelectVolume(index);
  SendPanel();
}

EMSCRIPTEN_KEEPALIVE void ov_jack_led(int index) {
  if (SendLedLevel(JackLedGroup, static_cast<uint8_t>(index)) != ResultOk) {
    Warn("Unable to set the JACK LED Brightness..");
    SelectJack(form.prevJack, "JACK LED Brightness");
    SendPanel();
    return;
  }
  form.prevJack = index;
  SelectJack(index, "JACK LED Brightness");
  SendPanel();
}

// "Save Changes": the encoder keeps its settings as its defaults, then the file is written.
EMSCRIPTEN_KEEPALIVE void ov_save_changes() {
  if (SendWriteDefault() != ResultOk) {
    Warn("Unable to Write Default..");
    return;
  }
  if (GetDeviceStatusMessage() != 0) {
    Warn("Unable to Save Config file.");
    return;
  }
  std::string problem;
  if (FileName.empty()) {
    problem = form.dataFolderProblem;
  } else if (WriteConfigFile(FileName, form.lastRead, problem)) {
    return;
  }
  Warn("Failed to update USBOvitoneUtilityCfg.ini file.\n" + problem);
}

// "Reset To Factory Default".
EMSCRIPTEN_KEEPALIVE void ov_factory_reset() {
  SendFactoryReset();  // the encoder restarts; its answer does not matter
  Wait(3000);
  Rescan();
  StatusRefresh(GetDeviceStatusMessage() == 0, "Jack LED Brightness");
}

// "Reset From Configuration File".
EMSCRIPTEN_KEEPALIVE void ov_reset_from_config() {
  ConfigPlan plan;
  std::string problem;
  switch (ReadConfigPlan(FileName, plan, problem)) {
    case ConfigPlanResult::Ready:
      break;
    case ConfigPlanResult::Malformed:
    case ConfigPlanResult::BadValue:
      Warn(problem);
      return;
    case ConfigPlanResult::Missing:
    case ConfigPlanResult::NotSaved:
      return;
  }
  const ApplyStep failed = ApplyConfigPlan(plan);
  if (failed != ApplyStep::None) {
    Warn(ApplyFailureText(failed));
    if (failed != ApplyStep::KeyTable) {
      SelectKeypad(form.prevKeypad);
      SendPanel();
    }
    return;
  }
  StatusRefresh(GetDeviceStatusMessage() == 0, "JACK LED Brightness");
}

// "Import Cfg File": the page has put the chosen file at `path`; `name` is its name.
EMSCRIPTEN_KEEPALIVE void ov_import_config(const char* name, const char* path) {
  try {
    if (std::string(name) != ConfigFileBaseName) {
      Warn("Incorrect Filename.");
      return;
    }
    bool complete = CIniFile::SectionExists(ConfigSection, path);
    for (const char* key : ConfigKeys) {
      complete = complete && CIniFile::RecordExists(key, ConfigSection, path);
    }
    if (!complete) {
      Warn("File is incorrect format.");
      return;
    }
    std::string contents, problem;
    if (FileName.empty() ||
        ReadSmallFile(path, 1 << 20, contents, problem) != ReadOutcome::Ok) {
      Warn("Failed to copy the new file.");
      return;
    }
    FileLock lock(FileName);
    if (!WriteFileAtomically(FileName, contents, problem)) Warn("Failed to copy the new file.");
  } catch (const std::exception&) {
    Warn("Exception :Failed to copy the new file.");
  }
}

// The length of the handler's last answer, for answers that are bytes, not text.
EMSCRIPTEN_KEEPALIVE int ov_answer_length() { return static_cast<int>(answer.size()); }

// "Export Cfg File": the file's bytes (ov_answer_length of them) for the page to hand to
// the browser's download, or null (the reason shown) when there is nothing to export.
EMSCRIPTEN_KEEPALIVE const char* ov_export_config() {
  std::string contents, problem;
  if (FileName.empty() || ReadSmallFile(FileName, 1 << 20, contents, problem) != ReadOutcome::Ok) {
    Warn("Failed to export the file");
    return nullptr;
  }
  return Answer(std::move(contents));
}

// "Customise Code Table": the table read from the encoder, for the editor.
EMSCRIPTEN_KEEPALIVE const char* ov_editor_open() {
  if (GetDeviceStatusMessage() != 0) {
    Warn("Load Table-Unable to get device status..");
    return nullptr;
  }
  if (form.prevKeypad != 2) {
    Warn("Please select a customise table..");
    return nullptr;
  }
  std::string keys = "[";
  for (int k = 0; k < 4; ++k) {
    const uint8_t modifier = form.keyCodeArray[size_t(2 * k)];
    const uint8_t code = form.keyCodeArray[size_t(2 * k + 1)];
    const char* name = k == 0   ? (code < 16 ? "Vol up " : "Vol Up ")
                       : k == 1 ? "Vol Down "
                       : k == 2 ? "Jack IN  "
                                : "Jack OUT  ";
    keys += std::string(k ? "," : "") + "{\"label\":" + Json(name + CodeLabel(code)) +
            ",\"modifier\":" + std::to_string(ModifierUsageToIndex(modifier)) +
            ",\"unlisted\":" + std::to_string(IsListedModifierUsage(modifier) ? -1 : modifier) +
            ",\"code\":" + std::to_string(code) + "}";
  }
  return Answer("{\"keys\":" + keys + "]}");
}

// The editor's "Apply": per key its modifier index, the byte to send instead when the
// key keeps a modifier the list does not name (-1: none), and its key usage.
// 1 when the encoder took the table.
EMSCRIPTEN_KEEPALIVE int ov_editor_apply(int m7, int u7, int k7, int m8, int u8, int k8, int m9,
                                         int u9, int k9, int m10, int u10, int k10) {
  const int keys[4][3] = {{m7, u7, k7}, {m8, u8, k8}, {m9, u9, k9}, {m10, u10, k10}};
  std::array<uint8_t, KeyCodeTableSize> table{};
  for (size_t k = 0; k < 4; ++k) {
    table[2 * k] = keys[k][1] >= 0 ? static_cast<uint8_t>(keys[k][1])
                                   : ModifierIndexToUsage(keys[k][0]);
    table[2 * k + 1] = static_cast<uint8_t>(keys[k][2]);
  }
  if (SendKeyTable(table) != ResultOk) {
    Show("Unable to Load Table..\n", "Orvane Ovitone", Ok, Warning);
    return 0;
  }
  return 1;
}

// "Test Ovitone": the status reads, the microphone question. The answer tells the page
// whether the test runs and whether to offer recording.
EMSCRIPTEN_KEEPALIVE const char* ov_self_test_open() {
  if (GetDeviceStatusMessage() != 0) {
    Warn("Unable to get device message..Please click on Scan for and try again..");
    return nullptr;
  }
  closeForm = 0;
  selfTest.ready = false;
  EncoderStatus status;
  if (!ReadEncoderStatus(status)) {
    Show("Device status message error..\n", "Orvane USB Encoder", Ok, Warning);
    return Answer("{\"running\":false,\"microphone\":false,\"level\":\"\"}");
  }
  selfTest = {status.volLedBrightness, status.jackLedBrightness, status.keypadType, true};
  const bool microphone = Show("Does Ovitone have microphone support?\n", "OrvaneOvitoneUtility",
                               YesNo, Warning) == 1;
  if (microphone) {
    Show("Please make sure <USB Advanced Audio device> is the microphone this browser uses "
         "(the browser asks for it when recording starts; the system's sound settings name "
         "the default input)\n",
         "OrvaneOvitoneUtility", Ok, Warning);
  }
  return Answer(std::string("{\"running\":true,\"microphone\":") +
                (microphone ? "true" : "false") + ",\"level\":" +
                Json(std::to_string(selfTest.vol)) + "}");
}

// The test sequence, to its end; then the table and the LED levels are put back.
EMSCRIPTEN_KEEPALIVE void ov_self_test_run() {
  if (!selfTest.ready) return;
  auto led = [](uint8_t group, int level) {
    return SendLedLevel(group, static_cast<uint8_t>(level));
  };
  auto stop = [](int32_t result) { return result != ResultOk || closeForm.load() == 1; };
  [&] {
    SelfTestEvent("{\"row\":\"led\",\"state\":\"running\"}");
    for (int round = 0; round < 4; ++round) {
      led(VolumeLedGroup, 0);
      led(JackLedGroup, 0);
      Wait(500);
      led(VolumeLedGroup, 8);
      const int32_t result = led(JackLedGroup, 8);
      Wait(500);
      if (stop(result)) return;
    }
    led(VolumeLedGroup, 0);
    led(JackLedGroup, 0);
    SelfTestEvent("{\"row\":\"led\",\"state\":\"done\"}");
    SelfTestEvent("{\"row\":\"brightness\",\"state\":\"running\"}");
    for (int level = 0; level <= 9; ++level) {
      SelfTestEvent("{\"row\":\"brightness\",\"level\":\"" + std::to_string(level) + "\"}");
      led(VolumeLedGroup, level);
      const int32_t result = led(JackLedGroup, level);
      Wait(500);
      if (stop(result)) return;
    }
    led(VolumeLedGroup, 0);
    led(JackLedGroup, 0);
    SelfTestEvent("{\"row\":\"brightness\",\"state\":\"done\"}");
    led(VolumeLedGroup, selfTest.vol);
    led(JackLedGroup, selfTest.jack);
    Show("Press each key  on Ovitone... ", " Ovitone Message ", Ok, NoIcon);
    const int32_t result = SendKeypadType(0);
    Wait(100);
    if (result != ResultOk) return;
    SelfTestEvent("{\"row\":\"keys\",\"state\":\"running\"}");
    while (closeForm.load() != 1) Wait(100);
  }();
  SendKeypadType(static_cast<uint8_t>(selfTest.keypad));
  led(VolumeLedGroup, selfTest.vol);
  led(JackLedGroup, selfTest.jack);
  selfTest.ready = false;
  SelfTestEvent("{\"row\":\"window\",\"state\":\"closed\"}");
}

// "Close" of the self test: called while the sequence runs (it waits, so this is no
// handler of its own); the sequence ends at its next step.
EMSCRIPTEN_KEEPALIVE void ov_self_test_close() { closeForm = 1; }

// "Update Ovitone Firmware": the question, the RAM loader check, the settings kept in the
// unit's recovery record, then the encoder is sent into its loader. 1 when the upgrade
// window opens.
EMSCRIPTEN_KEEPALIVE int ov_upgrade_begin() {
  if (Show("Are you sure you want to upgrade the firmware?", "Firmware Upgrade", YesNo,
           Question) != 1) {
    return 0;
  }
  // A real unit needs the vendor's RAM loader image; the page keeps the one the user
  // chose in the configuration folder, where the upgrade looks for it.
  if (std::string text, source, problem; !FirmwareUpgrader::FindRamLoader(text, source, problem)) {
    Warn(problem + " " + RamLoaderHint + " Nothing was sent.");
    return 0;
  }
  FirmwareUpgrader::InitializeVidPid();
  UpgradeUnit unit;
  if (GetDeviceStatusMessage() == 0) {
    unit.settings = form.lastRead;
    unit.settingsKnown = true;
  } else {
    Show("Unable to get device status information\n", "Orvane Drossel ", Ok, Warning);
  }
  bool sent = false;
  if (hid_handle != nullptr) {
    std::string problem;
    if (!FirmwareUpgrader::PrepareUnit(unit, problem)) {
      Warn(problem);
      return 0;
    }
    unit.entered = true;
    sent = SendEnterFirmwareUpgrade() == ResultOk;
  }
  if (!sent) {
    form.enabled = false;
    SendPanel();
  }
  upgradeUnit = unit;
  loaderTouched = false;
  return 1;
}

// The upgrade window's device count: "Found 1 device", "No device connected".
EMSCRIPTEN_KEEPALIVE const char* ov_upgrade_count() {
  const uint32_t count = FirmwareUpgrader::CountLoaderDevices();
  return Answer(std::string("{\"count\":") + std::to_string(count) + ",\"text\":" +
                Json(count > 0 ? "Found " + std::to_string(count) +
                                     (count == 1 ? " device" : " devices")
                               : std::string("No device connected")) +
                "}");
}

// "RAM Loader Image": the image the user chose (at `path`) is kept in the configuration
// folder for the upgrades of real units, and checked as the upgrade will check it.
// 1 when it can be used.
EMSCRIPTEN_KEEPALIVE int ov_store_ram_loader(const char* path) {
  std::string contents, problem;
  const std::string folder = FirmwareUpgrader::RecoveryFolder(&problem);
  if (ReadSmallFile(path, 1 << 20, contents, problem) != ReadOutcome::Ok || folder.empty() ||
      !WriteFileAtomically(folder + "/" + RamLoaderFileName, contents, problem)) {
    Warn("The RAM loader image cannot be kept: " + problem + ".");
    return 0;
  }
  std::string text, source;
  if (!FirmwareUpgrader::FindRamLoader(text, source, problem)) {
    Warn(problem + " " + RamLoaderHint);
    return 0;
  }
  return 1;
}

// "Upgrade Firmware" with the file the page put at `path`. Progress and the ending reach
// the page through progress(); 1 when the unit runs its new firmware.
EMSCRIPTEN_KEEPALIVE int ov_upgrade_run(const char* path) {
  Progress(0, "Starting\r\n");
  FirmwareUpgrader upgrader;
  upgrader.unit = upgradeUnit;
  UpgradeHooks hooks;
  hooks.progress = [](int percent, const std::string& text) {
    Progress(percent, text);
    emscripten_sleep(0);  // lets the page draw the bar
  };
  // The loader restarts as a new USB device when the RAM loader starts in it (and after
  // a mass erase): the browser lets the page reach it only once the user has picked it
  // again, so after each of the upgrade's waits the page asks for it unless it may
  // reach it already.
  hooks.sleep = [](int ms) {
    Wait(ms);
    web_grant(LoaderVendorId, LoaderProductId);
  };
  hooks.ticks = [] { return static_cast<uint64_t>(emscripten_get_now()); };
  const bool programmed = upgrader.RunUpgrade(path, hooks);
  upgradeUnit = upgrader.unit;
  loaderTouched = upgrader.LoaderTouched();
  if (!programmed) {
    Progress(-1, FailureEnding(upgradeUnit, PlaceOfUnit(upgradeUnit), loaderTouched));
    return 0;
  }
  // The encoder restarts in its new firmware as a new USB device: where the browser has
  // forgotten the grant, the user is asked for it again once the wait is over.
  UpgradeHooks restoreHooks;
  restoreHooks.sleep = [](int ms) {
    Wait(ms);
    web_grant(EncoderVendorId, EncoderProductId);
  };
  const RestoreResult restored = FirmwareUpgrader::RestoreEncoderSettings(
      upgradeUnit, restoreHooks,
      [](const std::string& port, const std::vector<RestoreCandidate>& candidates)
          -> std::optional<size_t> {
        for (size_t i = 0; i < candidates.size(); ++i) {
          if (Show(WhoseSettingsQuestion(port, candidates[i]), "Firmware Upgrade", YesNo,
                   Question) == 1) {
            return i;
          }
        }
        return std::nullopt;
      });
  const RestoreEnding ending = DescribeRestoreEnding(
      upgradeUnit, restored,
      restored.outcome == RestoreOutcome::NotConnected ? PlaceOfUnit(upgradeUnit)
                                                       : UnitPlace::Firmware,
      "Set its settings in the main page.\r\n");
  if (!ending.message.empty()) Show(ending.message, ending.caption, Ok, Warning);
  Progress(-1, ending.log);
  if (ending.completed) {
    StatusRefresh(GetDeviceStatusMessage() == 0, "Jack LED Brightness");
    return 1;
  }
  return 0;
}

// The upgrade window's "Close" while no work runs: where the unit is and what to do.
EMSCRIPTEN_KEEPALIVE void ov_upgrade_close() {
  Show(CloseAdvice(upgradeUnit, PlaceOfUnit(upgradeUnit)), "Orvane Ovitone", Ok, Warning);
}

// The name of the firmware file last chosen, kept in the configuration file.
EMSCRIPTEN_KEEPALIVE void ov_remember_firmware_file(const char* name) {
  if (!FileName.empty()) CIniFile::SetValue("FirmwareFile", name, ConfigSection, FileName);
}

}  // extern "C"
