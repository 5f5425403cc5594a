// The open encoder as every part of the program uses it: scanning, one command at a
// time on `hid_handle`, and the status read. Each call holds the device lock for its
// whole sequence, so a window, the upgrade's settings restore and the command line all
// talk to the encoder the same way.
#pragma once

#include <cstdint>

#include "device/encoder_protocol.h"

namespace pellix_usb_encoder {

// What to tell a user whose scan ended in AccessDenied.
inline constexpr const char* AccessDeniedAdvice =
    "The encoder is on the USB bus but this user may not open it. Install the udev rule "
    "(see README: sudo cp packaging/70-ovitone-hid.rules /lib/udev/rules.d/ && "
    "sudo udevadm control --reload-rules && sudo udevadm trigger), then unplug and replug "
    "the encoder.";

enum class ScanOutcome {
  Opened,        // hid_handle is the encoder's configuration interface
  NotFound,      // no encoder on the bus
  AccessDenied,  // the encoder is listed but this user may not open it
};

// Closes the open encoder (if any) and scans the bus again; hid_handle holds the result.
ScanOutcome ReopenEncoder();

// Closes the open encoder (if any) and shuts the HID library down.
void CloseEncoder();

// Sends one command to hid_handle and waits up to CommandTimeoutMs for the reply.
// Returns the transport's result code (ResultOk on success). The reply data go to
// `reply` when given.
int32_t SendToEncoder(uint8_t command, const uint8_t* payload = nullptr, int length = 0,
                      uint8_t* reply = nullptr, int replySize = 0,
                      uint32_t* replyLength = nullptr);

// GetStatus, decoded. False when the exchange fails or the block is malformed.
bool ReadEncoderStatus(EncoderStatus& status);

}  // namespace pellix_usb_encoder
