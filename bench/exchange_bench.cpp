// Measures one GetStatus exchange against the encoder twin at several reply latencies
// and prints how much the host side adds on top of the device's own latency, next to
// a receive loop that polls without waiting and sleeps 10 ms after every empty poll.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include "device/encoder_protocol.h"
#include "device/frame.h"
#include "device/hid_transport.h"
#include "sim/encoder_twin.h"

namespace {

using namespace pellix_usb_encoder;
using Clock = std::chrono::steady_clock;

// The waiting scheme the transport replaced: poll without waiting, sleep 10 ms when
// nothing came.
int32_t SleepPollExchange(hid_device* device, uint8_t* reply, uint32_t* replyLength) {
  uint8_t buffer[ReportSize];
  BuildRequestReport(buffer, GetStatus, nullptr, 0);
  if (hid_write(device, buffer, ReportSize) < 0) return ResultNoDevice;
  for (int elapsed = 0; elapsed < CommandTimeoutMs;) {
    std::memset(buffer, 0, sizeof buffer);
    const int read = hid_read_timeout(device, buffer, ReportSize, 0);
    if (read == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      elapsed += 10;
      continue;
    }
    if (read < 0) return ResultNoDevice;
    return CheckReplyReport(buffer, reply, 64, replyLength);
  }
  return ResultTimeout;
}

struct Key {
  bool sleepPoll;
  int latencyMs;
  bool operator<(const Key& o) const {
    return std::tie(sleepPoll, latencyMs) < std::tie(o.sleepPoll, o.latencyMs);
  }
};
std::map<Key, double> medianOverheadUs;

void Exchange(benchmark::State& state, bool sleepPoll) {
  const int latencyMs = static_cast<int>(state.range(0));
  sim::Bus::Instance().Reset();
  auto twin = sim::PlugEncoder();
  twin->SetReplyLatencyMs(latencyMs);
  char manufacturer[DeviceNameBufferSize], product[DeviceNameBufferSize];
  hid_device* device = ScanForUSBDevice_a(EncoderVendorId, EncoderProductId, manufacturer, product);
  if (device == nullptr) {
    state.SkipWithError("encoder twin not found");
    return;
  }
  std::vector<double> samples;
  uint8_t reply[64];
  uint32_t replyLength = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const int32_t result =
        sleepPoll ? SleepPollExchange(device, reply, &replyLength)
                  : USBEncoderSendAndReceive_a(device, GetStatus, nullptr, 0, reply, sizeof reply,
                                               &replyLength, CommandTimeoutMs);
    const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (result != ResultOk) {
      state.SkipWithError("exchange failed");
      break;
    }
    samples.push_back(took);
  }
  hid_exit_safely(device);
  if (samples.empty()) return;
  std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
  const double overhead = samples[samples.size() / 2] - latencyMs * 1000.0;
  medianOverheadUs[{sleepPoll, latencyMs}] = overhead;
  state.counters["median_overhead_us"] = overhead;
}

void BM_Exchange(benchmark::State& state) { Exchange(state, false); }
void BM_SleepPollExchange(benchmark::State& state) { Exchange(state, true); }

BENCHMARK(BM_Exchange)->Arg(0)->Arg(1)->Arg(4)->Iterations(200)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SleepPollExchange)->Arg(0)->Arg(1)->Arg(4)->Iterations(40)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nMedian time an exchange adds above the device's reply latency:\n");
  std::printf("%10s  %18s  %22s  %8s\n", "latency", "waiting read (us)", "poll + 10 ms sleep (us)", "ratio");
  for (int latency : {0, 1, 4}) {
    auto fast = medianOverheadUs.find({false, latency});
    auto slow = medianOverheadUs.find({true, latency});
    if (fast == medianOverheadUs.end() || slow == medianOverheadUs.end()) continue;
    std::printf("%8d ms  %18.1f  %22.1f  %7.0fx\n", latency, fast->second, slow->second,
                slow->second / std::max(fast->second, 1.0));
  }
  return 0;
}
