// Feeds arbitrary text to the TI-TXT reader and every image it accepts to the flash
// checks. An accepted image must hold no address twice; the segments to erase must
// cover every flash byte of it, each once and in order; an image the check passes must
// lie in flash entirely and carry its reset vector. Any break aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "firmware/core/flash_map.h"
#include "loader/ti_txt.h"

using namespace pellix_usb_encoder;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "ti_txt_fuzz: %s\n", what);
  std::abort();
}

const FlashRegion* RegionOf(uint32_t address) {
  for (const FlashRegion& region : ProgrammableFlash) {
    if (address >= region.start && address < region.end) return &region;
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TiTxtImage image;
  std::string error;
  if (!TiTxtParse(text, image, error)) {
    if (error.empty()) Fail("refused without a reason");
    return 0;
  }

  // No address twice, and no run past the 20-bit address space.
  std::vector<std::pair<uint32_t, uint32_t>> spans;
  for (const TiTxtRun& run : image.runs) {
    if (run.bytes.empty()) continue;
    const uint64_t end = uint64_t(run.address) + run.bytes.size();
    if (end > 0x100000) Fail("a run goes past 0xFFFFF");
    spans.emplace_back(run.address, static_cast<uint32_t>(end));
  }
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].first < spans[i - 1].second) Fail("two runs overlap");
  }

  // Every flash byte lies in a segment that is erased, and the list is strictly rising.
  const std::vector<uint32_t> segments = FlashSegmentsTouched(image);
  if (!std::is_sorted(segments.begin(), segments.end()) ||
      std::adjacent_find(segments.begin(), segments.end()) != segments.end()) {
    Fail("segments out of order or repeated");
  }
  bool allInFlash = true, vectorLow = false, vectorHigh = false;
  for (const TiTxtRun& run : image.runs) {
    for (size_t i = 0; i < run.bytes.size(); ++i) {
      const uint32_t address = run.address + static_cast<uint32_t>(i);
      vectorLow |= address == ResetVectorLow;
      vectorHigh |= address == ResetVectorHigh;
      const FlashRegion* region = RegionOf(address);
      if (region == nullptr) {
        allInFlash = false;
        continue;
      }
      const uint32_t segment = address - (address - region->start) % region->segmentBytes;
      if (!std::binary_search(segments.begin(), segments.end(), segment)) Fail("a byte's segment is not erased");
    }
  }

  std::string problem;
  if (CheckProgrammableImage(image, problem)) {
    if (!allInFlash || !vectorLow || !vectorHigh || image.ByteCount() == 0) Fail("an unsafe image passed");
  } else if (problem.empty()) {
    Fail("an image refused without a reason");
  }
  return 0;
}
