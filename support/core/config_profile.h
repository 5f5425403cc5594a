// The configuration file's contents as the encoder sees them: what "Save Changes" and
// the command line's export write into it, and the checked plan of commands that
// "Reset From Configuration File" and the command line's apply-config send from it.
// Standard library only; the file itself goes through CIniFile.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "device/encoder_session.h"

namespace pellix_usb_encoder {

// The seven keys of section "appSettings", in the order a new file lists them.
inline constexpr const char* ConfigKeys[] = {"FirstUp",           "KeypadLayout",
                                             "VolumeLedBrightness", "JackLedBrightness",
                                             "CodeTableValues",   "FirmwareVersion",
                                             "SerialNumber"};

// The serial number as the program shows and stores it.
std::string SerialNumberText(const std::string& serialFromDevice);

// "CodeTableValues": the eight table bytes in decimal, each followed by a comma.
std::string CodeTableText(const std::array<uint8_t, 8>& table);

// The key/value pairs a save writes, in the order it writes them ("FirstUp" = "Yes"
// first); the serial number as shown (SerialNumberText). The two texts from the encoder
// have their control characters replaced, so that neither can add a line to the file.
std::vector<std::pair<std::string, std::string>> ConfigEntries(const EncoderSettings& settings);

// Creates the file with the section and the seven keys, each empty, unless it exists.
// False when it could not be created; the program works without it.
bool CreateConfigFileIfMissing(const std::string& path);

// Writes ConfigEntries into the file (creating it first when missing). False, with the
// reason in `problem` (naming the file), when the file cannot be read or written.
bool WriteConfigFile(const std::string& path, const EncoderSettings& settings,
                     std::string& problem);

// The commands a configuration file asks for, every value checked.
struct ConfigPlan {
  uint8_t keypadType = 0;
  bool sendTable = false;  // the layout is a customised one: the table goes too
  std::array<uint8_t, 8> table{};
  uint8_t volumeLed = 0;
  uint8_t jackLed = 0;
};

enum class ConfigPlanResult {
  Ready,      // plan filled in
  Missing,    // the file cannot be read
  Malformed,  // the file cannot be parsed
  NotSaved,   // "FirstUp" is not "Yes": nothing was ever saved into it
  BadValue,   // a value is not a number
};

// Reads and checks the whole file before anything is sent. For Malformed and BadValue
// `problem` holds the message to show (naming the file and the key).
ConfigPlanResult ReadConfigPlan(const std::string& path, ConfigPlan& plan, std::string& problem);

// The command of a plan that the encoder did not accept.
enum class ApplyStep { None, KeypadType, KeyTable, VolumeLed, JackLed };

// Sends the plan to the open encoder in order (keypad type, table when asked for,
// volume LEDs, jack LED) and stops at the first command that fails.
ApplyStep ApplyConfigPlan(const ConfigPlan& plan);

// The message for a failed step ("Unable to set Keypad Type.." ...); empty for None.
const char* ApplyFailureText(ApplyStep step);

// Parses a whole decimal integer: optional blanks around it and an optional sign.
bool ParseConfigNumber(const std::string& text, int& value);

}  // namespace pellix_usb_encoder
