// Shared by the window test suites: readable Qt strings in failure output, the request
// report the transport writes, and the set-up every main-window test needs.
#pragma once

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <cstdint>
#include <functional>
#include <ostream>
#include <vector>

#include "app/main_window.h"
#include "device/device_lock.h"
#include "device/hid_transport.h"
#include "sim/sim_bus.h"
#include "support/core/data_folder.h"
#include "support/service/platform.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace pellix_usb_encoder::testing {

// Makes `folder` the per-user data folder for the windows: through XDG_DATA_HOME, as a
// user would, on Linux; directly on Windows, where the shell names the folder.
inline void UseDataFolder(const QString& folder) {
#ifdef _WIN32
  SetUserDataFolderForTests(QDir::toNativeSeparators(folder).toStdString());
#else
  qputenv("XDG_DATA_HOME", folder.toLocal8Bit());
#endif
}

// Runs the GUI thread's events (deferred deletes too) until `done`; false when it has
// not come after `rounds` rounds of events, a limit that only ends a failing test.
inline bool WaitUntil(const std::function<bool()>& done, int rounds = 20000) {
  for (; !done(); QThread::msleep(1)) {
    if (--rounds < 0) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

// A request report as it goes on the wire, built independently of the transport:
// 3F 40, STX, command and length as upper-case hex digits, payload, ETX, XOR of STX..ETX.
inline std::vector<uint8_t> RequestReport(uint8_t command, const std::vector<uint8_t>& payload) {
  const char* hex = "0123456789ABCDEF";
  const size_t n = payload.size();
  std::vector<uint8_t> r(64, 0);
  r[0] = 0x3F, r[1] = 0x40, r[2] = 0x02;
  r[3] = static_cast<uint8_t>(hex[command >> 4]), r[4] = static_cast<uint8_t>(hex[command & 15]);
  r[5] = static_cast<uint8_t>(hex[n >> 4]), r[6] = static_cast<uint8_t>(hex[n & 15]);
  std::copy(payload.begin(), payload.end(), r.begin() + 7);
  r[7 + n] = 0x03;
  for (size_t i = 2; i <= 7 + n; ++i) r[8 + n] ^= r[i];
  return r;
}

// A fresh per-user data folder, a fresh bus on the virtual clock (a silent encoder's
// 5000 ms time-out costs nothing) and the program's fixed waits scaled down; afterwards
// the device is closed, the sleep override removed and the main window's state cleared.
class MainWindowFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.isValid());
    UseDataFolder(home_.path());
    sim::Bus::Instance().Reset();
    sim::Bus::Instance().UseVirtualClock(true);
    platform::SetTimeScale(0.001);
  }
  void TearDown() override {
    {
      auto lock = LockDevice();
      if (hid_handle) hid_exit_safely(hid_handle);
      hid_handle = nullptr;
    }
    sim::Bus::Instance().Reset();
    platform::SetSleepOverride({});
    FileName.clear();
#ifdef _WIN32
    SetUserDataFolderForTests(std::nullopt);
#endif
    Form1::configArray = {};
    Form1::keyCodeArray = {};
  }
  QTemporaryDir home_;
};

}  // namespace pellix_usb_encoder::testing
