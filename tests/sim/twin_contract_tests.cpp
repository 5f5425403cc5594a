// What the product's tests rely on from the twins, checked with reports built here by
// hand: the encoder answers a request framed as the host frames it as the encoder would,
// each injected fault does what its name says, the restarts keep what they should, and
// the loader twin accepts and refuses as the loader protocol has it. Virtual clock.

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <string>
#include <vector>

#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"

namespace pellix_usb_encoder::sim {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kGetStatus = 0x01, kSetLed = 0x02, kLoadTable = 0x05, kSetKeypad = 0x07;
constexpr uint8_t kWriteDefault = 0x09, kFactoryReset = 0x0A, kSetSerial = 0x0E;

uint8_t Hex(size_t nibble) { return "0123456789ABCDEF"[nibble & 0x0F]; }

// An encoder frame: 3F size STX command(2) n(2) body ETX xor-of-STX..ETX, zeros to 64.
Bytes Frame(uint8_t size, uint8_t command, const Bytes& body) {
  const size_t n = body.size();
  Bytes r{0x3F, size, 0x02, Hex(command >> 4), Hex(command), Hex(n >> 4), Hex(n)};
  r.insert(r.end(), body.begin(), body.end());
  r.push_back(0x03);
  uint8_t sum = 0;
  for (size_t i = 2; i < r.size(); ++i) sum ^= r[i];
  r.push_back(sum);
  r.resize(64, 0);
  return r;
}
Bytes Request(uint8_t command, const Bytes& payload = {}) { return Frame(0x40, command, payload); }
Bytes Reply(uint8_t command, uint8_t status, Bytes data = {}) {
  data.insert(data.begin(), status);
  return Frame(uint8_t(data.size() + 7), command, data);
}
Bytes Short(uint8_t code) {
  Bytes r{0x3F, 0x01, code};
  r.resize(64, 0);
  return r;
}
Bytes Text(const std::string& text) { return {text.begin(), text.end()}; }

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bus().Reset();
    bus().UseVirtualClock(true);
    twin = PlugEncoder();
    handle = Open(EncoderTwin::ProductIdValue);
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    for (hid_device* h : opened_) hid_close(h);
    bus().Reset();
  }
  static Bus& bus() { return Bus::Instance(); }

  // Opens the encoder's configuration interface (1) or the loader's only one.
  hid_device* Open(uint16_t productId) {
    std::string path;
    hid_device_info* list = hid_enumerate(0x2047, productId);
    for (auto* i = list; i; i = i->next) {
      if (path.empty() || i->interface_number == 1) path = i->path;
    }
    hid_free_enumeration(list);
    hid_device* h = path.empty() ? nullptr : hid_open_path(path.c_str());
    if (h) opened_.push_back(h);
    return h;
  }
  // The next report; empty when the read returned 0 or failed (`result`).
  static Bytes Read(hid_device* h, int timeoutMs, int* result = nullptr) {
    Bytes r(64, 0);
    const int n = hid_read_timeout(h, r.data(), r.size(), timeoutMs);
    if (result) *result = n;
    r.resize(n > 0 ? size_t(n) : 0);
    return r;
  }
  static int Write(hid_device* h, const Bytes& r) { return hid_write(h, r.data(), r.size()); }
  static Bytes Exchange(hid_device* h, const Bytes& request) {
    return Write(h, request) == 64 ? Read(h, 5000) : Bytes{};
  }

  std::shared_ptr<EncoderTwin> twin;
  hid_device* handle = nullptr;

 private:
  std::vector<hid_device*> opened_;
};

TEST_F(SimTest, EncoderAnswersEachRequestAsTheEncoderDoes) {
  // SetKeypadType 2 as the host frames it, and the encoder's acceptance, byte for byte.
  Bytes request{0x3F, 0x40, 0x02, 0x30, 0x37, 0x30, 0x31, 0x02, 0x03, 0x05};
  Bytes reply{0x3F, 0x08, 0x02, 0x30, 0x37, 0x30, 0x31, 0x00, 0x03, 0x07};
  request.resize(64), reply.resize(64);
  ASSERT_EQ(Request(kSetKeypad, {2}), request);
  ASSERT_EQ(Reply(kSetKeypad, 0), reply);
  const Bytes table{0xE1, 0x04, 0x00, 0x05, 0xE0, 0x06, 0x00, 0x07};
  const std::string serial20 = "ABCDEFGHIJ0123456789";
  auto broken = [](size_t at, uint8_t value, bool reseal = true) {
    Bytes r = Request(kSetKeypad, {2});
    r[at] = value;
    if (reseal) r[9] = r[2] ^ r[3] ^ r[4] ^ r[5] ^ r[6] ^ r[7] ^ r[8];
    return r;
  };
  const struct {
    const char* name;
    Bytes request, reply;
  } cases[] = {
      {"no STX", broken(2, 0x01), Short(0x0F)},
      {"no ETX", broken(8, 0x04), Short(0x0F)},
      {"checksum", broken(9, 0x04, false), Short(0x0F)},
      {"report id", broken(0, 0x00), Short(0x0F)},
      {"digit", broken(4, 'G'), Short(0x0F)},
      {"past the report", broken(5, '8'), Short(0x0F)},
      {"unknown command", Request(0x03), Short(0x0F)},
      {"LED", Request(kSetLed, {0, 9}), Reply(kSetLed, 0)},
      {"LED group", Request(kSetLed, {2, 1}), Reply(kSetLed, 1)},
      {"LED level", Request(kSetLed, {1, 10}), Reply(kSetLed, 1)},
      {"LED short", Request(kSetLed, {0}), Reply(kSetLed, 1)},
      {"table", Request(kLoadTable, table), Reply(kLoadTable, 0)},
      {"table short", Request(kLoadTable, Bytes(7, 1)), Reply(kLoadTable, 1)},
      {"keypad", Request(kSetKeypad, {2}), Reply(kSetKeypad, 0)},
      {"keypad 3", Request(kSetKeypad, {3}), Reply(kSetKeypad, 1)},
      {"serial", Request(kSetSerial, Text(serial20)), Reply(kSetSerial, 0)},
      {"serial 21", Request(kSetSerial, Text(serial20 + "X")), Reply(kSetSerial, 1)},
      {"serial NUL", Request(kSetSerial, {'A', 0, 'B'}), Reply(kSetSerial, 1)},
      {"status", Request(kGetStatus),
       Reply(kGetStatus, 0, Bytes{9, 6, 0x07, 0x03, 6, 6, 2, 2, 0xE1, 0x04, 0x00, 0x05, 0xE0,
                                  0x06, 0x00, 0x07, 'V', '1', '.', '2', '.', '7', 0, 'A', 'B',
                                  'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', '0', '1', '2', '3', '4',
                                  '5', '6', '7', '8', '9', 0, 'P', 'X', '4', 'W', '-', 'A', 0})},
  };
  for (const auto& c : cases) EXPECT_EQ(Exchange(handle, c.request), c.reply) << c.name;
}

TEST_F(SimTest, EachFaultDoesWhatItsNameSaysOnceOrAsQueued) {
  Bytes badSum = Reply(kSetKeypad, 0), oversize = badSum;
  badSum[9] ^= 0xFF;
  oversize[1] = 0x41;
  const Bytes ok = Reply(kSetKeypad, 0);
  const struct {
    EncoderFault fault;
    std::vector<Bytes> reports;  // what the host reads, in order
    bool applied;
  } cases[] = {
      {EncoderFault::Silence, {}, false},
      {EncoderFault::Refuse, {Short(0x0F)}, false},
      {EncoderFault::BadStatus, {Reply(kSetKeypad, 1)}, false},
      {EncoderFault::BadChecksum, {badSum}, true},
      {EncoderFault::OversizeByte, {oversize}, true},
      {EncoderFault::AckStream, {Short(0x06), Short(0x06), ok}, true},
      {EncoderFault::DuplicateReply, {ok, ok}, true},
      {EncoderFault::UnplugDuringExchange, {}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.fault));
    twin->SetSettings(EncoderTwin::FactorySettings());
    twin->InjectFault(c.fault);
    ASSERT_EQ(Write(handle, Request(kSetKeypad, {2})), 64);
    for (const Bytes& expected : c.reports) EXPECT_EQ(Read(handle, 5000), expected);
    int result = 0;
    Read(handle, 5000, &result);  // nothing more follows
    EXPECT_EQ(result, c.fault == EncoderFault::UnplugDuringExchange ? -1 : 0);
    EXPECT_EQ(twin->Settings().keypadType, c.applied ? 2 : 0);
    if (c.fault == EncoderFault::UnplugDuringExchange) {
      EXPECT_FALSE(bus().IsPlugged(*twin));
      bus().Plug(twin);
      handle = Open(EncoderTwin::ProductIdValue);
    }
    EXPECT_EQ(Exchange(handle, Request(kSetKeypad, {1})), Reply(kSetKeypad, 0));  // used up
  }

  // Counted faults in order, a sticky one until removed; removing one kind keeps the rest.
  twin->InjectFault(EncoderFault::Refuse);
  twin->InjectFault(EncoderFault::BadStatus, 2);
  twin->InjectFault(EncoderFault::Silence, -1);
  twin->InjectFault(EncoderFault::Refuse, -1);
  twin->RemoveFault(EncoderFault::Silence);
  const Bytes refused = Short(0x0F), bad = Reply(kSetKeypad, 1);
  for (const Bytes& expected : {refused, bad, bad, refused, refused}) {
    EXPECT_EQ(Exchange(handle, Request(kSetKeypad, {1})), expected);
  }
  twin->ClearFaults();
  EXPECT_EQ(Exchange(handle, Request(kSetKeypad, {1})), ok);
}

TEST_F(SimTest, PowerUpAndFactoryResetRestoreTheirSettings) {
  ASSERT_EQ(Exchange(handle, Request(kSetLed, {0, 3})), Reply(kSetLed, 0));
  ASSERT_EQ(Exchange(handle, Request(kWriteDefault)), Reply(kWriteDefault, 0));
  ASSERT_EQ(Exchange(handle, Request(kSetLed, {0, 5})), Reply(kSetLed, 0));
  ASSERT_EQ(Exchange(handle, Request(kSetSerial, Text("NEWSERIAL001"))), Reply(kSetSerial, 0));
  bus().Unplug(*twin);
  bus().Plug(twin);
  EXPECT_EQ(twin->Settings().volLedBrightness, 3);  // what WriteDefault kept

  twin->SetRejoinDelayMs(500);
  handle = Open(EncoderTwin::ProductIdValue);
  EXPECT_EQ(Exchange(handle, Request(kFactoryReset)), Reply(kFactoryReset, 0));
  EXPECT_EQ(twin->Settings(), EncoderTwin::FactorySettings());
  EXPECT_EQ(twin->Defaults(), EncoderTwin::FactorySettings());
  EXPECT_FALSE(bus().IsPlugged(*twin));  // gone once its reply was read, back 500 ms later
  bus().AdvanceMs(500);
  EXPECT_TRUE(bus().IsPlugged(*twin));
  EXPECT_EQ(Write(handle, Request(kGetStatus)), -1);  // the old handle stays dead
  EXPECT_EQ(twin->SerialNumber(), "NEWSERIAL001");    // the serial number is no setting
}

// ---- The loader twin ----

const Bytes kOk{0x3B, 0x00}, kLocked{0x3B, 0x04}, kRefused{0x3B, 0x05};
constexpr uint8_t kRx = 0x10, kPassword = 0x11, kErase = 0x12, kMassErase = 0x15, kCrc = 0x16,
                  kLoadPc = 0x17, kTx = 0x18, kVersion = 0x19, kRxFast = 0x1B;

// A core command as the host pads it: 3F NL code address(3) data, 0xAC to 64 bytes.
Bytes Bsl(uint8_t code, std::initializer_list<uint32_t> address = {}, const Bytes& data = {}) {
  Bytes r{0x3F, 0, code};
  for (uint32_t a : address) r.insert(r.end(), {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16)});
  r.insert(r.end(), data.begin(), data.end());
  r[1] = uint8_t(r.size() - 2);
  r.resize(64, 0xAC);
  return r;
}

class LoaderTwinTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    bus().Plug(loader);
    h = Open(LoaderTwin::ProductIdValue);
  }
  // Writes one command; the core of its answer (after 3F NL), or empty for none in 100 ms.
  Bytes Send(const Bytes& report) {
    if (Write(h, report) != 64) return {0xEE};
    const Bytes r = Read(h, 100);
    return r.size() < 2 ? Bytes{} : Bytes(r.begin() + 2, r.begin() + 2 + std::min(r[1], uint8_t{62}));
  }
  std::shared_ptr<LoaderTwin> loader = std::make_shared<LoaderTwin>();
  hid_device* h = nullptr;
};

TEST_F(LoaderTwinTest, RomAndRamLoaderAcceptAndRefuseAsTheProtocolSays) {
  loader->LoadFlash(0x1800, Bytes(0x200, 0x00));
  const auto stored = loader->Password();
  const Bytes password(stored.begin(), stored.end());
  EXPECT_EQ(Send(Bsl(kRxFast, {0x2400}, {0x55})), Bytes{});  // locked: ignored
  EXPECT_EQ(loader->Read(0x2400), 0xFF);
  Bytes wrong = password;
  wrong[31] ^= 0x01;
  EXPECT_EQ(Send(Bsl(kPassword, {}, wrong)), kRefused);  // mass-erases main flash only
  EXPECT_EQ(loader->ReadRange(0x4400, 0x20000), Bytes(0x20000, 0xFF));
  EXPECT_EQ(loader->Read(0x1800), 0x00);
  EXPECT_EQ(Send(Bsl(kPassword, {}, password)), kRefused);
  EXPECT_EQ(Send(Bsl(kPassword, {}, Bytes(32, 0xFF))), kOk);

  // The ROM loader answers nothing else; fast writes land at once.
  for (const Bytes& r : {Bsl(kRx, {0x2400}, {1}), Bsl(kErase, {0x4400}), Bsl(kMassErase),
                         Bsl(kCrc, {0x4400}, {16, 0}), Bsl(kTx, {0x4400}, {4, 0}), Bsl(kVersion)}) {
    EXPECT_EQ(Send(r), Bytes{}) << int(r[2]);
  }
  EXPECT_EQ(loader->Read(0x2400), 0xFF);
  // Load PC 0x2504 needs the RAM loader's image (version at 0x2500, a run at 0x2576).
  ASSERT_EQ(Write(h, Bsl(kRxFast, {0x2500}, {0x00, 0x06, 0x05, 0x34})), 64);
  ASSERT_EQ(Write(h, Bsl(kLoadPc, {0x2504})), 64);
  bus().AdvanceMs(60000);
  EXPECT_FALSE(bus().IsPlugged(*loader));  // crashed and stays away
  bus().Plug(loader);
  h = Open(LoaderTwin::ProductIdValue);
  EXPECT_EQ(Send(Bsl(kPassword, {}, Bytes(32, 0xFF))), kOk);
  ASSERT_EQ(Write(h, Bsl(kRxFast, {0x2500}, {0x00, 0x06, 0x05, 0x34})), 64);
  ASSERT_EQ(Write(h, Bsl(kRxFast, {0x2576}, Bytes(16, 0x31))), 64);
  ASSERT_EQ(Write(h, Bsl(kLoadPc, {0x2504})), 64);
  EXPECT_FALSE(bus().IsPlugged(*loader));
  bus().AdvanceMs(100);
  ASSERT_TRUE(loader->RamLoaderRunning());
  h = Open(LoaderTwin::ProductIdValue);

  // The RAM loader: locked again; writes only clear bits; segments of 512 and 128 bytes.
  EXPECT_EQ(Send(Bsl(kRx, {0x4400}, {0})), kLocked);
  EXPECT_EQ(Send(Bsl(kVersion)), (Bytes{0x3A, 0x00, 0x06, 0x05, 0x34}));
  EXPECT_EQ(Send(Bsl(kPassword, {}, Bytes(32, 0xFF))), kOk);
  EXPECT_EQ(Send(Bsl(kRx, {0x4400}, {0x0F})), kOk);
  EXPECT_EQ(Send(Bsl(kCrc, {0x4400}, {1, 0})).size(), 3u);  // commits the write buffer
  EXPECT_EQ(Send(Bsl(kRx, {0x4400}, {0xF0})), kOk);
  EXPECT_EQ(Send(Bsl(kCrc, {0x4400}, {1, 0})).size(), 3u);
  EXPECT_EQ(loader->Read(0x4400), 0x00);
  EXPECT_EQ(Send(Bsl(kErase, {0x45FF})), kOk);
  EXPECT_EQ(loader->ReadRange(0x4400, 0x200), Bytes(0x200, 0xFF));
  EXPECT_EQ(Send(Bsl(kErase, {0x1885})), kOk);
  EXPECT_EQ(loader->ReadRange(0x1880, 0x80), Bytes(0x80, 0xFF));
  EXPECT_EQ(loader->Read(0x187F) | loader->Read(0x1900), 0x00);
  EXPECT_EQ(Send(Bsl(0x07)), (Bytes{0x3B, 0x07}));  // unknown command
}

}  // namespace
}  // namespace pellix_usb_encoder::sim
