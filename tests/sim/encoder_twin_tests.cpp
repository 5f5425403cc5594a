// The encoder twin as the host sees it through hidapi: the status block, the effect of
// every command, refusals of malformed requests, the injected faults byte by byte, and
// the restarts of FactoryReset and EnterFirmwareUpgrade. Runs on the virtual clock.

#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using pellix_usb_encoder::sim::EncoderFault;
using pellix_usb_encoder::sim::EncoderSettings;
using pellix_usb_encoder::sim::WriteContext;

constexpr uint8_t kGetStatus = 0x01, kSetLed = 0x02, kLoadTable = 0x05, kSetKeypad = 0x07;
constexpr uint8_t kWriteDefault = 0x09, kFactoryReset = 0x0A, kFirmwareUpgrade = 0x0C;
constexpr uint8_t kSetSerial = 0x0E;

class EncoderTwinTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    bus().UseVirtualClock(true);
    handle = Open();
    ASSERT_NE(handle, nullptr);
  }
  uint8_t StatusOf(uint8_t command, const std::vector<uint8_t>& payload = {}) {
    const Report reply = Exchange(handle, Request(command, payload));
    return reply.size() == 64 && reply[2] == 0x02 ? reply[7] : 0xEE;
  }
  hid_device* handle = nullptr;
};

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST_F(EncoderTwinTest, GetStatusReturnsTheStatusBlock) {
  twin->SetJackInserted(true);
  const std::vector<uint8_t> block = {
      6, 6, 0x07, 0x03, 6, 6, 0, 0, 0x00, 0x80, 0x00, 0x81, 0x00, 0x68, 0x00, 0x69,
      'V', '1', '.', '2', '.', '7', 0, 'O', 'V', '0', '0', '0', '1', '2', '3', 0,
      'P', 'X', '4', 'W', '-', 'A', 0};
  const Report reply = Exchange(handle, Request(kGetStatus));
  EXPECT_EQ(reply, Reply(kGetStatus, 0, block));
  EXPECT_EQ(Report(reply.begin(), reply.begin() + 8),  // n = 40: 47 frame bytes follow
            (Report{0x3F, 0x2F, 0x02, '0', '1', '2', '8', 0x00}));
  EXPECT_EQ(twin->StatusBlock(), block);
  twin->SetJackInserted(false);
  EXPECT_EQ(Exchange(handle, Request(kGetStatus))[8 + 6], 2);
}

TEST_F(EncoderTwinTest, LiteralFrames) {
  // SetKeypadType 2 as the host writes it, and the encoder's plain acceptance.
  const Report request = Request(kSetKeypad, {2});
  EXPECT_EQ(Report(request.begin() + 2, request.begin() + 10),
            (Report{0x02, 0x30, 0x37, 0x30, 0x31, 0x02, 0x03, 0x05}));
  const Report reply = Exchange(handle, request);
  EXPECT_EQ(Report(reply.begin(), reply.begin() + 10),
            (Report{0x3F, 0x08, 0x02, 0x30, 0x37, 0x30, 0x31, 0x00, 0x03, 0x07}));
  EXPECT_TRUE(std::all_of(reply.begin() + 10, reply.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(EncoderTwinTest, MalformedRequestsAndUnknownCommandsAreRefused) {
  auto reseal = [](Report r, size_t n) {
    r[8 + n] = Xor(r, 2, 7 + n);
    return r;
  };
  Report badStx = Request(kSetKeypad, {2}), badEtx = badStx, badSum = badStx;
  Report badId = badStx, badDigit = badStx, tooLong = badStx;
  badStx[2] = 0x01;
  badEtx[8] = 0x04;
  badSum[9] ^= 0x01;
  badId[0] = 0x00;
  badDigit[4] = 'G';
  tooLong[5] = '3';
  tooLong[6] = '8';  // n = 0x38 = 56 would run past the report
  const std::vector<std::pair<const char*, Report>> cases = {
      {"stx", reseal(badStx, 1)}, {"etx", reseal(badEtx, 1)}, {"checksum", badSum},
      {"report id", badId},       {"digit", reseal(badDigit, 1)}, {"length", tooLong},
      {"unknown command", Request(0x03)}};
  for (const auto& [name, request] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Exchange(handle, request), Short(0x0F));
  }
  Report shortReport = Request(kSetKeypad, {2});
  EXPECT_EQ(hid_write(handle, shortReport.data(), 63), 63);
  EXPECT_EQ(Read(handle, 100), Short(0x0F));
  shortReport.push_back(0);
  EXPECT_EQ(Exchange(handle, shortReport), Short(0x0F));
  EXPECT_EQ(twin->Settings().keypadType, 0);
  ASSERT_EQ(twin->Commands().size(), 1u);  // only the well-formed unknown command
  EXPECT_EQ(twin->Commands()[0].command, 0x03);

  // Lower-case digits are read too; the reply echoes them as written.
  Report lower = Request(kSetSerial, Bytes("ab12cd34"));
  lower[4] = 'e';
  const Report reply = Exchange(handle, reseal(lower, 8));
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_EQ(reply[4], 'e');
  EXPECT_EQ(reply[7], 0);
  EXPECT_EQ(twin->SerialNumber(), "ab12cd34");
}

TEST_F(EncoderTwinTest, SettersApplyValidParametersAndRejectOthers) {
  const std::vector<uint8_t> table = {0xE1, 0x04, 0x00, 0x05, 0xE0, 0x06, 0x00, 0x07};
  const std::string serial20 = "ABCDEFGHIJ0123456789";
  struct Case {
    uint8_t command;
    std::vector<uint8_t> payload;
    uint8_t status;
  };
  const std::vector<Case> cases = {
      {kSetLed, {0, 9}, 0},         {kSetLed, {1, 0}, 0},        {kSetLed, {2, 1}, 1},
      {kSetLed, {0, 10}, 1},        {kSetLed, {0}, 1},           {kSetLed, {1, 1, 1}, 1},
      {kLoadTable, table, 0},       {kLoadTable, {1, 2, 3, 4, 5, 6, 7}, 1},
      {kLoadTable, std::vector<uint8_t>(9, 1), 1},
      {kSetKeypad, {2}, 0},         {kSetKeypad, {3}, 1},        {kSetKeypad, {}, 1},
      {kSetKeypad, {1, 1}, 1},      {kSetSerial, Bytes(serial20), 0},
      {kSetSerial, Bytes(serial20 + "X"), 1}, {kSetSerial, {}, 1},
      {kSetSerial, {'A', 0, 'B'}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << int(c.command) << " length "
                                    << c.payload.size());
    EXPECT_EQ(StatusOf(c.command, c.payload), c.status);
  }
  const EncoderSettings s = twin->Settings();
  EXPECT_EQ(s.volLedBrightness, 9);
  EXPECT_EQ(s.jackLedBrightness, 0);
  EXPECT_EQ(std::vector<uint8_t>(s.keyCodeTable.begin(), s.keyCodeTable.end()), table);
  EXPECT_EQ(s.keypadType, 2);
  EXPECT_EQ(twin->SerialNumber(), serial20);
  wchar_t text[32];
  ASSERT_EQ(hid_get_serial_number_string(handle, text, 32), 0);
  EXPECT_EQ(std::wstring(text), std::wstring(serial20.begin(), serial20.end()));

  // The status block shows it all.
  const Report status = Exchange(handle, Request(kGetStatus));
  EXPECT_EQ(Report(status.begin() + 8, status.begin() + 24),
            (Report{9, 0, 0x07, 0x03, 6, 6, 2, 2, 0xE1, 0x04, 0x00, 0x05, 0xE0, 0x06, 0x00, 0x07}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&status[8 + 16 + 7])), serial20);
}

TEST_F(EncoderTwinTest, StatusTextsStayWithinTheFrame) {
  twin->SetFirmwareVersion("V10.20.30-long");  // 14 + 8 + 6 = 28: 7 characters to spare
  EXPECT_EQ(StatusOf(kSetSerial, Bytes("ABCDEFGHIJKLMNOP")), 1);
  EXPECT_EQ(StatusOf(kSetSerial, Bytes("ABCDEFGHIJKLMNO")), 0);
  twin->SetThirdText(std::string(40, 'x'));
  EXPECT_EQ(twin->ThirdText(), std::string(35 - 14 - 15, 'x'));
  twin->SetFirmwareVersion(std::string("AB\0CD", 5));
  EXPECT_EQ(twin->FirmwareVersion(), "AB");
  const Report reply = Exchange(handle, Request(kGetStatus));
  EXPECT_EQ(reply, Reply(kGetStatus, 0, twin->StatusBlock()));
  EXPECT_LE(twin->StatusBlock().size(), 54u);
}

TEST_F(EncoderTwinTest, PowerUpRestoresTheDefaultsThatWriteDefaultKept) {
  ASSERT_EQ(StatusOf(kSetLed, {0, 3}), 0);
  ASSERT_EQ(StatusOf(kWriteDefault), 0);
  ASSERT_EQ(StatusOf(kSetLed, {0, 5}), 0);
  ASSERT_EQ(StatusOf(kSetKeypad, {1}), 0);
  EXPECT_EQ(twin->Defaults().volLedBrightness, 3);
  bus().Unplug(*twin);
  bus().Plug(twin);
  EXPECT_EQ(twin->Settings().volLedBrightness, 3);
  EXPECT_EQ(twin->Settings().keypadType, 0);
  EXPECT_EQ(twin->Settings(), twin->Defaults());
}

TEST_F(EncoderTwinTest, FactoryResetRestoresFactorySettingsAndReEnumerates) {
  twin->SetRejoinDelayMs(500);
  ASSERT_EQ(StatusOf(kSetLed, {1, 2}), 0);
  ASSERT_EQ(StatusOf(kWriteDefault), 0);
  ASSERT_EQ(StatusOf(kSetSerial, Bytes("NEWSERIAL001")), 0);
  const std::string oldPath = PathOf(1);
  ASSERT_EQ(Write(handle, Request(kFactoryReset)), 64);
  EXPECT_TRUE(bus().IsPlugged(*twin));
  EXPECT_EQ(Read(handle, 0), Reply(kFactoryReset, 0));
  EXPECT_EQ(twin->Settings(), EncoderTwin::FactorySettings());
  EXPECT_EQ(twin->Defaults(), EncoderTwin::FactorySettings());
  EXPECT_EQ(twin->FactoryResetCount(), 1);

  // Gone as soon as its reply was read, back 500 ms later.
  EXPECT_FALSE(bus().IsPlugged(*twin));
  EXPECT_EQ(Write(handle, Request(kGetStatus)), -1);
  bus().AdvanceMs(499);
  EXPECT_FALSE(bus().IsPlugged(*twin));
  bus().AdvanceMs(1);
  EXPECT_TRUE(bus().IsPlugged(*twin));
  EXPECT_NE(PathOf(1), oldPath);
  EXPECT_EQ(Write(handle, Request(kGetStatus)), -1);  // the old handle stays dead
  handle = Open();
  EXPECT_EQ(StatusOf(kGetStatus), 0);
  EXPECT_EQ(twin->SerialNumber(), "NEWSERIAL001");  // the serial number is not a setting
}

TEST_F(EncoderTwinTest, EnterFirmwareUpgradeLeavesForTheLoader) {
  int hookCalls = 0;
  bool upgradeFlagInHook = false;
  twin->SetOnEnterFirmwareUpgrade([&](WriteContext&) {
    ++hookCalls;
    upgradeFlagInHook = twin->InFirmwareUpgrade();  // the twin is usable from the hook
  });
  ASSERT_EQ(Write(handle, Request(kFirmwareUpgrade)), 64);
  EXPECT_EQ(hookCalls, 1);
  EXPECT_TRUE(upgradeFlagInHook);
  EXPECT_EQ(Read(handle, 0), Reply(kFirmwareUpgrade, 0));
  EXPECT_TRUE(twin->InFirmwareUpgrade());
  int result = 0;
  Read(handle, 10, &result);
  EXPECT_EQ(result, -1);
  bus().AdvanceMs(60000);
  EXPECT_FALSE(bus().IsPlugged(*twin));  // it does not come back as an encoder
  bus().Plug(twin);
  EXPECT_FALSE(twin->InFirmwareUpgrade());

  // A host that never reads the reply finds the encoder gone all the same.
  handle = Open();
  ASSERT_EQ(Write(handle, Request(kFirmwareUpgrade)), 64);
  bus().AdvanceMs(50);
  EXPECT_FALSE(bus().IsPlugged(*twin));
  EXPECT_EQ(hookCalls, 2);
}

TEST_F(EncoderTwinTest, EachFaultShapesTheAnswer) {
  Report badSum = Reply(kSetKeypad, 0), oversize = badSum;
  badSum[9] ^= 0xFF;
  oversize[1] = 0x41;
  struct Case {
    EncoderFault fault;
    std::vector<Report> reports;  // what the host reads, in order
    bool applied;
  };
  const std::vector<Case> cases = {
      {EncoderFault::Silence, {}, false},
      {EncoderFault::Refuse, {Short(0x0F)}, false},
      {EncoderFault::BadStatus, {Reply(kSetKeypad, 1)}, false},
      {EncoderFault::BadChecksum, {badSum}, true},
      {EncoderFault::OversizeByte, {oversize}, true},
      {EncoderFault::AckStream, {Short(0x06), Short(0x06), Reply(kSetKeypad, 0)}, true},
      {EncoderFault::UnplugDuringExchange, {}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fault));
    twin->SetSettings(EncoderTwin::FactorySettings());
    twin->ClearCommands();
    twin->InjectFault(c.fault);
    ASSERT_EQ(Write(handle, Request(kSetKeypad, {2})), 64);
    for (const Report& expected : c.reports) EXPECT_EQ(Read(handle, 5000), expected);
    int result = 0;
    Read(handle, 5000, &result);  // nothing more follows
    EXPECT_EQ(result, c.fault == EncoderFault::UnplugDuringExchange ? -1 : 0);
    EXPECT_EQ(twin->Settings().keypadType, c.applied ? 2 : 0);
    ASSERT_EQ(twin->Commands().size(), 1u);
    EXPECT_EQ(twin->Commands()[0].payload, std::vector<uint8_t>{2});
    // The fault was used up: the next request is answered normally.
    if (c.fault == EncoderFault::UnplugDuringExchange) {
      EXPECT_FALSE(bus().IsPlugged(*twin));
      bus().Plug(twin);
      handle = Open();
    }
    EXPECT_EQ(StatusOf(kSetKeypad, {1}), 0);
  }
}

TEST_F(EncoderTwinTest, FaultsQueueInOrderAndStickyOnesLast) {
  twin->InjectFault(EncoderFault::Refuse);
  twin->InjectFault(EncoderFault::BadStatus, 2);
  EXPECT_EQ(Exchange(handle, Request(kGetStatus)), Short(0x0F));
  EXPECT_EQ(StatusOf(kGetStatus), 1);
  EXPECT_EQ(StatusOf(kGetStatus), 1);
  EXPECT_EQ(StatusOf(kGetStatus), 0);
  twin->InjectFault(EncoderFault::Refuse, -1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Exchange(handle, Request(kGetStatus)), Short(0x0F));
  twin->ClearFaults();
  EXPECT_EQ(StatusOf(kGetStatus), 0);
}

TEST_F(EncoderTwinTest, RemovingOneFaultKindKeepsTheOthersInOrder) {
  twin->InjectFault(EncoderFault::Silence, -1);
  twin->InjectFault(EncoderFault::BadStatus, 1);
  twin->InjectFault(EncoderFault::Silence, 2);
  twin->InjectFault(EncoderFault::Refuse, -1);
  twin->RemoveFault(EncoderFault::Silence);  // both the sticky and the counted one
  EXPECT_EQ(StatusOf(kGetStatus), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Exchange(handle, Request(kGetStatus)), Short(0x0F));
  twin->RemoveFault(EncoderFault::BadChecksum);  // not queued: nothing changes
  EXPECT_EQ(Exchange(handle, Request(kGetStatus)), Short(0x0F));
  twin->RemoveFault(EncoderFault::Refuse);
  EXPECT_EQ(StatusOf(kGetStatus), 0);
}

TEST_F(EncoderTwinTest, AcknowledgementsAreSpacedAndFollowTheLatency) {
  twin->SetReplyLatencyMs(5);
  twin->SetAckStream(3, 10);
  twin->InjectFault(EncoderFault::AckStream);
  const int64_t t0 = bus().NowMs();
  ASSERT_EQ(Write(handle, Request(kWriteDefault)), 64);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Read(handle, 1000), Short(0x06));
    EXPECT_EQ(bus().NowMs(), t0 + 5 + 10 * i);
  }
  EXPECT_EQ(Read(handle, 1000), Reply(kWriteDefault, 0));
  EXPECT_EQ(bus().NowMs(), t0 + 35);
}

TEST_F(EncoderTwinTest, EndlessAcknowledgementStream) {
  twin->SetAckStream(-1, 7);
  twin->InjectFault(EncoderFault::AckStream);
  const int64_t t0 = bus().NowMs();
  ASSERT_EQ(Write(handle, Request(kGetStatus)), 64);
  constexpr int kAcks = 20000;
  int acks = 0;
  for (int i = 0; i < kAcks; ++i) acks += Read(handle, 1000) == Short(0x06);
  EXPECT_EQ(acks, kAcks);
  EXPECT_EQ(bus().NowMs(), t0 + int64_t{7} * (kAcks - 1));
  EXPECT_EQ(twin->Commands().size(), 1u);
  EXPECT_EQ(bus().EmptyReads(), 0);
}

}  // namespace
}  // namespace simtest
