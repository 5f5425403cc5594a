// The simulated bus through hidapi's functions: enumeration, opening, strings, the read
// timing on both clocks, devices leaving, the traffic log, and concurrent use.

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;
using pellix_usb_encoder::sim::Direction;

constexpr uint8_t kGetStatus = 0x01, kSetLed = 0x02, kSetKeypad = 0x07;

class BusTest : public SimTest {};

TEST_F(BusTest, EnumerationListsBothInterfacesAndFilters) {
  EXPECT_FALSE(bus().Initialised());
  hid_device_info* all = hid_enumerate(0, 0);
  EXPECT_TRUE(bus().Initialised());  // enumerate initialises the library
  ASSERT_NE(all, nullptr);
  ASSERT_NE(all->next, nullptr);
  EXPECT_EQ(all->next->next, nullptr);
  const int numbers[] = {0, 1};
  const unsigned short pages[] = {0x01, 0xFF00}, usages[] = {0x06, 0x01};
  int k = 0;
  for (auto* i = all; i; i = i->next, ++k) {
    EXPECT_EQ(i->vendor_id, 0x2047);
    EXPECT_EQ(i->product_id, 0x0A3B);
    EXPECT_EQ(i->interface_number, numbers[k]);
    EXPECT_EQ(i->usage_page, pages[k]);
    EXPECT_EQ(i->usage, usages[k]);
    EXPECT_EQ(i->bus_type, HID_API_BUS_USB);
    EXPECT_STREQ(i->manufacturer_string, L"Orvane Interface");
    EXPECT_STREQ(i->product_string, L"Ovitone USB Encoder");
    EXPECT_STREQ(i->serial_number, L"OV000123");
    const std::string prefix = "sim:2047:0A3B:i" + std::to_string(numbers[k]) + ":#";
    EXPECT_EQ(std::string(i->path).rfind(prefix, 0), 0u) << i->path;
  }
  hid_free_enumeration(all);

  hid_device_info* none = hid_enumerate(0x2047, 0x0001);
  EXPECT_EQ(none, nullptr);
  hid_device_info* byVendor = hid_enumerate(0x2047, 0);
  EXPECT_NE(byVendor, nullptr);
  hid_free_enumeration(byVendor);
  EXPECT_EQ(bus().EnumerateCount(), 3);
}

TEST_F(BusTest, OpenFailsForUnknownPathsAndWhenDenied) {
  EXPECT_EQ(hid_open_path("sim:2047:0A3B:i1:#999999"), nullptr);
  EXPECT_EQ(hid_open_path(nullptr), nullptr);
  EXPECT_STRNE(hid_error(nullptr), L"Success");
  bus().SetOpenFails(true);
  EXPECT_EQ(Open(), nullptr);
  bus().SetOpenFails(false);
  hid_device* a = Open();
  hid_device* b = hid_open(0x2047, 0x0A3B, L"OV000123");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(hid_open(0x2047, 0x0A3B, L"OTHER"), nullptr);
  EXPECT_EQ(bus().OpenHandles(), 2);
  hid_close(b);
  EXPECT_EQ(bus().OpenHandles(), 1);
  const hid_device_info* info = hid_get_device_info(a);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->path, PathOf(1));
  EXPECT_EQ(info->interface_number, 1);
}

TEST_F(BusTest, StringsAndUnsupportedCalls) {
  hid_device* handle = Open();
  ASSERT_NE(handle, nullptr);
  wchar_t text[64];
  ASSERT_EQ(hid_get_manufacturer_string(handle, text, 64), 0);
  EXPECT_STREQ(text, L"Orvane Interface");
  ASSERT_EQ(hid_get_product_string(handle, text, 8), 0);
  EXPECT_STREQ(text, L"Ovitone");  // cut to the buffer, terminated
  ASSERT_EQ(hid_get_serial_number_string(handle, text, 64), 0);
  EXPECT_STREQ(text, L"OV000123");

  twin->SetNamesReadable(false);
  EXPECT_EQ(hid_get_manufacturer_string(handle, text, 64), -1);
  EXPECT_EQ(hid_get_product_string(handle, text, 64), -1);
  EXPECT_STRNE(hid_error(handle), L"Success");
  EXPECT_EQ(hid_get_serial_number_string(handle, text, 64), 0);

  unsigned char buffer[64] = {0x3F};
  EXPECT_EQ(hid_get_indexed_string(handle, 1, text, 64), -1);
  EXPECT_EQ(hid_send_feature_report(handle, buffer, 64), -1);
  EXPECT_EQ(hid_get_feature_report(handle, buffer, 64), -1);
  EXPECT_EQ(hid_get_input_report(handle, buffer, 64), -1);
}

TEST_F(BusTest, RepliesGoToTheWritingHandleAndAreLogged) {
  bus().UseVirtualClock(true);
  hid_device* a = Open();
  hid_device* b = Open();
  ASSERT_TRUE(a && b);
  const Report request = Request(kSetKeypad, {2});
  ASSERT_EQ(Write(a, request), 64);
  EXPECT_TRUE(Read(b, 100).empty());
  Report part(10);
  ASSERT_EQ(hid_read_timeout(a, part.data(), part.size(), 0), 10);  // cut to the buffer
  EXPECT_TRUE(std::equal(part.begin(), part.end(), Reply(kSetKeypad, 0).begin()));

  const auto log = bus().Traffic();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].direction, Direction::HostToDevice);
  EXPECT_EQ(log[0].bytes, request);
  EXPECT_EQ(log[0].path, PathOf(1));
  EXPECT_EQ(log[0].productId, 0x0A3B);
  EXPECT_EQ(log[0].interfaceNumber, 1);
  EXPECT_EQ(log[1].direction, Direction::DeviceToHost);
  EXPECT_EQ(log[1].bytes, part);
  EXPECT_EQ(bus().Writes().size(), 1u);
  EXPECT_EQ(bus().EmptyReads(), 1);

  // The keyboard interface takes no output reports; the write is still logged.
  hid_device* keyboard = Open(0);
  EXPECT_EQ(Write(keyboard, request), -1);
  EXPECT_EQ(bus().Writes().size(), 2u);
  bus().ClearTraffic();
  EXPECT_TRUE(bus().Traffic().empty());
}

TEST_F(BusTest, VirtualClockReadsAdvanceTimeToTheReplyOrTheTimeout) {
  bus().UseVirtualClock(true);
  twin->SetReplyLatencyMs(250);
  hid_device* handle = Open();
  ASSERT_NE(handle, nullptr);
  const int64_t t0 = bus().NowMs();
  ASSERT_EQ(Write(handle, Request(kGetStatus)), 64);
  EXPECT_TRUE(Read(handle, 0).empty());
  EXPECT_EQ(bus().NowMs(), t0);
  EXPECT_TRUE(Read(handle, 100).empty());
  EXPECT_EQ(bus().NowMs(), t0 + 100);
  EXPECT_EQ(Read(handle, 1000).size(), 64u);  // returns when due, not at the timeout
  EXPECT_EQ(bus().NowMs(), t0 + 250);
  EXPECT_EQ(bus().EmptyReads(), 2);

  // hid_read: blocking waits without limit (jumping to the reply), non-blocking polls.
  ASSERT_EQ(Write(handle, Request(kGetStatus)), 64);
  unsigned char buffer[64];
  ASSERT_EQ(hid_set_nonblocking(handle, 1), 0);
  EXPECT_EQ(hid_read(handle, buffer, 64), 0);
  ASSERT_EQ(hid_set_nonblocking(handle, 0), 0);
  EXPECT_EQ(hid_read(handle, buffer, 64), 64);
  EXPECT_EQ(bus().NowMs(), t0 + 500);
  bus().AdvanceMs(40);
  EXPECT_EQ(bus().NowMs(), t0 + 540);
}

TEST_F(BusTest, RealClockWakesAtTheDueTime) {
  twin->SetReplyLatencyMs(30);
  hid_device* handle = Open();
  ASSERT_NE(handle, nullptr);
  auto start = Clock::now();
  EXPECT_TRUE(Read(handle, 20).empty());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));

  start = Clock::now();
  ASSERT_EQ(Write(handle, Request(kGetStatus)), 64);
  EXPECT_EQ(Read(handle, -1).size(), 64u);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(30));  // not before the report was due
}

TEST_F(BusTest, UnplugKillsHandlesAndReplugGivesANewPath) {
  hid_device* handle = Open();
  ASSERT_NE(handle, nullptr);
  const std::string oldPath = PathOf(1);
  std::atomic<int> blockedRead{0};
  std::thread reader([&] {
    int r = 0;
    Read(handle, -1, &r);
    blockedRead = r;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  int result = 0;
  bus().Unplug(*twin);
  reader.join();  // a reader blocked without limit wakes when the device leaves
  EXPECT_EQ(blockedRead, -1);
  EXPECT_FALSE(bus().IsPlugged(*twin));
  EXPECT_EQ(Write(handle, Request(kGetStatus)), -1);
  Read(handle, 0, &result);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(hid_enumerate(0, 0), nullptr);
  EXPECT_EQ(hid_open_path(oldPath.c_str()), nullptr);

  bus().Plug(twin);
  EXPECT_NE(PathOf(1), oldPath);
  EXPECT_EQ(Write(handle, Request(kGetStatus)), -1);  // the old handle stays dead
  hid_device* fresh = Open();
  EXPECT_EQ(Exchange(fresh, Request(kGetStatus)).size(), 64u);
}

// A device that answers nothing and leaves the bus 15 ms after any write, returning
// a second later.
class Departing : public pellix_usb_encoder::sim::SimDevice {
 public:
  uint16_t VendorId() const override { return 0x1234; }
  uint16_t ProductId() const override { return 0x0001; }
  std::vector<pellix_usb_encoder::sim::SimInterface> Interfaces() const override {
    return {{0, 0xFF00, 1}};
  }
  std::wstring Manufacturer() const override { return L"M"; }
  std::wstring Product() const override { return L"P"; }
  std::wstring SerialNumberString() const override { return L"S"; }
  bool OnWrite(int, const uint8_t*, size_t, pellix_usb_encoder::sim::WriteContext& c) override {
    c.LeaveBus(15, 1000);
    return true;
  }
  void OnAttach() override { ++attaches; }
  std::atomic<int> attaches{0};
};

TEST_F(BusTest, ScheduledLeaveWakesAWaiterAndRejoins) {
  auto device = std::make_shared<Departing>();
  bus().Plug(device);
  hid_device* handle = hid_open(0x1234, 0x0001, nullptr);
  ASSERT_NE(handle, nullptr);
  const auto start = Clock::now();
  const unsigned char report[1] = {0};
  ASSERT_EQ(hid_write(handle, report, 1), 1);
  int result = 0;
  Read(handle, -1, &result);  // real clock: wakes when the device leaves
  EXPECT_EQ(result, -1);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(15));
  EXPECT_FALSE(bus().IsPlugged(*device));
  hid_close(handle);

  bus().UseVirtualClock(true);
  bus().AdvanceMs(1000);
  EXPECT_TRUE(bus().IsPlugged(*device));
  EXPECT_EQ(device->attaches, 2);
}

TEST_F(BusTest, ResetCutsOffHandlesAndClearsCounters) {
  bus().UseVirtualClock(true);
  hid_device* handle = Open();
  Read(handle, 5);
  bus().Reset();
  EXPECT_EQ(Write(handle, Request(kGetStatus)), -1);
  EXPECT_EQ(bus().OpenHandles(), 0);
  EXPECT_EQ(bus().EmptyReads(), 0);
  EXPECT_EQ(bus().EnumerateCount(), 0);
  EXPECT_FALSE(bus().Initialised());
  EXPECT_TRUE(bus().Traffic().empty());
  EXPECT_FALSE(bus().IsPlugged(*twin));
  const int64_t t = bus().NowMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_GT(bus().NowMs(), t);  // back on the real clock
  hid_exit();
  EXPECT_EQ(bus().ExitCount(), 1);
}

// Several threads exchange at once, each on its own handle, while another reads the
// log and the twin's state and enumerates: every reply must reach its own writer.
TEST_F(BusTest, ConcurrentExchangesKeepRepliesApart) {
  constexpr int kThreads = 4, kRounds = 150;
  std::vector<hid_device*> handles;
  for (int t = 0; t < kThreads; ++t) handles.push_back(Open());
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        const bool status = (i + t) % 2 == 0;
        const Report reply = Exchange(handles[t], status ? Request(kGetStatus)
                                                         : Request(kSetLed, {uint8_t(t % 2), 5}));
        if (reply.size() != 64 || reply[2] != 0x02 || reply[7] != 0 ||
            reply[4] != (status ? '1' : '2')) {
          ++mismatches;
        }
      }
    });
  }
  std::thread observer([&] {
    while (!done) {
      (void)bus().Traffic().size();
      (void)twin->Settings();
      hid_free_enumeration(hid_enumerate(0, 0));
      std::this_thread::yield();
    }
  });
  for (auto& w : workers) w.join();
  done = true;
  observer.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(twin->Commands().size(), size_t{kThreads * kRounds});
  EXPECT_EQ(bus().Writes().size(), size_t{kThreads * kRounds});
}

}  // namespace
}  // namespace simtest
