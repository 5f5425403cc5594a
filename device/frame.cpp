#include "device/frame.h"

#include <cstring>

#include "device/hid_transport.h"

namespace pellix_usb_encoder {

char HexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0x0Fu]; }

unsigned HexDigitValue(uint8_t digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10u;
  return 0;
}

uint8_t FrameChecksum(const uint8_t* report, int first, int last) {
  uint8_t sum = 0;
  for (int i = first; i <= last; ++i) sum ^= report[i];
  return sum;
}

void BuildRequestReport(uint8_t* report, uint8_t command, const uint8_t* payload,
                        int payloadLength) {
  std::memset(report, 0, ReportSize);
  const unsigned lengthByte = static_cast<unsigned>(payloadLength) & 0xFFu;
  report[0] = ReportId;
  report[1] = RequestSizeByte;
  report[2] = Stx;
  report[3] = static_cast<uint8_t>(HexDigit(command >> 4));
  report[4] = static_cast<uint8_t>(HexDigit(command));
  report[5] = static_cast<uint8_t>(HexDigit(lengthByte >> 4));
  report[6] = static_cast<uint8_t>(HexDigit(lengthByte));
  int n = payloadLength > 0 ? payloadLength : 0;
  if (n > 0 && payload != nullptr) std::memcpy(report + 7, payload, static_cast<size_t>(n));
  report[7 + n] = Etx;
  report[8 + n] = FrameChecksum(report, FrameOffset, 7 + n);
}

int32_t CheckReplyReport(const uint8_t* report, uint8_t* reply, int replySize,
                         uint32_t* replyLength) {
  if (report[2] != Stx) return ResultRefused;
  const int n = static_cast<int>(HexDigitValue(report[5]) * 16 + HexDigitValue(report[6]));
  if (n < 1 || n > MaxFrameLength) return ResultRefused;
  if (report[7] != 0x00) return ResultRefused;
  const int dataLength = n - 1;
  if (dataLength > 0 && (reply == nullptr || dataLength > replySize)) return ResultRefused;
  if (report[7 + n] != Etx) return ResultRefused;
  if (report[8 + n] != FrameChecksum(report, FrameOffset, 7 + n)) return ResultRefused;
  if (dataLength > 0) std::memcpy(reply, report + 8, static_cast<size_t>(dataLength));
  if (replyLength != nullptr) *replyLength = static_cast<uint32_t>(dataLength);
  return ResultOk;
}

}  // namespace pellix_usb_encoder
