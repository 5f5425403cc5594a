// Eight simulated units on links paced like USB full speed (one report per millisecond
// each way), with the program's fixed waits as they are: the wall time of
// `ovitone-cli --all upgrade-firmware` and `--all apply-config` on all eight against the
// same command on one unit alone, and their ratios. The aim: eight in at most 1.5 times
// the time of one.
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/provisioning_cli.h"
#include "firmware/core/upgrader.h"
#include "sim/encoder_twin.h"
#include "sim/loader_twin.h"
#include "sim/sim_bus.h"

namespace {

using namespace pellix_usb_encoder;
using Clock = std::chrono::steady_clock;

// Plugs `count` encoders, each with its loader, on paced links.
void PlugUnits(int count) {
  sim::Bus::Instance().Reset();
  static std::vector<std::shared_ptr<sim::LoaderTwin>> keep;
  keep.clear();
  for (int i = 0; i < count; ++i) {
    auto twin = sim::PlugEncoder();
    twin->SetReplyLatencyMs(2);  // a request and its reply, one report each way at 1 ms
    auto loader = sim::AttachLoaderTo(twin);
    loader->SetReportIntervalMs(1);
    keep.push_back(loader);
  }
}

// Seconds the command takes on `units` units (the median of `repeats` runs), or a
// negative number when it failed.
double Run(int units, const std::vector<std::string>& args, int repeats) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    PlugUnits(units);
    std::ostringstream out, err;
    const auto start = Clock::now();
    const int exit = cli::Run(args, out, err);
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (exit != 0) {
      std::fprintf(stderr, "%s", err.str().c_str());
      return -1;
    }
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string folder =
      (std::filesystem::temp_directory_path() / "ovitone_fleet_bench").string();
  std::filesystem::create_directories(folder);
  FirmwareUpgrader::SetRecoveryFolder(folder);
  const std::string config = folder + "/fleet.ini";
  std::ofstream(config) << " [appSettings]\n FirstUp=Yes\n KeypadLayout=2\n VolumeLedBrightness=4\n"
                           " JackLedBrightness=7\n CodeTableValues=225,4,0,5,224,30,0,31,\n";
  const std::string firmware = OVITONE_SOURCE_DIR "/resources/firmware/sample_firmware_v1.3.0.txt";

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int repeats;
  };
  for (const Case& c : {Case{"upgrade-firmware", {"--all", "upgrade-firmware", firmware}, 1},
                        Case{"apply-config", {"--all", "apply-config", config}, 15}}) {
    const double one = Run(1, c.args, c.repeats);
    const double eight = Run(8, c.args, c.repeats);
    if (one < 0 || eight < 0) {
      std::printf("%-17s failed\n", c.name);
      return 1;
    }
    std::printf("%-17s 1 unit %8.3f s   8 units %8.3f s   ratio %.2f (aim: at most 1.5)\n",
                c.name, one, eight, eight / one);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
