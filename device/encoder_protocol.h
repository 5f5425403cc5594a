// The encoder's command set and the layout of its status block.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace pellix_usb_encoder {

enum EncoderCommand : uint8_t {
  GetStatus = 0x01,
  SetLedBrightness = 0x02,
  LoadKeyTable = 0x05,
  SetKeypadType = 0x07,
  WriteDefault = 0x09,
  FactoryReset = 0x0A,
  EnterFirmwareUpgrade = 0x0C,
  SetSerialNumber = 0x0E
};

// LED groups of SetLedBrightness.
constexpr uint8_t VolumeLedGroup = 0x00;
constexpr uint8_t JackLedGroup = 0x01;

// Every caller waits this long for a reply.
constexpr int CommandTimeoutMs = 5000;

// Byte offsets inside the status block (the GetStatus reply data).
namespace status_offset {
constexpr int VolLedBrightness = 0;
constexpr int JackLedBrightness = 1;
constexpr int LedStateJackIn = 2;
constexpr int LedStateJackOut = 3;
constexpr int DimStateJackIn = 4;
constexpr int DimStateJackOut = 5;
constexpr int JackStatus = 6;
constexpr int KeypadType = 7;
constexpr int KeyCodeTable = 8;
constexpr int FirmwareVersion = 16;  // then the serial number and a third text, each zero-terminated
}  // namespace status_offset

constexpr int KeyCodeTableSize = 8;  // four (modifier, usage) pairs: Vol Up, Vol Down, Jack IN, Jack OUT

struct EncoderStatus {
  int volLedBrightness = 0, jackLedBrightness = 0, jackStatus = 0, keypadType = 0;
  std::array<uint8_t, 8> keyCodeTable{};
  std::string firmwareVersion, serialNumber;
};

// Jack status byte 0 means a jack is inserted; any other value means none.
inline bool JackInserted(const EncoderStatus& status) { return status.jackStatus == 0; }

// Decodes the GetStatus reply data (length bytes); never reads past data + length.
// Refuses (returns false) a block shorter than its 16 fixed bytes. A text whose
// terminator is missing ends at the end of the data; an empty serial number stays empty.
// Control characters (below 0x20, and 0x7F) in the texts are replaced by '?'.
bool ParseStatusBlock(const uint8_t* data, uint32_t length, EncoderStatus& status);

}  // namespace pellix_usb_encoder
