// Feeds arbitrary files to the check behind "Reset From Configuration File" and
// apply-config. Whatever the file holds, the check must end with a result (never an
// exception or a crash); a plan it calls ready must say why for nothing and carry the
// table only for a customised layout; a refused file must come with its message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "support/core/config_profile.h"

using namespace pellix_usb_encoder;

namespace {

namespace fs = std::filesystem;

// One file name for this process, reused by every input and removed at exit. Never
// destroyed, so the exit handler still finds it.
const std::string& InputFile() {
  static const std::string* const path = [] {
    auto* name = new std::string(
        (fs::temp_directory_path() / ("config_plan_fuzz_" + std::to_string(std::random_device()()) + ".ini"))
            .string());
    std::atexit([] {
      std::error_code ec;
      fs::remove(InputFile(), ec);
    });
    return name;
  }();
  return *path;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "config_plan_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(InputFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) Fail("cannot write the input file");
  }
  ConfigPlan plan;
  std::string problem;
  switch (ReadConfigPlan(InputFile(), plan, problem)) {
    case ConfigPlanResult::Ready:
      if (plan.sendTable != (plan.keypadType == 2 || plan.keypadType == 5 || plan.keypadType == 8)) {
        Fail("the table goes with the wrong layout");
      }
      break;
    case ConfigPlanResult::Malformed:
    case ConfigPlanResult::BadValue:
      if (problem.empty()) Fail("a refusal without a message");
      break;
    case ConfigPlanResult::Missing:
      Fail("a written file counts as missing");
    case ConfigPlanResult::NotSaved:
      break;
  }
  return 0;
}
