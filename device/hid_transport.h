// HID transport to the encoder's configuration interface.
//
// One request frame goes out per exchange in a 64-byte report, and the reply frame
// is waited for and checked before the exchange returns. All calls into hidapi made
// from here run under the process-wide device lock (device_lock.h).
#pragma once

#include <cstdint>
#include <string>

#include <hidapi/hidapi.h>

namespace pellix_usb_encoder {

constexpr int EncoderVendorId = 0x2047, EncoderProductId = 0x0A3B, ConfigInterfaceNumber = 1;

// Size of the manufacturer and product text buffers that callers hand to the scan.
constexpr int DeviceNameBufferSize = 48;

// Result codes of USBEncoderSendAndReceive_a.
constexpr int32_t ResultOk = 0;
constexpr int32_t ResultNoDevice = -1;       // null handle, write failure or read failure
constexpr int32_t ResultTimeout = -6;        // no reply within the time-out
constexpr int32_t ResultOversizeReport = -8; // size byte above 0x40
constexpr int32_t ResultRefused = -13;       // 0x0F refusal or malformed reply frame

// The one open encoder of the program; null when none is open. Read and replace it
// only while holding the device lock.
extern hid_device* hid_handle;

// Finds the encoder's configuration interface (interface 1) and opens it in
// non-blocking mode. Writes the manufacturer and product names (narrowed to 8 bits,
// control characters as '?', at most DeviceNameBufferSize bytes with the terminator)
// into the two buffers, or "None" into both when no device is found. Returns the
// device or null.
// Opens the encoder's configuration interface: the first one listed, or the one on USB
// `port` when a port is given. Sets `foundButCouldNotOpen` when the interface was listed
// but could not be opened. The caller holds the device lock.
hid_device* OpenConfigInterface(int vendorId, int productId, const std::string& port,
                                bool& foundButCouldNotOpen);
hid_device* ScanForUSBDevice_a(int vendorId, int productId, char* manufacturer, char* product);

// True when the most recent ScanForUSBDevice_a found the encoder's interface 1 in the
// enumeration but could not open it (on Linux: no access to /dev/hidraw*, the udev rule
// is missing). False after a scan that opened the device or found no such interface.
bool LastScanFoundButCouldNotOpen();

// Sends one command frame and waits for its reply. Returns one of the result codes
// above; on success the reply data (without the status byte) are in `reply` and their
// count in `replyLength`. A time-out of 0 waits without limit.
int32_t USBEncoderSendAndReceive_a(hid_device* device, uint8_t command, const uint8_t* payload,
                                   int payloadLength, uint8_t* reply, int replySize,
                                   uint32_t* replyLength, int timeoutMs);

// Closes the device (when not null) and shuts the HID library down.
void hid_exit_safely(hid_device* device);

}  // namespace pellix_usb_encoder
