// The transport against the encoder twin: request bytes on the wire, result codes,
// time-out counting, scan rules and close/re-initialise.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/encoder_protocol.h"
#include "device/frame.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Instance().Reset();
    Bus::Instance().UseVirtualClock(true);
    twin = sim::PlugEncoder();
    device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
    ASSERT_NE(device, nullptr);
    Bus::Instance().ClearTraffic();
  }
  void TearDown() override { hid_exit_safely(device); }

  int32_t Send(uint8_t command, std::vector<uint8_t> payload = {}, int timeoutMs = 5000) {
    replyLength = 0xDEAD;
    return USBEncoderSendAndReceive_a(device, command, payload.data(),
                                      static_cast<int>(payload.size()), reply, sizeof reply,
                                      &replyLength, timeoutMs);
  }

  // The last report written to the bus.
  std::vector<uint8_t> LastWrite() {
    auto writes = Bus::Instance().Writes();
    return writes.empty() ? std::vector<uint8_t>{} : writes.back().bytes;
  }

  std::shared_ptr<sim::EncoderTwin> twin;
  hid_device* device = nullptr;
  char manufacturer[DeviceNameBufferSize];
  char product[DeviceNameBufferSize];
  uint8_t reply[64] = {};
  uint32_t replyLength = 0;
};

TEST_F(TransportTest, RequestFramesOnTheWire) {
  ASSERT_EQ(Send(GetStatus), ResultOk);
  std::vector<uint8_t> expected(64, 0);
  auto head = Bytes({0x3F, 0x40, 0x02, 0x30, 0x31, 0x30, 0x30, 0x03, 0x00});
  std::copy(head.begin(), head.end(), expected.begin());
  EXPECT_EQ(LastWrite(), expected);

  ASSERT_EQ(Send(SetKeypadType, {0x02}), ResultOk);
  auto frame = LastWrite();
  ASSERT_EQ(frame.size(), 64u);
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 10),
            Bytes({0x3F, 0x40, 0x02, 0x30, 0x37, 0x30, 0x31, 0x02, 0x03, 0x05}));
  EXPECT_TRUE(std::all_of(frame.begin() + 10, frame.end(), [](uint8_t b) { return b == 0; }));

  // Command and length digits are upper-case hexadecimal; the size byte stays 0x40.
  ASSERT_EQ(Send(LoadKeyTable, {0x00, 0x1A, 0xE1, 0x2B, 0x00, 0x68, 0xE7, 0x81}), ResultOk);
  frame = LastWrite();
  EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 7),
            Bytes({0x3F, 0x40, 0x02, '0', '5', '0', '8'}));
  EXPECT_EQ(frame[15], Etx);
  EXPECT_EQ(frame[16], FrameChecksum(frame.data(), 2, 15));
  EXPECT_EQ(twin->Settings().keyCodeTable,
            (std::array<uint8_t, 8>{0x00, 0x1A, 0xE1, 0x2B, 0x00, 0x68, 0xE7, 0x81}));

  ASSERT_EQ(Send(EnterFirmwareUpgrade), ResultOk);
  EXPECT_EQ(LastWrite()[3], '0');
  EXPECT_EQ(LastWrite()[4], 'C');
}

TEST(RequestFrame, NegativeLengthSendsNoPayloadAndLengthKeepsLowByte) {
  uint8_t report[ReportSize];
  const uint8_t payload[1] = {0x55};
  BuildRequestReport(report, 0x0E, payload, -1);
  EXPECT_EQ(report[5], 'F');  // low 8 bits of -1
  EXPECT_EQ(report[6], 'F');
  EXPECT_EQ(report[7], Etx);
  EXPECT_EQ(report[8], FrameChecksum(report, 2, 7));
}

TEST_F(TransportTest, StatusReplyIsDecoded) {
  twin->SetSerialNumber("AB12CD34");
  ASSERT_EQ(Send(GetStatus), ResultOk);
  EXPECT_EQ(std::vector<uint8_t>(reply, reply + replyLength), twin->StatusBlock());
  EncoderStatus status;
  ASSERT_TRUE(ParseStatusBlock(reply, replyLength, status));
  const auto settings = twin->Settings();
  EXPECT_EQ(status.volLedBrightness, settings.volLedBrightness);
  EXPECT_EQ(status.jackLedBrightness, settings.jackLedBrightness);
  EXPECT_EQ(status.keypadType, settings.keypadType);
  EXPECT_EQ(status.keyCodeTable, settings.keyCodeTable);
  EXPECT_EQ(status.firmwareVersion, twin->FirmwareVersion());
  EXPECT_EQ(status.serialNumber, "AB12CD34");
}

TEST_F(TransportTest, SettingCommandsReplyWithNoData) {
  ASSERT_EQ(Send(SetLedBrightness, {JackLedGroup, 3}), ResultOk);
  EXPECT_EQ(replyLength, 0u);
  EXPECT_EQ(twin->Settings().jackLedBrightness, 3);
}

TEST_F(TransportTest, FaultyRepliesGiveTheirResultCodes) {
  struct Case {
    EncoderFault fault;
    int32_t expected;
  } cases[] = {
      {EncoderFault::Refuse, ResultRefused},
      {EncoderFault::BadStatus, ResultRefused},
      {EncoderFault::BadChecksum, ResultRefused},
      {EncoderFault::OversizeByte, ResultOversizeReport},
      {EncoderFault::Silence, ResultTimeout},
  };
  for (const auto& c : cases) {
    twin->InjectFault(c.fault);
    replyLength = 0xDEAD;
    EXPECT_EQ(Send(SetLedBrightness, {VolumeLedGroup, 2}), c.expected)
        << "fault " << static_cast<int>(c.fault);
    EXPECT_EQ(replyLength, 0xDEADu) << "a failed exchange stores no length";
    // The next exchange is not disturbed by the failed one.
    EXPECT_EQ(Send(GetStatus), ResultOk);
  }
}

TEST_F(TransportTest, TimeOutCountsTenMillisecondsPerEmptyPoll) {
  twin->InjectFault(EncoderFault::Silence, -1);
  Bus::Instance().ClearTraffic();
  // One look for stale reports before the request, then the polls.
  const int before = Bus::Instance().EmptyReads();
  EXPECT_EQ(Send(GetStatus, {}, 5000), ResultTimeout);
  EXPECT_EQ(Bus::Instance().EmptyReads() - before, 1 + 500);

  const int between = Bus::Instance().EmptyReads();
  EXPECT_EQ(Send(GetStatus, {}, 35), ResultTimeout);  // 10, 20, 30, 40: the fourth poll
  EXPECT_EQ(Bus::Instance().EmptyReads() - between, 1 + 4);
}

TEST_F(TransportTest, AcknowledgementsRestartTheTimeOut) {
  // Ten acknowledgements 40 ms apart: 400 ms in all, far beyond the 50 ms time-out,
  // yet each one restarts the count, so the reply after them is still taken.
  twin->SetAckStream(10, 40);
  twin->InjectFault(EncoderFault::AckStream);
  EXPECT_EQ(Send(GetStatus, {}, 50), ResultOk);
  EXPECT_EQ(replyLength, twin->StatusBlock().size());

  // Acknowledgements 60 ms apart leave a gap longer than the time-out.
  twin->SetAckStream(3, 60);
  twin->InjectFault(EncoderFault::AckStream);
  EXPECT_EQ(Send(GetStatus, {}, 50), ResultTimeout);
}

// Acknowledgements restart the time-out, but not forever: the whole exchange ends
// with the time-out result within 30 s, whether they come fast or just under it.
TEST_F(TransportTest, EndlessAcknowledgementsEndInATimeOutWithinThirtySeconds) {
  for (const int intervalMs : {5, 45}) {
    SCOPED_TRACE(intervalMs);
    twin->SetAckStream(-1, intervalMs);
    twin->InjectFault(EncoderFault::AckStream);
    const int64_t start = Bus::Instance().NowMs();
    EXPECT_EQ(Send(GetStatus, {}, 50), ResultTimeout);
    EXPECT_LE(Bus::Instance().NowMs() - start, 30'000);
    EXPECT_GE(Bus::Instance().NowMs() - start, 10'000);  // acknowledged waits still wait
  }
}

// A reply answers only the request just sent: one that came after its time-out, or a
// second copy of an answer, is dropped before the next request goes out.
TEST_F(TransportTest, StaleAndDuplicateRepliesNeverAnswerTheNextRequest) {
  twin->SetReplyLatencyMs(6000);
  EXPECT_EQ(Send(SetLedBrightness, {0, 3}, 5000), ResultTimeout);
  Bus::Instance().AdvanceMs(2000);  // its reply arrives late and waits unread
  twin->SetReplyLatencyMs(0);
  twin->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Send(SetLedBrightness, {0, 4}), ResultRefused);

  twin->InjectFault(EncoderFault::DuplicateReply);
  EXPECT_EQ(Send(SetKeypadType, {1}), ResultOk);
  twin->InjectFault(EncoderFault::Refuse);
  EXPECT_EQ(Send(SetKeypadType, {2}), ResultRefused);
  EXPECT_EQ(twin->Settings().keypadType, 1);
}

TEST_F(TransportTest, UnplugGivesNoDevice) {
  twin->InjectFault(EncoderFault::UnplugDuringExchange);
  EXPECT_EQ(Send(GetStatus), ResultNoDevice);
  // The stale handle keeps failing at the write.
  EXPECT_EQ(Send(GetStatus), ResultNoDevice);
  EXPECT_EQ(USBEncoderSendAndReceive_a(nullptr, GetStatus, nullptr, 0, reply, 64, &replyLength,
                                       5000),
            ResultNoDevice);
}

TEST_F(TransportTest, CloseShutsDownAndANewScanWorks) {
  hid_exit_safely(device);
  device = nullptr;
  EXPECT_FALSE(Bus::Instance().Initialised());
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);

  const int exits = Bus::Instance().ExitCount();
  hid_exit_safely(nullptr);  // still shuts the library down
  EXPECT_EQ(Bus::Instance().ExitCount(), exits + 1);

  device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(Bus::Instance().Initialised());
  EXPECT_EQ(Send(GetStatus), ResultOk);
}

TEST_F(TransportTest, ScanFollowsFactoryResetReEnumeration) {
  twin->SetRejoinDelayMs(100);
  Send(FactoryReset);
  EXPECT_EQ(Send(GetStatus), ResultNoDevice);  // the old handle is stale
  hid_exit_safely(device);
  device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  EXPECT_EQ(device, nullptr);  // still away
  Bus::Instance().AdvanceMs(200);
  device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Send(GetStatus), ResultOk);
  EXPECT_EQ(twin->Settings(), sim::EncoderTwin::FactorySettings());
}

}  // namespace
}  // namespace pellix_usb_encoder
