// The loader library against the loader twin on the simulated bus: reports byte for byte,
// answers and refusals, the chunking of images, connections, counts, the device watcher.
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

Bytes Sequence(size_t count, uint8_t first = 0) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i * 7);
  return bytes;
}

template <typename... More>
Bytes Cat(Bytes a, const More&... more) {
  (a.insert(a.end(), more.begin(), more.end()), ...);
  return a;
}

// A report as the host must send it: 3F, NL, the core command, 0xAC up to 64 bytes.
Bytes Report(Bytes core) {
  core.insert(core.begin(), {0x3F, static_cast<uint8_t>(core.size())});
  core.resize(64, 0xAC);
  return core;
}

// One "@" run of an image text, 16 bytes a line, CR LF.
std::string ImageRun(uint32_t address, const Bytes& bytes) {
  char text[8];
  std::snprintf(text, sizeof text, "@%X", unsigned(address));
  std::string run = text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(text, sizeof text, "%02X", bytes[i]);
    run += (i % 16 ? " " : "\r\n") + std::string(text);
  }
  return run + "\r\n";
}
DataBlock_ Password(const std::array<uint8_t, 32>& bytes) {
  DataBlock_ block{{}, 32, 0xFFE0};
  std::memcpy(block.bytes, bytes.data(), bytes.size());
  return block;
}

char kDeviceString[] = "PID=0x0200,VID=0x2047,DEVICEINDEX=0";

class LoaderBusTest : public ::testing::Test {
 protected:
  void SetUp() override { BSL_close_BSL(), bus().Reset(), bus().UseVirtualClock(true), bus().Plug(twin); }
  void TearDown() override { BSL_close_BSL(), bus().Reset(); }
  static Bus& bus() { return Bus::Instance(); }

  void Unlock() {  // opens the ROM loader and unlocks it with its own password
    ASSERT_EQ(BSL_initialize_BSL(kDeviceString), 0);
    ASSERT_EQ(BSL_RX_Password(Password(twin->Password())), 0);
  }
  // Starts the RAM loader 00.06.05.34 and reconnects to it unlocked, as the upgrade does.
  void StartRamLoader() {
    Unlock();
    std::string ram = ImageRun(0x2500, {0x00, 0x06, 0x05, 0x34, 0x31}) + ImageRun(0x2576, Sequence(40, 1)) + "q";
    ASSERT_EQ(BSL_RX_TXT(ram.data(), 1), 0);
    ASSERT_EQ(BSL_LoadPC(0x2504), 0);
    bus().AdvanceMs(1000);
    Unlock();
    ASSERT_TRUE(twin->RamLoaderRunning());
    twin->ClearCommands(), bus().ClearTraffic();
  }
  static int Answers() {
    const auto log = bus().Traffic();
    return int(std::count_if(log.begin(), log.end(), [](auto& r) { return r.direction == Direction::DeviceToHost; }));
  }
  std::shared_ptr<LoaderTwin> twin = std::make_shared<LoaderTwin>();
};

TEST_F(LoaderBusTest, EachCommandByteForByteAndItsAnswer) {
  StartRamLoader();
  twin->LoadFlash(0x8000, Bytes(1536, 0x5A));
  const auto password = twin->Password();
  ASSERT_EQ(BSL_RX_Password(Password(password)), 0);
  const dataBuffer record = BSL_get_RX_Buffer();  // 00 80 NL 00, then the answer 3B 00
  EXPECT_EQ(Bytes(record.data, record.data + 7), (Bytes{0x00, 0x80, 0x02, 0x00, 0x3B, 0x00, 0x00}));
  ASSERT_EQ(BSL_CRC_Check(0x0A4400, 0x1234), 0);  // the CRCs: checked by the upgrade's tests
  ASSERT_EQ(BSL_eraseSegment(0x8234), 0);  // the segment holding 0x8234, and only that
  EXPECT_EQ(twin->ReadRange(0x81FF, 514), Cat(Bytes{0x5A}, Bytes(512, 0xFF), Bytes{0x5A}));
  EXPECT_STREQ(BSL_TX_BSL_Version_String(), "Vendor 00, CI 0x06 API 0x05 PI 0x34");
  twin->SetCrcSilent(true);  // no answer: a failure, with no stale CRC left in the record
  EXPECT_NE(BSL_CRC_Check(0x8000, 700), 0);
  EXPECT_EQ(BSL_get_RX_Buffer().data[5] | BSL_get_RX_Buffer().data[6], 0);
  EXPECT_NE(BSL_CRC_Check(0x4400, 0x10000), 0);  // a length the request cannot carry: not sent
  ASSERT_EQ(BSL_LoadPC(0x012504), 0);
  const std::vector<Bytes> expected{Report(Cat(Bytes{0x11}, password)), Report({0x16, 0x00, 0x44, 0x0A, 0x34, 0x12}),
                                    Report({0x12, 0x34, 0x82, 0x00}), Report({0x19}),
                                    Report({0x16, 0x00, 0x80, 0x00, 0xBC, 0x02}), Report({0x17, 0x04, 0x25, 0x01})};
  const auto writes = bus().Writes();
  ASSERT_EQ(writes.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(writes[i].bytes, expected[i]) << i;
}

TEST_F(LoaderBusTest, RefusedPasswordsSilentLockedOrAbsentLoadersFail) {
  ASSERT_EQ(BSL_initialize_BSL(kDeviceString), 0);
  auto wrong = twin->Password();
  wrong[3] ^= 0x40;
  EXPECT_EQ(BSL_RX_Password(Password(wrong)), 0x05);
  EXPECT_EQ(BSL_RX_Password(BSL_getDefaultPass()), 0);
  EXPECT_NE(BSL_eraseSegment(0x4400), 0);  // the ROM loader answers only the password
  EXPECT_STREQ(BSL_TX_BSL_Version_String(), "ERROR");

  StartRamLoader();  // the RAM loader after a refused password: locked, 3B 04
  EXPECT_EQ(BSL_RX_Password(Password({})), 0x05);
  EXPECT_EQ(BSL_CRC_Check(0x4400, 16), 0x04);
  std::string text = ImageRun(0x8000, Sequence(200)) + "q";
  EXPECT_EQ(BSL_RX_TXT(text.data(), 0), 0x04);  // a refused chunk ends the image
  twin->UnplugAfterReports(2);  // gone mid-image: the third fast write fails
  EXPECT_NE(BSL_RX_TXT(text.data(), 1), 0);
  BSL_close_BSL(), bus().ClearTraffic();  // no connection: nothing is sent
  EXPECT_TRUE(BSL_CRC_Check(0x4400, 16) && BSL_RX_Password(BSL_getDefaultPass()) && BSL_LoadPC(0x2504));
  EXPECT_TRUE(bus().Writes().empty());
}

TEST_F(LoaderBusTest, ImagesGoOutInChunksOf58WithinRunsAnd64KiBLines) {
  StartRamLoader();
  for (uint32_t segment = 0xFE00; segment < 0x10200; segment += 0x200) ASSERT_EQ(BSL_eraseSegment(segment), 0);
  twin->ClearCommands(), bus().ClearTraffic();
  // 150 bytes; a run continuing it directly stays separate; one crossing 0x10000 splits there.
  const Bytes first = Sequence(150), second = Sequence(5, 0x90), third = Sequence(150, 0x33);
  std::string text = ImageRun(0x8000, first) + ImageRun(0x8096, second) + ImageRun(0xFFE6, third) + "q";
  ASSERT_EQ(BSL_RX_TXT(text.data(), 0), 0);
  const std::vector<std::pair<uint32_t, size_t>> expected{
      {0x8000, 58}, {0x803A, 58}, {0x8074, 34}, {0x8096, 5}, {0xFFE6, 26}, {0x10000, 58}, {0x1003A, 58}, {0x10074, 8}};
  const auto commands = twin->Commands();
  ASSERT_EQ(commands.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::make_tuple(commands[i].code, commands[i].address, commands[i].data.size()),
              std::make_tuple(uint8_t{0x10}, expected[i].first, expected[i].second)) << i;
  }
  EXPECT_EQ(Answers(), static_cast<int>(expected.size()));  // each chunk answered
  ASSERT_EQ(BSL_CRC_Check(0x8000, 1), 0);  // commits the loader's write buffer
  EXPECT_EQ(twin->ReadRange(0x8000, 155), Cat(first, second));
  EXPECT_EQ(twin->ReadRange(0xFFE6, 150), third);
  bus().ClearTraffic();  // fast: the same chunks, nothing read
  const int emptyReads = bus().EmptyReads();
  ASSERT_EQ(BSL_RX_TXT(text.data(), 1), 0);
  EXPECT_EQ(bus().EmptyReads(), emptyReads);
  EXPECT_EQ(Answers(), 0);
  EXPECT_EQ(twin->Commands().size(), 2 * expected.size() + 1);  // after the CRC request
}

TEST_F(LoaderBusTest, OpensTheIndexedDeviceAndCountsThem) {
  auto second = std::make_shared<LoaderTwin>();
  bus().Plug(second);
  EXPECT_EQ(BSL_NumOfUSBDevices(0x2047, 0x0200), 2u);
  char index1[] = "PID=0x0200,VID=0x2047,DEVICEINDEX=1";
  ASSERT_EQ(BSL_initialize_BSL(index1), 0);
  EXPECT_EQ(BSL_RX_Password(Password(second->Password())), 0);
  EXPECT_EQ(second->Commands().size(), 1u);
  EXPECT_TRUE(twin->Commands().empty());
  char relaxed[] = "vid=2047, DeviceIndex=0 ,pid=0x200";
  ASSERT_EQ(BSL_initialize_BSL(relaxed), 0);
  EXPECT_EQ(bus().OpenHandles(), 1);  // opening again closed the previous connection
  EXPECT_EQ(BSL_close_BSL(), 0);
  for (const char* text : {"PID=0x0200,VID=0x2047,DEVICEINDEX=2", "", "PID=0x0200", "PID=0x02G0,VID=0x2047",
                           "PID=0x0200,VID=0x2047,DEVICEINDEX=x", "PID=0x0200,VID=0x2047,FOO=1",
                           "PID=0x0200,VID=0x0000", "PID=0x0200,PID=0x0200,VID=0x2047", "PID=0x00200,VID=0x2047"}) {
    EXPECT_EQ(BSL_initialize_BSL(std::string(text).data()), 1) << text;
  }
  EXPECT_EQ(bus().OpenHandles(), 0);
}

// ---- The device watcher, on the real clock ----
// Checks wait for events that must come, never for time to pass. After unregistering, the
// bus changes, then a new sink must see only a later change, not that one.
struct RecordingSink : BSL_DeviceChangeSink {
  void BSL_DeviceChanged(unsigned eventCode) override {
    std::lock_guard lock(mutex_);
    events_.push_back(eventCode);
    changed_.notify_all();
    if (onEvent) onEvent();
  }
  // The events so far, once there are `count`; the limit only ends a failing test.
  std::vector<unsigned> WaitFor(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return events_.size() >= count; });
    return events_;
  }
  std::function<void()> onEvent;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<unsigned> events_;
};

class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { BSL_close_BSL(), Bus::Instance().Reset(), Bus::Instance().Plug(present); }
  void TearDown() override { BSL_UnRegisterUSBDeviceNotification(), BSL_close_BSL(), Bus::Instance().Reset(); }
  // Registers a new sink after `other` arrived and expects it to see only its removal.
  void ExpectOnlyLaterChangesReachANewSink() {
    Bus::Instance().Plug(other);
    RecordingSink next;
    ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&next), 0);
    Bus::Instance().Unplug(*other);
    EXPECT_EQ(next.WaitFor(1), removal);
    EXPECT_EQ(BSL_UnRegisterUSBDeviceNotification(), 0);
  }
  std::shared_ptr<LoaderTwin> present = std::make_shared<LoaderTwin>(), other = std::make_shared<LoaderTwin>();
  const std::vector<unsigned> arrival{BSL_DeviceArrival}, removal{BSL_DeviceRemoval};
};

TEST_F(WatcherTest, ReportsEachArrivalAndRemovalOnceAndNothingAfterUnregistering) {
  RecordingSink replaced, sink;
  ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&replaced), 0);
  ASSERT_EQ(BSL_RegisterUSBDeviceNotification(&sink), 0);
  ASSERT_EQ(BSL_initialize_BSL(kDeviceString), 0);  // exchanges and counts run meanwhile
  std::atomic<bool> done{false};
  std::thread counter([&] { while (!done) BSL_NumOfUSBDevices(0x2047, 0x0200); });
  for (int i = 0; i < 200; ++i) EXPECT_EQ(BSL_RX_Password(Password(present->Password())), 0);
  Bus::Instance().Plug(other);  // the device attached before is no arrival: this comes first
  EXPECT_EQ(sink.WaitFor(1), arrival);
  done = true;
  counter.join();
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

}  // namespace
