#include "layout_editor/core/key_code_table.h"

#include <gtest/gtest.h>
#include <set>

namespace pellix_usb_encoder {
namespace {

// Position is the usage byte, so a missing or doubled line shows up as a wrong prefix.
TEST(KeyCodeList, OneEntryPerUsageWithTheRightBlankRun) {
  const auto& items = KeyCodeItems();
  ASSERT_EQ(static_cast<int>(items.size()), KeyCodeItemCount);
  const std::set<int> three = {0x0A, 0x10, 0x1A, 0x7A, 0x7B, 0x7C, 0x7D};
  for (int usage = 0; usage < KeyCodeItemCount; ++usage) {
    const std::string& text = items[usage];
    EXPECT_EQ(text.substr(0, 4), CodeLabel(static_cast<uint8_t>(usage))) << text;
    EXPECT_EQ(text.find_first_not_of(' ', 4) - 4, three.count(usage) ? 3u : 4u) << text;
  }
  EXPECT_EQ(CodeLabel(0x0F) + CodeLabel(0xA0), "0x0F0xA0");
}

// Index 0 and any index outside the list mean "no modifier", never 0xDF or a stray byte;
// a byte is listed exactly when it survives the trip through a list position.
TEST(ModifierList, IndicesAndUsages) {
  EXPECT_EQ(static_cast<int>(ModifierItems().size()), ModifierItemCount);
  for (const auto& [index, usage] : {std::pair{0, 0x00}, {1, 0xE0}, {8, 0xE7}, {-1, 0x00}, {9, 0x00}})
    EXPECT_EQ(ModifierIndexToUsage(index), usage) << index;
  for (const auto& [usage, index] : {std::pair{0x00, 0}, {0x05, 5}, {0xDF, 0xDF}, {0xE0, 1}, {0xE7, 8}, {0xFF, 32}})
    EXPECT_EQ(ModifierUsageToIndex(uint8_t(usage)), index) << usage;
  for (int u = 0; u <= 0xFF; ++u) {
    const auto usage = static_cast<uint8_t>(u);
    const int index = ModifierUsageToIndex(usage);
    const bool roundTrips = index >= 0 && index < ModifierItemCount && ModifierIndexToUsage(index) == usage;
    EXPECT_EQ(IsListedModifierUsage(usage), roundTrips) << u;
  }
}

}  // namespace
}  // namespace pellix_usb_encoder
