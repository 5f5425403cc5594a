// The loader library against the loader twin on the simulated bus: reports byte for
// byte, each command's answer, the chunking of images, connections, the device count and
// the device watcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loader/bsl430.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"

namespace {

using pellix_usb_encoder::sim::Bus;
using pellix_usb_encoder::sim::Direction;
using pellix_usb_encoder::sim::LoaderTwin;
using Bytes = std::vector<uint8_t>;

// CRC-16/CCITT-FALSE, bit by bit.
uint16_t Crc16(const Bytes& bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : bytes) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

Bytes Sequence(size_t count, uint8_t first = 0) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
  return bytes;
}

// A report as the host must send it: 3F, NL, the core command, 0xAC up to 64 bytes.
Bytes Report(const Bytes& core) {
  Bytes report(64, 0xAC);
  report[0] = 0x3F;
  report[1] = static_cast<uint8_t>(core.size());
  std::copy(core.begin(), core.end(), report.begin() + 2);
  return report;
}

// One "@" run of an image text, 16 bytes a line, CR LF.
std::string ImageRun(uint32_t address, const Bytes& bytes) {
  char line[16];
  std::snprintf(line, sizeof line, "@%X\r\n", static_cast<unsigned>(address));
  std::string text = line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(line, sizeof line, "%02X%s", bytes[i], i % 16 == 15 ? "\r\n" : " ");
    text += line;
  }
  return text + "\r\n";
}

DataBlock_ Password(const std::array<uint8_t, 32>& bytes) {
  DataBlock_ block{};
  std::memcpy(block.bytes, bytes.data(), bytes.size());
  block.byteCount = 32;
  block.startAddress = 0xFFE0;
  return block;
}

char kDeviceString[] = "PID=0x0200,VID=0x2047,DEVICEINDEX=0";

class LoaderBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BSL_close_BSL();
    bus().Reset();
    bus().UseVirtualClock(true);
    twin = std::make_shared<LoaderTwin>();
    bus().Plug(twin);
  }
  void TearDown() override {
    BSL_close_BSL();
    bus().Reset();
  }
  static Bus& bus() { return Bus::Instance(); }

  void Open() { ASSERT_EQ(BSL_initialize_BSL(kDeviceString), 0); }

  // Unlocks the ROM loader, starts the RAM loader 00.06.05.34 and reconnects to it
  // unlocked, as the upgrade does.
  void StartRamLoader() {
    Open();
    ASSERT_EQ(BSL_RX_Password(Password(twin->Password())), 0);
    std::string ram = ImageRun(0x2500, {0x00, 0x06, 0x05, 0x34, 0x31}) + ImageRun(0x2576, Sequence(40, 1)) + "q";
    ASSERT_EQ(BSL_RX_TXT(ram.data(), 1), 0);
    ASSERT_EQ(BSL_LoadPC(0x2504), 0);
    bus().AdvanceMs(1000);
    Open();
    ASSERT_TRUE(twin->RamLoaderRunning());
    ASSERT_EQ(BSL_RX_Password(Password(twin->Password())), 0);
    twin->ClearCommands();
    bus().ClearTraffic();
  }

  static int Answers() {
    const auto traffic = bus().Traffic();
    return static_cast<int>(std::count_if(traffic.begin(), traffic.end(), [](const auto& r) {
      return r.direction == Direction::DeviceToHost;
    }));
  }

  std::shared_ptr<LoaderTwin> twin;
};

TEST_F(LoaderBusTest, ReportsAreFramedByteForByte) {
  StartRamLoader();
  const auto password = twin->Password();
  ASSERT_EQ(BSL_RX_Password(Password(password)), 0);
  // The receive record: 00 80 NL 00, then the answer 3B 00.
  const dataBuffer record = BSL_get_RX_Buffer();
  EXPECT_EQ(Bytes(record.data, record.data + 7), (Bytes{0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x00}));

  ASSERT_EQ(BSL_CRC_Check(0x0A4400, 0x1234), 0);
  ASSERT_EQ(BSL_eraseSegment(0xFFFF), 0);
  BSL_TX_BSL_Version_String();
  ASSERT_EQ(BSL_LoadPC(0x012504), 0);
  const auto writes = bus().Writes();
  ASSERT_EQ(writes.size(), 5u);
  Bytes core{0x11};
  core.insert(core.end(), password.begin(), password.end());
  EXPECT_EQ(writes[0].bytes, Report(core));
  EXPECT_EQ(writes[1].bytes, Report({0x16, 0x00, 0x44, 0x0A, 0x34, 0x12}));
  EXPECT_EQ(writes[2].bytes, Report({0x12, 0xFF, 0xFF, 0x00}));
  EXPECT_EQ(writes[3].bytes, Report({0x19}));
  EXPECT_EQ(writes[4].bytes, Report({0x17, 0x04, 0x25, 0x01}));
}

TEST_F(LoaderBusTest, RefusedPasswordMassErasesAndTheDefaultOneUnlocks) {
  Open();
  auto wrong = twin->Password();
  wrong[3] ^= 0x40;
  EXPECT_EQ(BSL_RX_Password(Password(wrong)), 0x05);
  EXPECT_EQ(BSL_get_RX_Buffer().data[5], 0x05);
  EXPECT_FALSE(twin->Unlocked());
  EXPECT_EQ(twin->MassEraseCount(), 1);
  EXPECT_EQ(twin->ReadRange(0xFFE0, 32), Bytes(32, 0xFF));
  EXPECT_EQ(BSL_RX_Password(BSL_getDefaultPass()), 0);
  EXPECT_TRUE(twin->Unlocked());
}

TEST_F(LoaderBusTest, CrcVersionAndSegmentEraseAnswers) {
  StartRamLoader();
  twin->LoadFlash(0x8000, Bytes(1536, 0x5A));
  for (const auto& [address, length] : std::vector<std::pair<uint32_t, uint32_t>>{
           {0x8000, 700}, {0x4400, 5000}, {0xFF00, 0x200}, {0x1800, 1}}) {
    ASSERT_EQ(BSL_CRC_Check(address, length), 0) << std::hex << address;
    const dataBuffer record = BSL_get_RX_Buffer();
    EXPECT_EQ(record.data[5] | record.data[6] << 8, Crc16(twin->ReadRange(address, length)));
  }
  EXPECT_EQ(Crc16({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x29B1);  // the test's own

  const std::string version = BSL_TX_BSL_Version_String();
  EXPECT_EQ(version, "Vendor 00, CI 0x06 API 0x05 PI 0x34");
  EXPECT_EQ(version.substr(16, 2) + version.substr(25, 2) + version.substr(33, 2), "060534");

  ASSERT_EQ(BSL_eraseSegment(0x8234), 0);
  EXPECT_EQ(twin->ReadRange(0x81FF, 1), Bytes{0x5A});
  EXPECT_EQ(twin->ReadRange(0x8200, 512), Bytes(512, 0xFF));  // the segment holding 0x8234
  EXPECT_EQ(twin->ReadRange(0x8400, 1), Bytes{0x5A});

  // No answer: a failure after about a second, with no stale CRC left in the record.
  twin->SetCrcSilent(true);
  const int64_t start = bus().NowMs();
  EXPECT_NE(BSL_CRC_Check(0x8000, 700), 0);
  EXPECT_GE(bus().NowMs() - start, 900);
  EXPECT_LE(bus().NowMs() - start, 1500);
  EXPECT_EQ(BSL_get_RX_Buffer().data[5] | BSL_get_RX_Buffer().data[6], 0);

  // Lengths the request cannot carry are refused without asking.
  bus().ClearTraffic();
  EXPECT_NE(BSL_CRC_Check(0x4400, 0x10000), 0);
  EXPECT_TRUE(bus().Writes().empty());
}

TEST_F(LoaderBusTest, SilentLockedOrAbsentLoadersFail) {
  Open();  // the ROM loader answers only the password
  ASSERT_EQ(BSL_RX_Password(Password(twin->Password())), 0);
  EXPECT_NE(BSL_CRC_Check(0x4400, 16), 0);
  EXPECT_NE(BSL_eraseSegment(0x4400), 0);
  EXPECT_STREQ(BSL_TX_BSL_Version_String(), "ERROR");

  StartRamLoader();  // the RAM loader after a refused password: locked, 3B 04
  EXPECT_EQ(BSL_RX_Password(BSL_getDefaultPass()), 0x05);
  EXPECT_EQ(BSL_CRC_Check(0x4400, 16), 0x04);
  EXPECT_EQ(BSL_eraseSegment(0x4400), 0x04);

  BSL_close_BSL();
  bus().ClearTraffic();
  EXPECT_NE(BSL_CRC_Check(0x4400, 16), 0);
  EXPECT_NE(BSL_RX_Password(BSL_getDefaultPass()), 0);
  EXPECT_NE(BSL_LoadPC(0x2504), 0);
  std::string text = ImageRun(0x8000, {1, 2}) + "q";
  EXPECT_NE(BSL_RX_TXT(text.data(), 1), 0);
  EXPECT_STREQ(BSL_TX_BSL_Version_String(), "ERROR");
  EXPECT_TRUE(bus().Writes().empty());
}

TEST_F(LoaderBusTest, ImagesGoOutInChunksOf58WithinRunsAnd64KiBLines) {
  StartRamLoader();
  for (uint32_t segment = 0xFE00; segment < 0x10200; segment += 0x200) {
    ASSERT_EQ(BSL_eraseSegment(segment), 0);  // what the image lands on
  }
  twin->ClearCommands();
  bus().ClearTraffic();

  // 150 bytes (58 + 58 + 34); a run continuing it directly stays separate; a run
  // crossing 0x10000: 0xFFE6..0xFFFF (26), then 58, 58, 8.
  const Bytes first = Sequence(150), second = Sequence(5, 0x90), third = Sequence(150, 0x33);
  std::string text = ImageRun(0x8000, first) + ImageRun(0x8096, second) + ImageRun(0xFFE6, third) + "q";
  ASSERT_EQ(BSL_RX_TXT(text.data(), 0), 0);

  const std::vector<std::pair<uint32_t, size_t>> expected{
      {0x8000, 58}, {0x803A, 58},  {0x8074, 34},  {0x8096, 5},
      {0xFFE6, 26}, {0x10000, 58}, {0x1003A, 58}, {0x10074, 8}};
  const auto commands = twin->Commands();
  ASSERT_EQ(commands.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(commands[i].code, 0x10) << i;
    EXPECT_EQ(commands[i].address, expected[i].first) << i;
    EXPECT_EQ(commands[i].data.size(), expected[i].second) << i;
  }
  EXPECT_EQ(Answers(), static_cast<int>(expected.size()));  // each chunk answered
  EXPECT_EQ(bus().Writes()[0].bytes[1], 62);                // a full chunk fills the report

  ASSERT_EQ(BSL_CRC_Check(0x8000, 1), 0);  // commits the loader's write buffer
  EXPECT_EQ(twin->ReadRange(0x8000, 150), first);
  EXPECT_EQ(twin->ReadRange(0x8096, 5), second);
  EXPECT_EQ(twin->ReadRange(0xFFE6, 150), third);

  // Malformed images are refused before anything is sent.
  bus().ClearTraffic();
  std::string broken = "@8000\r\n01 02 0\r\nq";
  EXPECT_NE(BSL_RX_TXT(broken.data(), 0), 0);
  char missing[] = "/nonexistent/firmware.txt";
  EXPECT_NE(BSL_RX_TXT_File(missing, 1), 0);
  EXPECT_TRUE(bus().Writes().empty());
}

TEST_F(LoaderBusTest, FastWritesAndLoadPcReadNothing) {
  Open();
  ASSERT_EQ(BSL_RX_Password(Password(twin->Password())), 0);
  twin->ClearCommands();
  bus().ClearTraffic();
  const int emptyReads = bus().EmptyReads();
  const int64_t start = bus().NowMs();
  const Bytes data = Sequence(200, 9);
  std::string text = ImageRun(0x2500, data) + "q";
  ASSERT_EQ(BSL_RX_TXT(text.data(), 1), 0);
  ASSERT_EQ(BSL_LoadPC(0x9000), 0);  // a jump into nowhere: the device goes quiet

  EXPECT_LT(bus().NowMs() - start, 100);
  EXPECT_EQ(bus().EmptyReads(), emptyReads);
  EXPECT_EQ(Answers(), 0);
  const auto commands = twin->Commands();
  ASSERT_EQ(commands.size(), 5u);  // 58 + 58 + 58 + 26, then load PC
  EXPECT_EQ(commands[3].code, 0x1B);
  EXPECT_EQ(commands[3].address, 0x2500u + 3 * 58);
  EXPECT_EQ(commands[3].data.size(), 26u);
  EXPECT_EQ(commands[4].code, 0x17);
  EXPECT_EQ(twin->ReadRange(0x2500, 200), data);
}

TEST_F(LoaderBusTest, ADeviceThatLeavesFailsTheOperationAtOnce) {
  StartRamLoader();
  twin->UnplugAfterReports(1);  // gone between request and answer
  const int64_t start = bus().NowMs();
  EXPECT_NE(BSL_eraseSegment(0x8000), 0);
  EXPECT_LT(bus().NowMs() - start, 500);

  bus().Plug(twin);
  Open();
  ASSERT_EQ(BSL_RX_Password(Password(twin->Password())), 0);
  twin->UnplugAfterReports(2);  // gone mid-image: the third write fails
  std::string text = ImageRun(0x2500, Sequence(200)) + "q";
  EXPECT_NE(BSL_RX_TXT(text.data(), 1), 0);
}

TEST_F(LoaderBusTest, OpensTheIndexedDeviceAndCountsThem) {
  EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 1u);
  auto second = std::make_shared<LoaderTwin>();
  bus().Plug(second);
  EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 2u);
  EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0A3B), 0u);

  char index1[] = "PID=0x0200,VID=0x2047,DEVICEINDEX=1";
  ASSERT_EQ(BSL_initialize_BSL(index1), 0);
  EXPECT_EQ(BSL_RX_Password(Password(second->Password())), 0);
  EXPECT_EQ(second->Commands().size(), 1u);
  EXPECT_TRUE(twin->Commands().empty());

  // Opening again closes the previous connection first.
  char relaxed[] = "vid=2047, DeviceIndex=0 ,pid=0x200";
  ASSERT_EQ(BSL_initialize_BSL(relaxed), 0);
  EXPECT_EQ(bus().OpenHandles(), 1);
  EXPECT_EQ(BSL_close_BSL(), 0);
  EXPECT_EQ(bus().OpenHandles(), 0);

  for (const char* text : {"PID=0x0200,VID=0x2047,DEVICEINDEX=2", "", "PID=0x0200",
                           "PID=0x02G0,VID=0x2047", "PID=0x0200,VID=0x2047,DEVICEINDEX=x",
                           "PID=0x0200,VID=0x2047,FOO=1", "PID=0x0200,VID=0x0000",
                           "PID=0x0200,PID=0x0200,VID=0x2047", "PID=0x00200,VID=0x2047"}) {
    std::string copy = text;
    EXPECT_EQ(BSL_initialize_BSL(copy.data()), 1) << text;
  }
  EXPECT_EQ(bus().OpenHandles(), 0);
  bus().Reset();
  EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 0u);
  EXPECT_EQ(BSL_initialize_BSL(kDeviceString), 1);
}

// ---- The device watcher, on the real clock ----
// Each check waits for an event that must come; none passes because the watcher has not
// polled yet. After unregistering, the bus changes and a new registration sees a later
// change: were the first still watching, it, or the new sink, would see the first.

class RecordingSink : public BSL_DeviceChangeSink {
 public:
  void BSL_DeviceChanged(unsigned eventCode) override {
    std::lock_guard lock(mutex_);
    events_.push_back(eventCode);
    changed_.notify_all();
    if (onEvent) onEvent();
  }
  // The events so far, once there are `count` of them. Returns as soon as they are
  // there; the limit only ends a test that fails.
  std::vector<unsigned> WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return events_.size() >= count; });
    return events_;
  }
  std::function<void()> onEvent;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<unsigned> events_;
};

class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BSL_close_BSL();
    Bus::Instance().Reset();
    Bus::Instance().Plug(present);
  }
  void TearDown() override {
    BSL_UnRegisterUSBDeviceNotification();
    BSL_close_BSL();
    Bus::Instance().Reset();
  }
  // Registers a new sink after `other` arrived and expects it to see only its removal.
  void ExpectOnlyLaterChangesReachANewSink() {
    Bus::Instance().Plug(other);
    RecordingSink next;
    ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&next), 0);
    Bus::Instance().Unplug(*other);
    EXPECT_EQ(next.WaitFor(1), removal);
    EXPECT_EQ(BSL_UnRegisterUSBDeviceNotification(), 0);
  }
  std::shared_ptr<LoaderTwin> present = std::make_shared<LoaderTwin>();
  std::shared_ptr<LoaderTwin> other = std::make_shared<LoaderTwin>();
  const std::vector<unsigned> arrival{BSL_DeviceArrival}, removal{BSL_DeviceRemoval};
};

TEST_F(WatcherTest, ReportsEachArrivalAndRemovalOnceAndNothingAfterUnregistering) {
  RecordingSink replaced, sink;
  ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&replaced), 0);
  ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&sink), 0);
  Bus::Instance().Plug(other);  // the device attached before is no arrival: this comes first
  EXPECT_EQ(sink.WaitFor(1), arrival);
  Bus::Instance().Unplug(*other);
  Bus::Instance().Unplug(*present);
  sink.WaitFor(3);
  Bus::Instance().Plug(present);  // after the removals, reported once each
  const std::vector<unsigned> all{BSL_DeviceArrival, BSL_DeviceRemoval, BSL_DeviceRemoval,
                                  BSL_DeviceArrival};
  EXPECT_EQ(sink.WaitFor(4), all);
  EXPECT_TRUE(replaced.WaitFor(0).empty());

  EXPECT_EQ(BSL_UnRegisterUSBDeviceNotification(), 0);
  ExpectOnlyLaterChangesReachANewSink();
  EXPECT_EQ(sink.WaitFor(0), all);
  EXPECT_NE(BSL_RegisterUSBDeviceNotification(nullptr), 0);
}

TEST_F(WatcherTest, UnregisteringFromInsideTheSinkDoesNotHang) {
  RecordingSink sink;
  sink.onEvent = [] { BSL_UnRegisterUSBDeviceNotification(); };
  ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&sink), 0);
  Bus::Instance().Unplug(*present);
  ASSERT_EQ(sink.WaitFor(1), removal);
  ExpectOnlyLaterChangesReachANewSink();  // a later registration starts afresh
  EXPECT_EQ(sink.WaitFor(0), removal);
}

TEST_F(WatcherTest, TheProgramMayEndWhileWatching) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static RecordingSink sink;
        BSL_RegisterUSBDeviceNotification(&sink);
        Bus::Instance().Plug(other);
        sink.WaitFor(1);  // the watcher has polled and goes on polling
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(WatcherTest, ExchangesRunWhileTheWatcherPolls) {
  RecordingSink sink;
  ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&sink), 0);
  ASSERT_EQ(BSL_initialize_BSL(kDeviceString), 0);
  std::atomic<bool> done{false};
  std::thread counter([&] {
    while (!done) BSL_NumOfUSBDevices(0x2047, 0x0200);
  });
  for (int i = 0; i < 200; ++i) EXPECT_EQ(BSL_RX_Password(Password(present->Password())), 0);
  Bus::Instance().Plug(other);
  EXPECT_EQ(sink.WaitFor(1), arrival);
  done = true;
  counter.join();
}

}  // namespace
