// The transport against the encoder twin: request bytes on the wire, result codes, the
// time-out's polls and acknowledgements, stale replies, closing and scanning again, and
// several threads sharing hid_handle.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/device_lock.h"
#include "device/encoder_protocol.h"
#include "device/frame.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

using sim::Bus;
using sim::EncoderFault;
using Bytes = std::vector<uint8_t>;

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Instance().Reset();
    Bus::Instance().UseVirtualClock(true);
    twin = sim::PlugEncoder();
    device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, name, name);
    ASSERT_NE(device, nullptr);
  }
  void TearDown() override { hid_exit_safely(device); }

  int32_t Send(uint8_t command, Bytes payload = {}, int timeoutMs = 5000) {
    replyLength = 0xDEAD;
    return USBEncoderSendAndReceive_a(device, command, payload.data(), static_cast<int>(payload.size()),
                                      reply, sizeof reply, &replyLength, timeoutMs);
  }
  // Empty polls of one exchange that ends in `expected`.
  int EmptyPolls(int32_t expected, int timeoutMs) {
    const int before = Bus::Instance().EmptyReads();
    EXPECT_EQ(Send(GetStatus, {}, timeoutMs), expected);
    return Bus::Instance().EmptyReads() - before;
  }

  std::shared_ptr<sim::EncoderTwin> twin;
  hid_device* device = nullptr;
  char name[DeviceNameBufferSize];
  uint8_t reply[64] = {};
  uint32_t replyLength = 0;
};

TEST_F(TransportTest, RequestsGoOutByteForByteAndTheirRepliesAreTaken) {
  const Bytes table{0x00, 0x1A, 0xE1, 0x2B, 0x00, 0x68, 0xE7, 0x81};
  const struct {
    uint8_t command;
    Bytes payload, head;  // the report up to the payload
  } cases[] = {{GetStatus, {}, {0x3F, 0x40, 0x02, '0', '1', '0', '0'}},
               {SetKeypadType, {2}, {0x3F, 0x40, 0x02, '0', '7', '0', '1'}},
               {LoadKeyTable, table, {0x3F, 0x40, 0x02, '0', '5', '0', '8'}},
               {EnterFirmwareUpgrade, {}, {0x3F, 0x40, 0x02, '0', 'C', '0', '0'}}};
  for (const auto& c : cases) {
    ASSERT_EQ(Send(c.command, c.payload), ResultOk) << int(c.command);
    Bytes expected = c.head;
    expected.insert(expected.end(), c.payload.begin(), c.payload.end());
    expected.push_back(0x03);
    uint8_t sum = 0;
    for (size_t i = 2; i < expected.size(); ++i) sum ^= expected[i];
    expected.push_back(sum);
    expected.resize(64, 0);
    EXPECT_EQ(Bus::Instance().Writes().back().bytes, expected) << int(c.command);
    EXPECT_EQ(Bytes(reply, reply + replyLength), c.command == GetStatus ? twin->StatusBlock() : Bytes{});
  }
  EXPECT_EQ(twin->Settings().keypadType, 2);
  EXPECT_EQ(twin->Settings().keyCodeTable, (std::array<uint8_t, 8>{0x00, 0x1A, 0xE1, 0x2B, 0x00, 0x68, 0xE7, 0x81}));

  uint8_t report[ReportSize];  // a negative length sends nothing; the digits keep its low byte
  BuildRequestReport(report, 0x0E, table.data(), -1);
  EXPECT_EQ(Bytes(report + 5, report + 9), (Bytes{'F', 'F', 0x03, uint8_t(0x02 ^ '0' ^ 'E' ^ 'F' ^ 'F' ^ 0x03)}));
}

TEST_F(TransportTest, FaultyRepliesGiveTheirResultCodes) {
  const std::pair<EncoderFault, int32_t> cases[] = {
      {EncoderFault::Refuse, ResultRefused},      {EncoderFault::BadStatus, ResultRefused},
      {EncoderFault::BadChecksum, ResultRefused}, {EncoderFault::OversizeByte, ResultOversizeReport},
      {EncoderFault::Silence, ResultTimeout}};
  for (const auto& [fault, expected] : cases) {
    twin->InjectFault(fault);
    EXPECT_EQ(Send(SetLedBrightness, {VolumeLedGroup, 2}), expected) << int(fault);
    EXPECT_EQ(replyLength, 0xDEADu) << "a failed exchange stores no length";
    EXPECT_EQ(Send(GetStatus), ResultOk);  // the next exchange is not disturbed
  }
  twin->InjectFault(EncoderFault::UnplugDuringExchange);
  EXPECT_EQ(Send(GetStatus), ResultNoDevice);
  EXPECT_EQ(Send(GetStatus), ResultNoDevice);  // the stale handle keeps failing at the write
  EXPECT_EQ(USBEncoderSendAndReceive_a(nullptr, GetStatus, nullptr, 0, reply, 64, &replyLength, 5000),
            ResultNoDevice);
}

TEST_F(TransportTest, TimeOutCountsPollsThatAcknowledgementsRestartWithinThirtySeconds) {
  twin->InjectFault(EncoderFault::Silence, 2);
  EXPECT_EQ(EmptyPolls(ResultTimeout, 5000), 1 + 500);  // a look for stale reports, then polls
  EXPECT_EQ(EmptyPolls(ResultTimeout, 35), 1 + 4);      // 10, 20, 30, 40: the fourth poll

  // Ten acknowledgements 40 ms apart, far beyond the 50 ms time-out: each restarts it.
  twin->SetAckStream(10, 40);
  twin->InjectFault(EncoderFault::AckStream);
  EXPECT_EQ(Send(GetStatus, {}, 50), ResultOk);
  EXPECT_EQ(replyLength, twin->StatusBlock().size());
  twin->SetAckStream(3, 60);  // a gap longer than the time-out
  twin->InjectFault(EncoderFault::AckStream);
  EXPECT_EQ(Send(GetStatus, {}, 50), ResultTimeout);
  Bus::Instance().AdvanceMs(1000);  // its late reply is dropped by the next exchange

  for (const int intervalMs : {5, 45}) {  // endless: a time-out within 30 s all the same
    twin->SetAckStream(-1, intervalMs);
    twin->InjectFault(EncoderFault::AckStream);
    const int64_t start = Bus::Instance().NowMs();
    EXPECT_EQ(Send(GetStatus, {}, 50), ResultTimeout);
    EXPECT_LE(Bus::Instance().NowMs() - start, 30'000) << intervalMs;
    EXPECT_GE(Bus::Instance().NowMs() - start, 10'000) << intervalMs;
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
}

TEST_F(TransportTest, CloseShutsTheLibraryDownAndAScanFindsTheEncoderBack) {
  twin->SetRejoinDelayMs(100);
  EXPECT_EQ(Send(FactoryReset), ResultOk);
  EXPECT_EQ(Send(GetStatus), ResultNoDevice);  // the old handle is stale
  const int exits = Bus::Instance().ExitCount();
  hid_exit_safely(device);
  hid_exit_safely(nullptr);  // still shuts the library down
  EXPECT_EQ(Bus::Instance().ExitCount(), exits + 2);
  EXPECT_FALSE(Bus::Instance().Initialised());
  EXPECT_EQ(Bus::Instance().OpenHandles(), 0);
  device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, name, name);
  EXPECT_EQ(device, nullptr);  // still away
  Bus::Instance().AdvanceMs(200);
  device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, name, name);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(Send(GetStatus), ResultOk);
}

// Each thread holds the device lock from reading the handle to the end of its sequence,
// as the windows and their workers do, and one of them keeps closing and rescanning.
TEST(DeviceLock, SequencesFromSeveralThreadsNeverInterleave) {
  sim::Bus::Instance().Reset();
  auto twin = sim::PlugEncoder();
  char name[DeviceNameBufferSize];
  hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, name, name);
  ASSERT_NE(hid_handle, nullptr);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (uint8_t level = 1; level <= 3; ++level) {
    threads.emplace_back([&, level] {
      for (int i = 0; i < 40; ++i) {
        DeviceLock lock = LockDevice();
        const uint8_t set[2] = {VolumeLedGroup, level};
        uint8_t reply[64];
        uint32_t length = 0;
        if (USBEncoderSendAndReceive_a(hid_handle, SetLedBrightness, set, 2, reply, 64, &length,
                                       CommandTimeoutMs) != ResultOk ||
            USBEncoderSendAndReceive_a(hid_handle, GetStatus, nullptr, 0, reply, 64, &length,
                                       CommandTimeoutMs) != ResultOk ||
            reply[0] != level) {
          ++failures;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 15; ++i) {
      DeviceLock lock = LockDevice();
      if (hid_handle != nullptr) hid_exit_safely(hid_handle);
      hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, name, name);
      if (hid_handle == nullptr) ++failures;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  hid_exit_safely(hid_handle);
  hid_handle = nullptr;
}

}  // namespace
}  // namespace pellix_usb_encoder
