// Helpers for the simulated bus tests: frames are built and checked here by hand, so the
// tests do not lean on the twin's own frame code or on the host-side transport.
#pragma once

#include <gtest/gtest.h>
#include <hidapi/hidapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/encoder_twin.h"
#include "sim/sim_bus.h"

namespace simtest {

using Report = std::vector<uint8_t>;
using pellix_usb_encoder::sim::Bus;
using pellix_usb_encoder::sim::EncoderTwin;

inline uint8_t Hex(unsigned nibble) { return "0123456789ABCDEF"[nibble & 0x0F]; }

inline uint8_t Xor(const Report& r, size_t from, size_t to) {
  uint8_t sum = 0;
  for (size_t i = from; i <= to; ++i) sum ^= r[i];
  return sum;
}

// A request as the host sends it: 3F 40 STX cmd(2) n(2) payload ETX checksum, zeros.
inline Report Request(uint8_t command, const std::vector<uint8_t>& payload = {}) {
  Report r(64, 0);
  const size_t n = payload.size();
  r[0] = 0x3F;
  r[1] = 0x40;
  r[2] = 0x02;
  r[3] = Hex(command >> 4);
  r[4] = Hex(command);
  r[5] = Hex(static_cast<unsigned>(n >> 4));
  r[6] = Hex(static_cast<unsigned>(n));
  for (size_t i = 0; i < n; ++i) r[7 + i] = payload[i];
  r[7 + n] = 0x03;
  r[8 + n] = Xor(r, 2, 7 + n);
  return r;
}

// The reply the encoder should send for `command`.
inline Report Reply(uint8_t command, uint8_t status, const std::vector<uint8_t>& data = {}) {
  Report r(64, 0);
  const size_t n = 1 + data.size();
  r[0] = 0x3F;
  r[1] = static_cast<uint8_t>(n + 7);
  r[2] = 0x02;
  r[3] = Hex(command >> 4);
  r[4] = Hex(command);
  r[5] = Hex(static_cast<unsigned>(n >> 4));
  r[6] = Hex(static_cast<unsigned>(n));
  r[7] = status;
  for (size_t i = 0; i < data.size(); ++i) r[8 + i] = data[i];
  r[7 + n] = 0x03;
  r[8 + n] = Xor(r, 2, 7 + n);
  return r;
}

inline Report Short(uint8_t code) {
  Report r(64, 0);
  r[0] = 0x3F;
  r[1] = 0x01;
  r[2] = code;
  return r;
}

// Resets the bus around each test, plugs one encoder, and closes what the test opened.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus::Instance().Reset();
    twin = pellix_usb_encoder::sim::PlugEncoder();
  }
  void TearDown() override {
    for (hid_device* handle : opened_) hid_close(handle);
    Bus::Instance().Reset();
  }

  Bus& bus() { return Bus::Instance(); }

  std::string PathOf(int interfaceNumber) {
    std::string path;
    hid_device_info* list = hid_enumerate(EncoderTwin::VendorIdValue, EncoderTwin::ProductIdValue);
    for (auto* i = list; i; i = i->next) {
      if (i->interface_number == interfaceNumber) path = i->path;
    }
    hid_free_enumeration(list);
    return path;
  }

  // Opens an interface of the encoder; closed at the end of the test.
  hid_device* Open(int interfaceNumber = 1) {
    const std::string path = PathOf(interfaceNumber);
    hid_device* handle = path.empty() ? nullptr : hid_open_path(path.c_str());
    if (handle) opened_.push_back(handle);
    return handle;
  }

  void Close(hid_device* handle) {
    std::erase(opened_, handle);
    hid_close(handle);
  }

  static int Write(hid_device* handle, const Report& report) {
    return hid_write(handle, report.data(), report.size());
  }

  // The next report, or an empty one when the read returned 0 or failed (`result`).
  static Report Read(hid_device* handle, int timeoutMs, int* result = nullptr) {
    Report r(64, 0);
    const int n = hid_read_timeout(handle, r.data(), r.size(), timeoutMs);
    if (result) *result = n;
    r.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return r;
  }

  // Writes a request and reads one report within 5 s of bus time.
  static Report Exchange(hid_device* handle, const Report& request) {
    if (Write(handle, request) != static_cast<int>(request.size())) return {};
    return Read(handle, 5000);
  }

  std::shared_ptr<EncoderTwin> twin;

 private:
  std::vector<hid_device*> opened_;
};

}  // namespace simtest
