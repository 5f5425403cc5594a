// Several threads share hid_handle the way the windows and their workers do: each holds
// the device lock from reading the handle to the end of its sequence, and one of them
// keeps closing and rescanning.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "device/device_lock.h"
#include "device/encoder_protocol.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"

namespace pellix_usb_encoder {
namespace {

TEST(DeviceLock, SequencesFromSeveralThreadsNeverInterleave) {
  sim::Bus::Instance().Reset();
  auto twin = sim::PlugEncoder();
  char manufacturer[DeviceNameBufferSize], product[DeviceNameBufferSize];
  {
    DeviceLock lock = LockDevice();
    hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
    ASSERT_NE(hid_handle, nullptr);
  }

  std::atomic<int> failures{0};
  std::atomic<int> rounds{0};
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
        ++rounds;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 15; ++i) {
      DeviceLock lock = LockDevice();
      if (hid_handle != nullptr) hid_exit_safely(hid_handle);
      hid_handle = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
      if (hid_handle == nullptr) ++failures;
    }
  });
  for (auto& t : threads) t.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(rounds.load(), 120);
  DeviceLock lock = LockDevice();
  hid_exit_safely(hid_handle);
  hid_handle = nullptr;
}

}  // namespace
}  // namespace pellix_usb_encoder
