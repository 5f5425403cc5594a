// The loader twin through hidapi with hand-built reports: password and mass erase, the
// ROM loader's narrow command set, starting the RAM loader, write buffering, erase and
// CRC, the reset into the programmed firmware, faults, link pacing, and the hook-up to
// the encoder twin.

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "sim/loader_twin.h"
#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using Bytes = std::vector<uint8_t>;
using pellix_usb_encoder::sim::AttachLoaderTo;
using pellix_usb_encoder::sim::EncoderSettings;
using pellix_usb_encoder::sim::LoaderTwin;

constexpr uint8_t kRx = 0x10, kPassword = 0x11, kErase = 0x12, kMassErase = 0x15, kCrc = 0x16,
                  kLoadPc = 0x17, kTx = 0x18, kVersion = 0x19, kRxFast = 0x1B;
const Bytes kOk{0x3B, 0x00}, kLocked{0x3B, 0x04}, kRefused{0x3B, 0x05};

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes At(uint32_t a) { return {uint8_t(a), uint8_t(a >> 8), uint8_t(a >> 16)}; }
Bytes Len(size_t n) { return {uint8_t(n), uint8_t(n >> 8)}; }

// A core command as the host pads it: 3F NL code rest, 0xAC to 64 bytes.
Report Bsl(uint8_t code, const Bytes& rest = {}) {
  Report r(64, 0xAC);
  r[0] = 0x3F;
  r[1] = uint8_t(1 + rest.size());
  r[2] = code;
  std::copy(rest.begin(), rest.end(), r.begin() + 3);
  return r;
}

// A report whose NL claims more than 62 bytes.
Report TooLong() {
  Report r = Bsl(0x19);
  r[1] = 63;
  return r;
}

// The core of an answer (after 3F NL), or empty for no answer.
Bytes Core(const Report& r) {
  if (r.size() < 2 || r[0] != 0x3F || r[1] > 62) return {};
  return Bytes(r.begin() + 2, r.begin() + 2 + r[1]);
}

// CRC-16/CCITT-FALSE, written out here bit by bit.
uint16_t Crc(const Bytes& bytes) {
  uint32_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool top = ((crc >> 15) ^ (b >> bit)) & 1;
      crc = ((crc << 1) & 0xFFFF) ^ (top ? 0x1021 : 0);
    }
  }
  return uint16_t(crc);
}
Bytes CrcAnswer(uint16_t crc) { return {0x3A, uint8_t(crc), uint8_t(crc >> 8)}; }
std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The runs of a TI-TXT file in resources/firmware/.
std::vector<std::pair<uint32_t, Bytes>> Image(const std::string& name) {
  std::string path = __FILE__;
  path = path.substr(0, path.rfind("tests/sim/")) + "resources/firmware/" + name;
  std::ifstream in(path);
  std::vector<std::pair<uint32_t, Bytes>> runs;
  for (std::string token; in >> token && token[0] != 'q';) {
    if (token[0] == '@') {
      runs.push_back({uint32_t(std::stoul(token.substr(1), nullptr, 16)), {}});
    } else if (!runs.empty()) {
      runs.back().second.push_back(uint8_t(std::stoul(token, nullptr, 16)));
    }
  }
  return runs;
}

// The password of the default image: its vector area, as resources/firmware/ has it.
Bytes DefaultPassword() { return Image("password.txt").at(0).second; }

class LoaderTwinTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    bus().UseVirtualClock(true);
    loader = std::make_shared<LoaderTwin>();
    bus().Plug(loader);
    h = OpenLoader();
  }
  void TearDown() override {
    for (hid_device* handle : loaderHandles_) hid_close(handle);
    SimTest::TearDown();
  }

  hid_device* OpenLoader() {
    hid_device* handle = hid_open(0x2047, 0x0200, nullptr);
    if (handle) loaderHandles_.push_back(handle);
    return handle;
  }

  // Writes one command and returns the core of the answer, if one comes within 100 ms.
  Bytes Send(uint8_t code, const Bytes& rest = {}) {
    if (Write(h, Bsl(code, rest)) != 64) return {0xEE};
    return Core(Read(h, 100));
  }

  // The device left: reads fail.
  void ExpectGone() {
    int result = 0;
    Read(h, 100, &result);
    EXPECT_EQ(result, -1);
  }

  void SendFast(uint32_t address, const Bytes& data) {
    for (size_t i = 0; i < data.size(); i += 58) {
      const Bytes part(data.begin() + i, data.begin() + std::min(data.size(), i + 58));
      ASSERT_EQ(Write(h, Bsl(kRxFast, Cat(At(address + uint32_t(i)), part))), 64);
    }
  }

  void SendImage(const std::string& name, size_t runs = 99) {
    const auto image = Image(name);
    ASSERT_FALSE(image.empty()) << name;
    for (size_t i = 0; i < image.size() && i < runs; ++i) SendFast(image[i].first, image[i].second);
  }

  // Password, the stand-in RAM loader, load PC 0x2504, and the password again.
  void StartRamLoader() {
    ASSERT_EQ(Send(kPassword, DefaultPassword()), kOk);
    SendImage("RAM_BSL_standin.txt");
    ASSERT_EQ(Send(kLoadPc, At(0x2504)), Bytes{});
    bus().AdvanceMs(100);
    ASSERT_TRUE(loader->RamLoaderRunning());
    h = OpenLoader();
    ASSERT_EQ(Send(kPassword, DefaultPassword()), kOk);
  }

  std::shared_ptr<LoaderTwin> loader;
  hid_device* h = nullptr;

 private:
  std::vector<hid_device*> loaderHandles_;
};

TEST_F(LoaderTwinTest, PresentsTheLoaderAndTheDefaultImage) {
  hid_device_info* list = hid_enumerate(0x2047, 0x0200);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->interface_number, 0);
  EXPECT_EQ(list->usage_page, 0xFF00);
  EXPECT_STREQ(list->manufacturer_string, L"Texas Instruments");
  EXPECT_STREQ(list->product_string, L"MSP430 USB BSL");
  hid_free_enumeration(list);
  EXPECT_NE(std::string(hid_version_str()).find("simulated"), std::string::npos);

  EXPECT_EQ(Text(loader->ReadRange(0x4400, 11)), std::string("OVFWV1.2.7\0", 11));
  const auto password = loader->Password();
  EXPECT_EQ(Bytes(password.begin(), password.end()), DefaultPassword());
  EXPECT_EQ(loader->Read(0x8000), 0xFF);
}

TEST_F(LoaderTwinTest, WrongPasswordMassErasesMainFlashThenTheDefaultOneUnlocks) {
  loader->LoadFlash(0x1800, {0x12});
  EXPECT_EQ(Send(kPassword, DefaultPassword()), kOk);
  EXPECT_TRUE(loader->Unlocked());

  Bytes wrong = DefaultPassword();
  wrong[31] ^= 0x01;
  EXPECT_EQ(Send(kPassword, wrong), kRefused);
  EXPECT_FALSE(loader->Unlocked());
  EXPECT_EQ(loader->MassEraseCount(), 1);
  EXPECT_EQ(loader->ReadRange(0x4400, 0x20000), Bytes(0x20000, 0xFF));
  EXPECT_EQ(loader->Read(0x1800), 0x12);  // information memory is kept
  EXPECT_EQ(Send(kPassword, DefaultPassword()), kRefused);  // the old one is gone too
  EXPECT_EQ(Send(kPassword, Bytes(31, 0xFF)), kRefused);     // short
  EXPECT_EQ(Send(kPassword, Bytes(32, 0xFF)), kOk);
  EXPECT_EQ(loader->MassEraseCount(), 3);
}

TEST_F(LoaderTwinTest, RomLoaderTakesOnlyPasswordFastWritesAndLoadPc) {
  // Locked: fast writes and jumps are ignored.
  SendFast(0x2400, {0x55});
  EXPECT_EQ(Send(kLoadPc, At(0x2504)), Bytes{});
  EXPECT_EQ(loader->Read(0x2400), 0xFF);
  EXPECT_TRUE(bus().IsPlugged(*loader));

  ASSERT_EQ(Send(kPassword, DefaultPassword()), kOk);
  for (const Report& r : {Bsl(kRx, Cat(At(0x2400), {1})), Bsl(kErase, At(0x4400)), Bsl(kMassErase),
                          Bsl(kCrc, Cat(At(0x4400), Len(16))), Bsl(kTx, Cat(At(0x4400), Len(4))),
                          Bsl(kVersion), Bsl(0x07), TooLong()}) {
    ASSERT_EQ(Write(h, r), 64);
    EXPECT_TRUE(Read(h, 100).empty()) << int(r[2]);
  }
  EXPECT_EQ(loader->MassEraseCount() + loader->SegmentEraseCount(), 0);
  EXPECT_EQ(loader->Read(0x2400), 0xFF);
  SendFast(0x2400, {0x55, 0x66});
  EXPECT_EQ(loader->ReadRange(0x2400, 2), (Bytes{0x55, 0x66}));  // written at once
  ASSERT_EQ(loader->Commands().size(), 11u);  // all but the over-long report, decoded
  EXPECT_EQ(loader->Commands()[4].address, 0x4400u);
}

TEST_F(LoaderTwinTest, LoadPcStartsTheRamLoaderOnlyWithItsImageInRam) {
  const std::string romPath = hid_get_device_info(h)->path;
  ASSERT_EQ(Send(kPassword, DefaultPassword()), kOk);
  SendImage("RAM_BSL_standin.txt");
  ASSERT_EQ(Write(h, Bsl(kLoadPc, At(0x2504))), 64);
  ExpectGone();  // at once
  bus().AdvanceMs(99);
  EXPECT_FALSE(bus().IsPlugged(*loader));
  bus().AdvanceMs(1);
  ASSERT_TRUE(loader->RamLoaderRunning() && bus().IsPlugged(*loader));
  h = OpenLoader();
  EXPECT_NE(hid_get_device_info(h)->path, romPath);
  EXPECT_EQ(Send(kRx, Cat(At(0x8000), {0})), kLocked);  // locked again
  EXPECT_EQ(Send(kVersion), (Bytes{0x3A, 0x00, 0x06, 0x05, 0x34}));
  EXPECT_EQ(Send(kPassword, DefaultPassword()), kOk);

  // Only the first run of the image, or a jump elsewhere: it crashes and stays away.
  for (const auto& [runs, target] : {std::pair{size_t{1}, 0x2504u}, {size_t{2}, 0x2500u}}) {
    bus().Unplug(*loader);
    bus().Plug(loader);  // a power-up: ROM loader, RAM cleared
    EXPECT_FALSE(loader->RamLoaderRunning());
    h = OpenLoader();
    ASSERT_EQ(Send(kPassword, DefaultPassword()), kOk);
    SendImage("RAM_BSL_standin.txt", runs);
    ASSERT_EQ(Write(h, Bsl(kLoadPc, At(target))), 64);
    bus().AdvanceMs(60000);
    EXPECT_FALSE(bus().IsPlugged(*loader)) << runs;
  }
}

TEST_F(LoaderTwinTest, RamLoaderCommitsBufferedBlocksOnlyWhenTheyAreDone) {
  StartRamLoader();
  Bytes data(200);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 1);
  auto part = [&](size_t from) { return Bytes(data.begin() + from, data.begin() + from + 58); };
  EXPECT_EQ(Send(kRx, Cat(At(0x8000), part(0))), kOk);
  EXPECT_EQ(Send(kRx, Cat(At(0x803A), part(58))), kOk);
  EXPECT_EQ(loader->ReadRange(0x8000, 116), Bytes(116, 0xFF));  // still in the buffer
  EXPECT_EQ(Send(kRx, Cat(At(0x8074), part(116))), kOk);         // crosses 0x8080
  EXPECT_EQ(loader->ReadRange(0x8000, 128), Bytes(data.begin(), data.begin() + 128));
  EXPECT_EQ(loader->Read(0x8080), 0xFF);
  EXPECT_EQ(Send(kRx, Cat(At(0x9000), {0x42})), kOk);  // not contiguous: the rest goes
  EXPECT_EQ(loader->ReadRange(0x8080, 46), Bytes(data.begin() + 128, data.begin() + 174));
  EXPECT_EQ(loader->Read(0x9000), 0xFF);

  EXPECT_EQ(Send(kCrc, Cat(At(0x9000), Len(1))), CrcAnswer(Crc({0x42})));  // commits

  SendFast(0xA000, data);  // a read commits, and comes back in reports of 61 bytes
  ASSERT_EQ(Write(h, Bsl(kTx, Cat(At(0xA000), Len(150)))), 64);
  Bytes back;
  for (size_t expected : {61u, 61u, 28u}) {
    const Bytes core = Core(Read(h, 100));
    ASSERT_EQ(core.size(), expected + 1);
    EXPECT_EQ(core[0], 0x3A);
    back.insert(back.end(), core.begin() + 1, core.end());
  }
  EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 150));

  SendFast(0xB000, {0x10, 0x20});  // and so does load PC
  ASSERT_EQ(Write(h, Bsl(kLoadPc, At(0x2504))), 64);
  EXPECT_EQ(loader->ReadRange(0xB000, 2), (Bytes{0x10, 0x20}));
}

TEST_F(LoaderTwinTest, FlashWritesClearBitsAndEraseWorksBySegment) {
  loader->LoadFlash(0x1800, Bytes(0x200, 0x00));
  StartRamLoader();
  auto commit = [&] { ASSERT_EQ(Send(kCrc, Cat(At(0x4400), Len(1))).size(), 3u); };
  EXPECT_EQ(Send(kRx, Cat(At(0x4400), {0x0F})), kOk);  // over 'O' (0x4F)
  commit();
  EXPECT_EQ(loader->Read(0x4400), 0x0F);
  EXPECT_EQ(Send(kRx, Cat(At(0x4400), {0xF0})), kOk);
  EXPECT_EQ(Send(kRx, Cat(At(0x3000), {0x12, 0x34})), kOk);  // RAM just stores
  EXPECT_EQ(Send(kRx, Cat(At(0x3000), {0x56})), kOk);
  commit();
  EXPECT_EQ(loader->Read(0x4400), 0x00);
  EXPECT_EQ(loader->ReadRange(0x3000, 2), (Bytes{0x56, 0x34}));

  const uint8_t before = loader->Read(0x4600);
  EXPECT_EQ(Send(kErase, At(0x45FF)), kOk);  // main flash: 512 bytes
  EXPECT_EQ(loader->ReadRange(0x4400, 0x200), Bytes(0x200, 0xFF));
  EXPECT_EQ(loader->Read(0x4600), before);
  EXPECT_EQ(Send(kErase, At(0x1885)), kOk);  // information memory: 128 bytes
  EXPECT_EQ(loader->ReadRange(0x1880, 0x80), Bytes(0x80, 0xFF));
  EXPECT_EQ(loader->Read(0x187F) | loader->Read(0x1900), 0x00);
  EXPECT_EQ(loader->SegmentEraseCount(), 2);
  EXPECT_EQ(Send(kMassErase), kOk);
  EXPECT_EQ(loader->ReadRange(0xFFE0, 32), Bytes(32, 0xFF));
  EXPECT_EQ(loader->Read(0x1800), 0x00);

  ASSERT_EQ(Write(h, TooLong()), 64);
  EXPECT_EQ(Core(Read(h, 100)), (Bytes{0x3B, 0x08}));
  EXPECT_EQ(Send(0x07), (Bytes{0x3B, 0x07}));
}

TEST_F(LoaderTwinTest, CrcMatchesAnIndependentComputation) {
  const Bytes check{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(Crc(check), 0x29B1);  // the published check value
  StartRamLoader();
  EXPECT_EQ(Send(kRx, Cat(At(0x3000), check)), kOk);
  EXPECT_EQ(Send(kCrc, Cat(At(0x3000), Len(9))), CrcAnswer(0x29B1));
  for (const auto& [address, length] : {std::pair{0x4400u, 0x3C00u}, {0xFF00u, 0xFFFFu}}) {
    EXPECT_EQ(Send(kCrc, Cat(At(address), Len(length))),
              CrcAnswer(Crc(loader->ReadRange(address, length))));
  }
}

TEST_F(LoaderTwinTest, FaultsCorruptSilenceAndPullTheDevice) {
  StartRamLoader();
  loader->CorruptFlashByte(0x8001);
  const Bytes sent(58, 0xAA);
  EXPECT_EQ(Send(kRx, Cat(At(0x8000), sent)), kOk);
  const Bytes crc = Send(kCrc, Cat(At(0x8000), Len(58)));
  EXPECT_EQ(loader->Read(0x8001), 0xAB);
  EXPECT_EQ(crc, CrcAnswer(Crc(loader->ReadRange(0x8000, 58))));
  EXPECT_NE(crc, CrcAnswer(Crc(sent)));

  loader->SetCrcSilent(true);
  EXPECT_EQ(Send(kCrc, Cat(At(0x8000), Len(58))), Bytes{});
  loader->SetCrcSilent(false);

  loader->UnplugAfterReports(2);
  EXPECT_EQ(Send(kVersion).size(), 5u);
  ASSERT_EQ(Write(h, Bsl(kVersion)), 64);  // taken, but its answer never comes
  ExpectGone();
  bus().AdvanceMs(60000);
  EXPECT_FALSE(bus().IsPlugged(*loader));
}

TEST_F(LoaderTwinTest, PacingSpacesReportsOnTheBusClock) {
  ASSERT_EQ(Send(kPassword, DefaultPassword()), kOk);
  loader->SetReportIntervalMs(1);
  SendFast(0x2400, {0});
  const int64_t t0 = bus().NowMs();
  for (int i = 0; i < 20; ++i) SendFast(0x2400, {uint8_t(i)});
  EXPECT_EQ(bus().NowMs(), t0 + 20);
  loader->SetReportIntervalMs(0.5);
  for (int i = 0; i < 20; ++i) SendFast(0x2400, {uint8_t(i)});
  EXPECT_EQ(bus().NowMs(), t0 + 30);

  // Reads: the answers to one request come out one interval apart.
  loader->SetReportIntervalMs(0);
  StartRamLoader();
  loader->SetReportIntervalMs(2);
  bus().ClearTraffic();
  ASSERT_EQ(Write(h, Bsl(kTx, Cat(At(0x4400), Len(300)))), 64);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Read(h, 100).size(), 64u);
  const auto log = bus().Traffic();  // the write, then the five reads
  ASSERT_EQ(log.size(), 6u);
  for (size_t i = 2; i < log.size(); ++i) EXPECT_EQ(log[i].timeMs - log[i - 1].timeMs, 2);

  // Two writers at once: every report gets a slot of its own, and slots follow each
  // other exactly, so 200 reports take 199 intervals of the bus clock.
  loader->SetReportIntervalMs(1);
  hid_device* second = OpenLoader();
  SendFast(0x3000, {0});
  const int64_t start = bus().NowMs();
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) Write(second, Bsl(kRxFast, Cat(At(0x3100), {1})));
  });
  for (int i = 0; i < 99; ++i) SendFast(0x3000, {0});
  other.join();
  EXPECT_EQ(bus().NowMs() - start, 199);
}

TEST_F(LoaderTwinTest, EncoderUpgradeGoesThroughTheLoaderAndBack) {
  bus().Unplug(*loader);
  twin->SetFirmwareVersion("V1.2.9");
  loader = AttachLoaderTo(twin);
  EncoderSettings custom = EncoderTwin::FactorySettings();
  custom.keypadType = 2;
  twin->SetSettings(custom);
  hid_device* encoder = Open();
  ASSERT_EQ(Exchange(encoder, Request(0x09)), Reply(0x09, 0));  // WriteDefault
  ASSERT_EQ(Exchange(encoder, Request(0x0C)), Reply(0x0C, 0));  // EnterFirmwareUpgrade
  bus().AdvanceMs(99);
  EXPECT_FALSE(bus().IsPlugged(*loader));
  bus().AdvanceMs(1);
  ASSERT_TRUE(bus().IsPlugged(*loader));
  EXPECT_FALSE(bus().IsPlugged(*twin));
  EXPECT_EQ(Text(loader->ReadRange(0x4400, 11)), std::string("OVFWV1.2.9\0", 11));

  h = OpenLoader();
  StartRamLoader();
  EXPECT_EQ(Send(kErase, At(0x4400)), kOk);
  const std::string header("OVFWV1.3.0\0", 11);
  EXPECT_EQ(Send(kRx, Cat(At(0x4400), Bytes(header.begin(), header.end()))), kOk);
  EXPECT_EQ(Send(kRx, Cat(At(0x0120), {0x04, 0x00})), kOk);  // without the key: no reset
  const Bytes bor{0x04, 0xA5};  // sent twice: the first stays in the buffer
  EXPECT_EQ(Send(kRx, Cat(At(0x0120), bor)), kOk);
  EXPECT_TRUE(bus().IsPlugged(*loader));
  ASSERT_EQ(Write(h, Bsl(kRx, Cat(At(0x0120), bor))), 64);
  ExpectGone();  // no answer
  EXPECT_FALSE(bus().IsPlugged(*loader));
  bus().AdvanceMs(499);
  EXPECT_FALSE(bus().IsPlugged(*twin));
  bus().AdvanceMs(1);  // 500 ms after the reset
  ASSERT_TRUE(bus().IsPlugged(*twin));
  EXPECT_EQ(twin->FirmwareVersion(), "V1.3.0");
  EXPECT_FALSE(twin->InFirmwareUpgrade());
  EXPECT_TRUE(twin->Settings() == custom && twin->Defaults() == custom);
  EXPECT_EQ(twin->SerialNumber(), "OV000123");

  // The loader keeps what was programmed for the next upgrade.
  encoder = Open();
  ASSERT_EQ(Exchange(encoder, Request(0x0C)), Reply(0x0C, 0));
  bus().AdvanceMs(100);
  ASSERT_TRUE(bus().IsPlugged(*loader) && !loader->RamLoaderRunning());
  EXPECT_EQ(Text(loader->ReadRange(0x4400, 11)), header);

  // With the reset vector erased the reset finds no firmware to start: the device comes
  // back as its ROM loader, flash as it was, and the encoder stays away.
  h = OpenLoader();
  StartRamLoader();
  EXPECT_EQ(Send(kErase, At(0xFFFF)), kOk);
  EXPECT_EQ(Send(kRx, Cat(At(0x0120), bor)), kOk);
  ASSERT_EQ(Write(h, Bsl(kRx, Cat(At(0x0120), bor))), 64);
  ExpectGone();
  bus().AdvanceMs(1000);
  EXPECT_TRUE(bus().IsPlugged(*loader) && !loader->RamLoaderRunning());
  EXPECT_FALSE(bus().IsPlugged(*twin));
  EXPECT_EQ(Text(loader->ReadRange(0x4400, 11)), header);
  EXPECT_EQ(loader->ReadRange(0xFFFE, 2), Bytes(2, 0xFF));
}

}  // namespace
}  // namespace simtest
