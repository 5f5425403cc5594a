// Which images the encoder's flash can take, and which segments an image needs erased.
#include <gtest/gtest.h>

#include "firmware/core/flash_map.h"

namespace pellix_usb_encoder {
namespace {

using Bytes = std::vector<uint8_t>;
using Runs = std::vector<TiTxtRun>;

const TiTxtRun Vector{0xFFFE, {0x00, 0x44}};
const std::string Outside =
    " is outside the flash this encoder can be programmed in (information memory 0x1800-0x19FF, main flash 0x4400-0x243FF)";
const std::string NoVector = "the image has no reset vector at 0xFFFE-0xFFFF; the encoder would not start it";

TEST(FlashMap, OnlyImagesOfProgrammableFlashWithAResetVectorPass) {
  const std::pair<Runs, std::string> cases[] = {
      {{{0x5000, {}}, {0xFFFE, {}}}, "the image holds no data"},
      {{{0x2C00, Bytes(16, 1)}}, "byte at 0x2C00" + Outside},                                  // RAM only
      {{{0x2500, Bytes(16, 1)}, Vector}, "byte at 0x2500" + Outside},                          // the RAM loader's place
      {{{0x0120, {0x04, 0xA5}}, Vector}, "byte at 0x120" + Outside},                           // a peripheral
      {{{0x1000, {0x01}}, Vector}, "byte at 0x1000" + Outside},                                // the loader's flash
      {{Vector, {0x19FE, {1, 2, 3}}}, "byte at 0x1A00" + Outside}, {{Vector, {0x243FF, {1, 2}}}, "byte at 0x24400" + Outside},
      {{{0x4400, Bytes(600, 1)}}, NoVector}, {{{0x4400, {1}}, {0xFFFE, {0x00}}}, NoVector},
      {{{0x4400, {1}}, {0xFFFF, {0x44}}}, NoVector},
      {{{0xFFFE, {0xFF, 0xFF}}}, "the image's reset vector at 0xFFFE-0xFFFF is 0xFFFF, erased flash; the encoder would not start it"},
      // Every edge of both regions, and a run through the vector into the flash above it.
      {{{0x1800, Bytes(0x200, 1)}, {0x4400, {1}}, {0xFFF0, Bytes(0x20, 2)}, {0x243FF, {3}}}, ""},
  };
  for (const auto& [runs, expected] : cases) {
    TiTxtImage image;
    image.runs = runs;
    std::string problem;
    EXPECT_EQ(CheckProgrammableImage(image, problem), expected.empty()) << expected;
    EXPECT_EQ(problem, expected);
  }
}

TEST(FlashMap, SegmentsTouchedAreEachByteSegmentOnceInOrder) {
  const std::pair<Runs, std::vector<uint32_t>> cases[] = {
      // Runs crossing segments and the 64 KiB line (the upgrade test erases an image's segments).
      {{{0x187F, Bytes(2)}, {0xFFF0, Bytes(0x20)}, {0x243FF, Bytes(1)}}, {0x1800, 0x1880, 0xFE00, 0x10000, 0x24200}},
      {{{0x2500, Bytes(16)}, {0x5000, {}}}, {}},  // nothing in flash
  };
  for (const auto& [runs, expected] : cases) {
    TiTxtImage image;
    image.runs = runs;
    EXPECT_EQ(FlashSegmentsTouched(image), expected);
  }
}

}  // namespace
}  // namespace pellix_usb_encoder
