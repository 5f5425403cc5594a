#include "firmware/core/flash_map.h"

#include <algorithm>
#include <cstdio>

namespace pellix_usb_encoder {
namespace {

const FlashRegion* RegionOf(uint64_t address) {
  for (const FlashRegion& region : ProgrammableFlash) {
    if (address >= region.start && address < region.end) return &region;
  }
  return nullptr;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// "information memory 0x1800-0x19FF, main flash 0x4400-0x243FF"
std::string RegionList() {
  std::string list;
  for (const FlashRegion& region : ProgrammableFlash) {
    if (!list.empty()) list += ", ";
    list += std::string(region.name) + " " + Hex(region.start) + "-" + Hex(region.end - 1);
  }
  return list;
}

// The byte the image writes at `address`, if it writes one.
bool ByteAt(const TiTxtImage& image, uint32_t address, uint8_t& value) {
  for (const TiTxtRun& run : image.runs) {
    if (address >= run.address && address - run.address < run.bytes.size()) {
      value = run.bytes[address - run.address];
      return true;
    }
  }
  return false;
}

}  // namespace

bool CheckProgrammableImage(const TiTxtImage& image, std::string& problem) {
  if (image.ByteCount() == 0) {
    problem = "the image holds no data";
    return false;
  }
  for (const TiTxtRun& run : image.runs) {
    const uint64_t end = uint64_t{run.address} + run.bytes.size();
    // A region at a time: the first byte past one region must start another.
    for (uint64_t address = run.address; address < end;) {
      const FlashRegion* region = RegionOf(address);
      if (region == nullptr) {
        problem = "byte at " + Hex(address) +
                  " is outside the flash this encoder can be programmed in (" + RegionList() +
                  ")";
        return false;
      }
      address = std::min<uint64_t>(end, region->end);
    }
  }
  uint8_t low = 0, high = 0;
  if (!ByteAt(image, ResetVectorLow, low) || !ByteAt(image, ResetVectorHigh, high)) {
    problem = "the image has no reset vector at 0xFFFE-0xFFFF; the encoder would not start it";
    return false;
  }
  // Erased flash reads 0xFFFF there: the device would stay in its loader.
  if (low == 0xFF && high == 0xFF) {
    problem = "the image's reset vector at 0xFFFE-0xFFFF is 0xFFFF, erased flash; the "
              "encoder would not start it";
    return false;
  }
  return true;
}

std::vector<uint32_t> FlashSegmentsTouched(const TiTxtImage& image) {
  std::vector<uint32_t> segments;
  for (const TiTxtRun& run : image.runs) {
    const uint64_t end = uint64_t{run.address} + run.bytes.size();
    for (const FlashRegion& region : ProgrammableFlash) {
      const uint64_t from = std::max<uint64_t>(run.address, region.start);
      const uint64_t to = std::min<uint64_t>(end, region.end);
      if (from >= to) continue;
      const uint64_t first = from - (from - region.start) % region.segmentBytes;
      for (uint64_t segment = first; segment < to; segment += region.segmentBytes) {
        segments.push_back(static_cast<uint32_t>(segment));
      }
    }
  }
  std::sort(segments.begin(), segments.end());
  segments.erase(std::unique(segments.begin(), segments.end()), segments.end());
  return segments;
}

}  // namespace pellix_usb_encoder
