// The reply checker on hand-built reports, and the status block decoder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/encoder_protocol.h"
#include "device/frame.h"
#include "device/hid_transport.h"

namespace pellix_usb_encoder {
namespace {

// A well-formed reply report: status byte then data.
Report MakeReply(uint8_t status, const std::vector<uint8_t>& data) {
  Report r{};
  const int n = static_cast<int>(data.size()) + 1;
  r[0] = ReportId;
  r[1] = static_cast<uint8_t>(n + 7);
  r[2] = Stx;
  r[3] = '0';
  r[4] = '1';
  r[5] = static_cast<uint8_t>(HexDigit(n >> 4));
  r[6] = static_cast<uint8_t>(HexDigit(n));
  r[7] = status;
  std::copy(data.begin(), data.end(), r.begin() + 8);
  r[7 + n] = Etx;
  r[8 + n] = FrameChecksum(r.data(), 2, 7 + n);
  return r;
}

struct Checked {
  int32_t result;
  uint32_t length;
  std::vector<uint8_t> data;
};

Checked Check(const Report& r, int replySize = 64) {
  std::vector<uint8_t> reply(64, 0xEE);
  uint32_t length = 0xDEAD;
  int32_t result = CheckReplyReport(r.data(), reply.data(), replySize, &length);
  reply.resize(result == ResultOk ? length : 0);
  return {result, length, reply};
}

TEST(ReplyCheck, AcceptsWellFormedRepliesOfEveryLength) {
  auto onlyStatus = Check(MakeReply(0x00, {}));
  EXPECT_EQ(onlyStatus.result, ResultOk);
  EXPECT_EQ(onlyStatus.length, 0u);

  std::vector<uint8_t> full(54);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7 + 1);
  auto largest = Check(MakeReply(0x00, full));  // n = 55: the checksum lands on byte 63
  EXPECT_EQ(largest.result, ResultOk);
  EXPECT_EQ(largest.data, full);
}

TEST(ReplyCheck, RefusesMalformedFrames) {
  const Report good = MakeReply(0x00, {1, 2, 3});
  auto broken = [&](auto change) {
    Report r = good;
    change(r);
    return Check(r);
  };
  EXPECT_EQ(broken([](Report& r) { r[7] = 0x01; r[12] ^= 0x01; }).result, ResultRefused)
      << "status byte not 0, even with a matching checksum";
  EXPECT_EQ(broken([](Report& r) { r[12] ^= 0xFF; }).result, ResultRefused) << "checksum";
  EXPECT_EQ(broken([](Report& r) { r[11] = 0x04; r[12] ^= 0x07; }).result, ResultRefused)
      << "missing ETX";
  EXPECT_EQ(broken([](Report& r) { r[2] = 0x01; }).result, ResultRefused) << "no STX";
  EXPECT_EQ(broken([](Report& r) { r[5] = '0'; r[6] = '0'; }).result, ResultRefused)
      << "length 0";
  EXPECT_EQ(broken([](Report& r) { r[5] = '3'; r[6] = '8'; }).result, ResultRefused)
      << "length 56 would run past the report";
  EXPECT_EQ(broken([](Report& r) { r[5] = 'F'; r[6] = 'F'; }).result, ResultRefused);
}

TEST(ReplyCheck, LowerCaseLengthDigitsCountAsZero) {
  // "0a" reads as 0 + 0 = 0: refused, though 0x0A would have been a valid length.
  std::vector<uint8_t> nine(9, 0x11);
  Report r = MakeReply(0x00, nine);
  r[6] = 'a';
  EXPECT_EQ(Check(r).result, ResultRefused);
  // "1a" reads as 16: the ETX is looked for at the wrong place.
  r[5] = '1';
  EXPECT_EQ(Check(r).result, ResultRefused);
  EXPECT_EQ(HexDigitValue('a'), 0u);
  EXPECT_EQ(HexDigitValue('G'), 0u);
  EXPECT_EQ(HexDigitValue('F'), 15u);
}

TEST(ReplyCheck, DataThatDoesNotFitTheCallersBufferIsRefused) {
  Report r = MakeReply(0x00, std::vector<uint8_t>(20, 0x42));
  EXPECT_EQ(Check(r, 19).result, ResultRefused);
  EXPECT_EQ(Check(r, 20).result, ResultOk);
}

std::vector<uint8_t> Block(const std::string& texts) {
  const uint8_t fixed[16] = {7, 2, 0x07, 0x03, 6, 5, 2, 1, 0x00, 0x80, 0xE1, 0x81, 0x00, 0x68, 0x00, 0x69};
  std::vector<uint8_t> block(sizeof fixed + texts.size());
  std::copy(std::begin(fixed), std::end(fixed), block.begin());
  std::copy(texts.begin(), texts.end(), block.begin() + sizeof fixed);
  return block;
}

TEST(StatusBlock, DecodesFieldsAndTexts) {
  auto block = Block(std::string("V1.2.7\0OV000123\0PX4W-A\0", 23));
  EncoderStatus status;
  ASSERT_TRUE(ParseStatusBlock(block.data(), static_cast<uint32_t>(block.size()), status));
  EXPECT_EQ(status.volLedBrightness, 7);
  EXPECT_EQ(status.jackLedBrightness, 2);
  EXPECT_EQ(status.jackStatus, 2);
  EXPECT_FALSE(JackInserted(status));
  EXPECT_EQ(status.keypadType, 1);
  EXPECT_EQ(status.keyCodeTable, (std::array<uint8_t, 8>{0x00, 0x80, 0xE1, 0x81, 0x00, 0x68, 0x00, 0x69}));
  EXPECT_EQ(status.firmwareVersion, "V1.2.7");
  EXPECT_EQ(status.serialNumber, "OV000123");
}

TEST(StatusBlock, EmptySerialNumberStaysEmpty) {
  auto block = Block(std::string("V1.2.7\0\0", 8));
  EncoderStatus status;
  status.serialNumber = "stale";
  ASSERT_TRUE(ParseStatusBlock(block.data(), static_cast<uint32_t>(block.size()), status));
  EXPECT_EQ(status.serialNumber, "");
}

TEST(StatusBlock, NeverReadsPastTheData) {
  // Exactly sized heap copies let AddressSanitizer catch any over-read.
  auto parse = [](const std::vector<uint8_t>& bytes, EncoderStatus& status) {
    auto* copy = new uint8_t[bytes.size()];
    std::copy(bytes.begin(), bytes.end(), copy);
    bool ok = ParseStatusBlock(copy, static_cast<uint32_t>(bytes.size()), status);
    delete[] copy;
    return ok;
  };
  EncoderStatus status;
  ASSERT_TRUE(parse(Block("V1.2.7"), status));  // version without terminator
  EXPECT_EQ(status.firmwareVersion, "V1.2.7");
  EXPECT_EQ(status.serialNumber, "");
  ASSERT_TRUE(parse(Block(std::string("V1\0OV12", 7)), status));  // serial without terminator
  EXPECT_EQ(status.serialNumber, "OV12");
  ASSERT_TRUE(parse(Block(""), status));  // the fixed bytes only
  EXPECT_EQ(status.firmwareVersion, "");

  auto tooShort = Block("");
  tooShort.pop_back();
  status.firmwareVersion = "kept";
  EXPECT_FALSE(parse(tooShort, status));
  EXPECT_EQ(status.firmwareVersion, "kept") << "a refused block leaves the status alone";
  EXPECT_FALSE(ParseStatusBlock(nullptr, 0, status));
}

}  // namespace
}  // namespace pellix_usb_encoder
