// The reply checker on hand-built reports, and the status block decoder.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/encoder_protocol.h"
#include "device/frame.h"
#include "device/hid_transport.h"

namespace pellix_usb_encoder {
namespace {

// A well-formed reply report: status byte then data, checksum worked out here.
Report MakeReply(uint8_t status, const std::vector<uint8_t>& data) {
  Report r{};
  const int n = static_cast<int>(data.size()) + 1;
  const char* hex = "0123456789ABCDEF";
  r[0] = 0x3F, r[1] = static_cast<uint8_t>(n + 7), r[2] = 0x02, r[3] = '0', r[4] = '1';
  r[5] = static_cast<uint8_t>(hex[n >> 4]), r[6] = static_cast<uint8_t>(hex[n & 15]), r[7] = status;
  std::copy(data.begin(), data.end(), r.begin() + 8);
  r[7 + n] = 0x03;
  for (int i = 2; i <= 7 + n; ++i) r[8 + n] ^= r[i];
  return r;
}

TEST(ReplyCheck, AcceptsWellFormedRepliesAndRefusesMalformedOnes) {
  std::vector<uint8_t> full(54), twenty(20, 0x42);
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 7 + 1);
  const Report good = MakeReply(0x00, {1, 2, 3}), nine = MakeReply(0x00, std::vector<uint8_t>(9, 0x11));
  auto with = [](Report r, std::initializer_list<std::pair<int, uint8_t>> bytes) {
    for (auto [at, value] : bytes) r[at] = value;
    return r;
  };
  const struct {
    const char* name;
    Report report;
    int replySize;
    std::vector<uint8_t> data;  // with ResultOk
    bool ok;
  } cases[] = {
      {"status only", MakeReply(0x00, {}), 64, {}, true},
      {"largest: checksum on byte 63", MakeReply(0x00, full), 64, full, true},
      {"fills the buffer", MakeReply(0x00, twenty), 20, twenty, true},
      {"larger than the buffer", MakeReply(0x00, twenty), 19, {}, false},
      {"status not 0, checksum matching", with(good, {{7, 0x01}, {12, uint8_t(good[12] ^ 1)}}), 64, {}, false},
      {"checksum", with(good, {{12, uint8_t(good[12] ^ 0xFF)}}), 64, {}, false},
      {"no ETX", with(good, {{11, 0x04}, {12, uint8_t(good[12] ^ 7)}}), 64, {}, false},
      {"no STX", with(good, {{2, 0x01}}), 64, {}, false},
      {"length 0", with(good, {{5, '0'}, {6, '0'}}), 64, {}, false},
      {"length 56 runs past the report", with(good, {{5, '3'}, {6, '8'}}), 64, {}, false},
      {"length FF", with(good, {{5, 'F'}, {6, 'F'}}), 64, {}, false},
      {"lower-case '0a' counts as 0", with(nine, {{6, 'a'}}), 64, {}, false},
      {"lower-case '1a' counts as 16", with(nine, {{5, '1'}, {6, 'a'}}), 64, {}, false},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> reply(64, 0xEE);
    uint32_t length = 0xDEAD;
    const int32_t result = CheckReplyReport(c.report.data(), reply.data(), c.replySize, &length);
    EXPECT_EQ(result, c.ok ? ResultOk : ResultRefused) << c.name;
    if (c.ok && result == ResultOk) {
      reply.resize(length);
      EXPECT_EQ(reply, c.data) << c.name;
    }
  }
}

TEST(StatusBlock, DecodesFieldsAndTextsNeverReadingPastTheData) {
  const uint8_t fixed[16] = {7, 2, 0x07, 0x03, 6, 5, 2, 1, 0x00, 0x80, 0xE1, 0x81, 0x00, 0x68, 0x00, 0x69};
  // Exactly sized heap copies let AddressSanitizer catch any over-read.
  auto parse = [&](const std::string& texts, EncoderStatus& status, size_t cut = 0) {
    const size_t size = sizeof fixed + texts.size() - cut;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    std::copy_n((std::string(std::begin(fixed), std::end(fixed)) + texts).begin(), size, copy.get());
    return ParseStatusBlock(copy.get(), static_cast<uint32_t>(size), status);
  };
  EncoderStatus status;
  ASSERT_TRUE(parse(std::string("V1.2.7\0OV000123\0PX4W-A\0", 23), status));
  EXPECT_EQ((std::array<int, 4>{status.volLedBrightness, status.jackLedBrightness, status.jackStatus,
                                 status.keypadType}),
            (std::array<int, 4>{7, 2, 2, 1}));
  EXPECT_EQ(status.keyCodeTable, (std::array<uint8_t, 8>{0x00, 0x80, 0xE1, 0x81, 0x00, 0x68, 0x00, 0x69}));
  EXPECT_EQ(status.firmwareVersion, "V1.2.7");
  EXPECT_EQ(status.serialNumber, "OV000123");

  const struct { std::string texts, version, serial; } cases[] = {
      {std::string("V1.2.7\0\0", 8), "V1.2.7", ""},  // an empty serial number stays empty
      {"V1.2.7", "V1.2.7", ""},                      // no terminator
      {std::string("V1\0OV12", 7), "V1", "OV12"},
      {"", "", ""},  // the fixed bytes only
  };
  for (const auto& c : cases) {
    status.serialNumber = "stale";
    ASSERT_TRUE(parse(c.texts, status)) << c.version;
    EXPECT_EQ(status.firmwareVersion, c.version);
    EXPECT_EQ(status.serialNumber, c.serial);
  }
  status.firmwareVersion = "kept";
  EXPECT_FALSE(parse("", status, 1));
  EXPECT_EQ(status.firmwareVersion, "kept") << "a refused block leaves the status alone";
  EXPECT_FALSE(ParseStatusBlock(nullptr, 0, status));
}

}  // namespace
}  // namespace pellix_usb_encoder
