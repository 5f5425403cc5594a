#include "device/trace.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>

#include "device/usb_port.h"
#include "support/core/file_store.h"

#ifndef OVITONE_VERSION
#define OVITONE_VERSION "unknown"
#endif

namespace pellix_usb_encoder {

namespace trace_detail {
std::atomic<bool> tracing{false};
}  // namespace trace_detail

namespace {

struct Trace {
  std::mutex mutex;
  LogFile file;
  std::chrono::steady_clock::time_point start;
  std::size_t lines = 0;  // written whole
  std::string failure;    // why the trace stopped early; empty while it is complete
};

// Called with the lock held when a line could not be written: keeps the first reason and
// stops writing, so the file ends with the lines written before.
void Failed(Trace& t) {
  if (t.failure.empty()) {
    t.failure = "writing it failed after " + std::to_string(t.lines) +
                (t.lines == 1 ? " line (" : " lines (") + t.file.Problem() + ")";
  }
  trace_detail::tracing.store(false);
  t.file.Close();
}

// Never destroyed, so that a report during program exit still finds it.
Trace& State() {
  static auto* trace = new Trace;
  return *trace;
}

}  // namespace

bool StartTrace(const std::string& path, std::string& problem) {
  Trace& t = State();
  std::lock_guard<std::mutex> lock(t.mutex);
  trace_detail::tracing.store(false);
  t.failure.clear();
  t.lines = 0;
  if (!t.file.Open(path, problem)) return false;
  const char* hidapi = hid_version_str();
  const std::string header = std::string("# Ovitone USB Utility ") + OVITONE_VERSION +
                             ", hidapi " + (hidapi != nullptr ? hidapi : "?") +
                             ": microseconds, out (to the device) or in, vendor:product, USB "
                             "port, report bytes\n";
  if (!t.file.Append(header)) {
    t.file.Close();
    problem = "cannot write " + path + ": " + t.file.Problem();
    return false;
  }
  t.lines = 1;
  t.start = std::chrono::steady_clock::now();
  trace_detail::tracing.store(true);
  return true;
}

bool StopTrace(std::string& problem) {
  Trace& t = State();
  std::lock_guard<std::mutex> lock(t.mutex);
  trace_detail::tracing.store(false);
  t.file.Close();
  problem = std::move(t.failure);
  t.failure.clear();
  return problem.empty();
}

void trace_detail::Write(hid_device* device, bool toDevice, const uint8_t* bytes, size_t length) {
  unsigned vendor = 0, product = 0;
  std::string port;
  if (const hid_device_info* info = device != nullptr ? hid_get_device_info(device) : nullptr) {
    vendor = info->vendor_id;
    product = info->product_id;
    port = UsbPortOfPath(info->path);
  }
  std::string line;
  line.reserve(64 + 3 * length);
  char field[96];
  Trace& t = State();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (!t.file.IsOpen()) return;
  // Taken under the lock, so that the lines are in the order of their times.
  const auto now = std::chrono::steady_clock::now();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now - t.start).count();
  std::snprintf(field, sizeof field, "%10lld %-3s %04x:%04x %s", static_cast<long long>(micros),
                toDevice ? "out" : "in", vendor, product, port.empty() ? "?" : port.c_str());
  line += field;
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(field, sizeof field, " %02X", bytes[i]);
    line += field;
  }
  line += '\n';
  if (t.file.Append(line)) {
    ++t.lines;
  } else {
    Failed(t);
  }
}

}  // namespace pellix_usb_encoder
