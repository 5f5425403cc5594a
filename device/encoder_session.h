// The open encoder as every part of the program uses it: scanning, the typed commands
// on `hid_handle`, and the status read. Each call holds the device lock for its whole
// sequence, so a window, the upgrade's settings restore and the command line all talk
// to the encoder the same way, and every command payload is built here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "device/encoder_protocol.h"

namespace pellix_usb_encoder {

// What to tell a user whose scan ended in AccessDenied. Linux: the one command that
// installs the udev rule (udev reads a new rule by itself; the replug applies it).
// Windows needs no rule (its HID class driver serves every user): there another program
// holding the encoder open is what stands in the way.
#ifdef _WIN32
inline constexpr const char* AccessDeniedAdvice =
    "The encoder is on the USB bus but this program may not open it. Close every other "
    "program that uses the encoder (another copy of this utility among them), then unplug "
    "and replug the encoder.";
#else
inline constexpr const char* AccessDeniedAdvice =
    "The encoder is on the USB bus but this user may not open it. Install the udev rule "
    "(sudo cp packaging/70-ovitone-hid.rules /etc/udev/rules.d/), then unplug and replug "
    "the encoder.";
#endif

// The user's settings of one encoder, as one value: what a status read reports, what the
// configuration file stores and what the firmware upgrade writes back.
struct EncoderSettings {
  int keypadType = 0;
  std::array<uint8_t, KeyCodeTableSize> table{};
  int volumeLed = 0;
  int jackLed = 0;
  std::string serialNumber;  // as the encoder reports it; empty when it has none
  std::string firmwareVersion;

  static EncoderSettings FromStatus(const EncoderStatus& status);
  // Written back after an upgrade when the encoder's own settings could not be read:
  // the first code table, both LED groups at 6, and a serial number that is not sent.
  static EncoderSettings Fallback();
  bool operator==(const EncoderSettings&) const = default;
};

enum class ScanOutcome {
  Opened,        // hid_handle is the encoder's configuration interface
  NotFound,      // no encoder on the bus (on that port)
  AccessDenied,  // the encoder is listed but this user may not open it
};

// While it lives, the session functions of the calling thread work on an encoder handle
// of their own instead of hid_handle, and its exchanges lock only this unit (see
// UnitLockScope): one worker per unit, each following its own port, while the others
// do the same. Closing that handle never shuts the HID library down.
class UnitSession {
 public:
  UnitSession();
  ~UnitSession();
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

 private:
  struct State;
  State* state_;
};

// Closes the open encoder (if any) and scans the bus again; hid_handle holds the result.
// With a port, only the encoder on that USB port is opened.
ScanOutcome ReopenEncoder(const std::string& port = std::string());

// The USB port of the open encoder; empty when none is open or the port cannot be learnt.
std::string OpenEncoderPort();

// Closes the open encoder (if any) and shuts the HID library down.
void CloseEncoder();

// How an exchange is run: by default right on the calling thread. The windows install a
// runner that keeps the window thread answering while the exchange waits for the
// encoder; it must run `exchange` exactly once and return when it has returned.
void SetExchangeRunner(std::function<void(const std::function<void()>& exchange)> runner);

// Sends one command to hid_handle and waits up to CommandTimeoutMs for the reply.
// Returns the transport's result code (ResultOk on success). The reply data go to
// `reply` when given.
int32_t SendToEncoder(uint8_t command, const uint8_t* payload = nullptr, int length = 0,
                      uint8_t* reply = nullptr, int replySize = 0,
                      uint32_t* replyLength = nullptr);

// The encoder's commands, typed. Each returns the transport's result code.
int32_t SendLedLevel(uint8_t group, uint8_t level);  // VolumeLedGroup or JackLedGroup
int32_t SendKeypadType(uint8_t type);
int32_t SendKeyTable(const std::array<uint8_t, KeyCodeTableSize>& table);
int32_t SendWriteDefault();
int32_t SendSerialNumber(const std::string& serial);
int32_t SendFactoryReset();
int32_t SendEnterFirmwareUpgrade();

// GetStatus, decoded. False when the exchange fails or the block is malformed.
bool ReadEncoderStatus(EncoderStatus& status);
bool ReadEncoderSettings(EncoderSettings& settings);

// Only a real serial number (8 or 12 characters) is ever written back to an encoder.
bool IsRestorableSerial(const std::string& serial);

}  // namespace pellix_usb_encoder
