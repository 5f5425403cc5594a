// The command frame inside a 64-byte HID report, both directions.
//
//   offset 0   report id 0x3F          offset 1   size byte (0x40 on requests)
//   offset 2   STX 0x02                offset 3-4 command, two upper-case hex digits
//   offset 5-6 length n, two hex digits
//   offset 7.. n payload bytes (requests) or status byte + n-1 data bytes (replies)
//   offset 7+n ETX 0x03                offset 8+n XOR of offsets 2 .. 7+n
#pragma once

#include <array>
#include <cstdint>

namespace pellix_usb_encoder {

constexpr int ReportSize = 64;
constexpr uint8_t ReportId = 0x3F;
constexpr uint8_t RequestSizeByte = 0x40;
constexpr uint8_t Stx = 0x02;
constexpr uint8_t Etx = 0x03;
constexpr uint8_t Ack = 0x06;
constexpr uint8_t Refusal = 0x0F;
constexpr int MaxFrameLength = 55;  // the largest n whose checksum still lands on byte 63
constexpr int FrameOffset = 2;

using Report = std::array<uint8_t, ReportSize>;

// Upper-case hexadecimal digit of the low nibble of `value`.
char HexDigit(unsigned value);
// Value of one received hexadecimal digit: "0".."9" and "A".."F"; anything else counts 0.
unsigned HexDigitValue(uint8_t digit);
// Exclusive-or of report[first .. last] inclusive.
uint8_t FrameChecksum(const uint8_t* report, int first, int last);

// Builds the request report for `command` with `payloadLength` payload bytes (the
// length digits carry its low 8 bits; a length of 0 or less copies nothing). The
// caller keeps the length at MaxFrameLength or below.
void BuildRequestReport(uint8_t* report, uint8_t command, const uint8_t* payload,
                        int payloadLength);

// Checks a received report that is neither an acknowledgement nor a refusal. On
// success copies the n-1 data bytes into `reply` and stores n-1 in `replyLength`;
// returns ResultOk or ResultRefused. Data that would not fit `replySize` bytes make
// the reply malformed.
int32_t CheckReplyReport(const uint8_t* report, uint8_t* reply, int replySize,
                         uint32_t* replyLength);

}  // namespace pellix_usb_encoder
