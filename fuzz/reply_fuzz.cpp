// Feeds arbitrary reports to the reply checker and whatever it accepts, plus the raw
// input, to the status block decoder.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/encoder_protocol.h"
#include "device/frame.h"
#include "device/hid_transport.h"

using namespace pellix_usb_encoder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t report[ReportSize] = {};
  std::memcpy(report, data, size < sizeof report ? size : sizeof report);

  // The reply buffer is exactly as large as the checker may fill, so ASan sees any
  // write past it.
  std::vector<uint8_t> reply(MaxFrameLength - 1);
  uint32_t replyLength = 0xFFFFFFFFu;
  const int32_t result = CheckReplyReport(report, reply.data(), static_cast<int>(reply.size()),
                                          &replyLength);
  if (result == ResultOk) {
    if (replyLength > reply.size()) std::abort();
    std::vector<uint8_t> exact(reply.begin(), reply.begin() + replyLength);
    EncoderStatus status;
    ParseStatusBlock(exact.data(), replyLength, status);
  } else if (result != ResultRefused || replyLength != 0xFFFFFFFFu) {
    std::abort();
  }

  // The decoder on its own, over an allocation of exactly the input's size.
  std::vector<uint8_t> block(data, data + size);
  EncoderStatus status;
  if (ParseStatusBlock(block.data(), static_cast<uint32_t>(block.size()), status)) {
    if (status.firmwareVersion.size() + status.serialNumber.size() > size) std::abort();
  }
  return 0;
}
