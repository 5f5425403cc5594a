// The flash of the encoder's microcontroller (the USB MSP430F5xx parts it is built
// with) that a firmware image may write, and the segments the loader erases in it.
// Standard library only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "loader/ti_txt.h"

namespace pellix_usb_encoder {

// One programmable area: addresses start .. end - 1, erased in segments of
// segmentBytes, each starting at a multiple of its size.
struct FlashRegion {
  const char* name;
  uint32_t start;
  uint32_t end;
  uint32_t segmentBytes;
};

// Information memory (four segments of 128 bytes) and main flash, lowest first. The
// loader's own flash at 0x1000-0x17FF, RAM and the peripherals are not in it.
inline constexpr std::array<FlashRegion, 2> ProgrammableFlash{{
    {"information memory", 0x1800, 0x1A00, 128},
    {"main flash", 0x4400, 0x24400, 512},
}};

// The reset vector: where the device starts the firmware from after a reset.
inline constexpr uint32_t ResetVectorLow = 0xFFFE;
inline constexpr uint32_t ResetVectorHigh = 0xFFFF;

// True when `image` can go into the encoder: it has data, every byte lies in
// ProgrammableFlash, and it sets both bytes of the reset vector to something other than
// erased flash. Otherwise false, with the first fault found in `problem`.
bool CheckProgrammableImage(const TiTxtImage& image, std::string& problem);

// The start address of every flash segment that a byte of `image` lies in, each once,
// lowest first. Bytes outside ProgrammableFlash are left out.
std::vector<uint32_t> FlashSegmentsTouched(const TiTxtImage& image);

}  // namespace pellix_usb_encoder
