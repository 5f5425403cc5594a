#include "layout_editor/core/key_code_table.h"

#include <gtest/gtest.h>

#include <set>

namespace pellix_usb_encoder {
namespace {

TEST(KeyCodeList, OneEntryPerUsageWithTheRightBlankRun) {
  const auto& items = KeyCodeItems();
  ASSERT_EQ(items.size(), 130u);
  ASSERT_EQ(static_cast<int>(items.size()), KeyCodeItemCount);
  const std::set<int> three = {0x0A, 0x10, 0x1A, 0x7A, 0x7B, 0x7C, 0x7D};
  for (int usage = 0; usage < KeyCodeItemCount; ++usage) {
    const std::string& text = items[usage];
    // Position is the usage byte, so a missing or doubled line shows up as a wrong prefix.
    EXPECT_EQ(text.substr(0, 4), CodeLabel(static_cast<uint8_t>(usage))) << text;
    const size_t name = text.find_first_not_of(' ', 4);
    ASSERT_NE(name, std::string::npos) << text;
    EXPECT_EQ(name - 4, three.count(usage) ? 3u : 4u) << text;
  }
}

TEST(KeyCodeList, ExactTexts) {
  const auto& items = KeyCodeItems();
  EXPECT_EQ(items[0x00], "0x00    Reserved");
  EXPECT_EQ(items[0x0A], "0x0A   g");
  EXPECT_EQ(items[0x10], "0x10   m");
  EXPECT_EQ(items[0x1A], "0x1A   w");
  EXPECT_EQ(items[0x27], "0x27    0");
  EXPECT_EQ(items[0x32], "0x32    VerticalBar");
  EXPECT_EQ(items[0x35], "0x35    Tilde");
  EXPECT_EQ(items[0x65], "0x65    WindowsKey");
  EXPECT_EQ(items[0x7A], "0x7A   Undo");
  EXPECT_EQ(items[0x7B], "0x7B   Cut");
  EXPECT_EQ(items[0x7C], "0x7C   Copy");
  EXPECT_EQ(items[0x7D], "0x7D   Paste");
  EXPECT_EQ(items[0x7E], "0x7E    Find");
  EXPECT_EQ(items.back(), "0x81    VolumeDown");
}

TEST(ModifierList, ExactTextsAndConversions) {
  const std::vector<std::string> expected = {
      " None",       "Left  Ctrl",  "Left Shift",   "Left    Alt", "Left   Gui",
      "Right  Ctrl", "Right Shift", "Right    Alt", "Right   Gui"};
  ASSERT_EQ(ModifierItems(), expected);
  EXPECT_EQ(static_cast<int>(ModifierItems().size()), ModifierItemCount);
  EXPECT_EQ(ModifierIndexToUsage(0), 0x00);  // never 0xDF
  EXPECT_EQ(ModifierIndexToUsage(1), 0xE0);
  EXPECT_EQ(ModifierIndexToUsage(8), 0xE7);
  EXPECT_EQ(ModifierItems()[ModifierUsageToIndex(0x00)], " None");
  EXPECT_EQ(ModifierItems()[ModifierUsageToIndex(0xE0)], "Left  Ctrl");
  EXPECT_EQ(ModifierItems()[ModifierUsageToIndex(0xE7)], "Right   Gui");
}

TEST(ModifierList, BytesAndIndicesOutsideTheList) {
  EXPECT_EQ(ModifierIndexToUsage(-1), 0x00);
  EXPECT_EQ(ModifierIndexToUsage(9), 0x00);
  // Smaller bytes pass through as the index; larger ones keep the 0xDF offset.
  EXPECT_EQ(ModifierUsageToIndex(0x05), 5);
  EXPECT_EQ(ModifierUsageToIndex(0xDF), 0xDF);
  EXPECT_EQ(ModifierUsageToIndex(0xE8), 9);
  EXPECT_EQ(ModifierUsageToIndex(0xFF), 32);
  // Listed exactly when the byte survives the trip through a list position.
  for (int u = 0; u <= 0xFF; ++u) {
    const auto usage = static_cast<uint8_t>(u);
    const int index = ModifierUsageToIndex(usage);
    const bool round_trips =
        index >= 0 && index < ModifierItemCount && ModifierIndexToUsage(index) == usage;
    EXPECT_EQ(IsListedModifierUsage(usage), round_trips) << u;
  }
}

TEST(CodeLabel, TwoUpperCaseHexDigits) {
  EXPECT_EQ(CodeLabel(0x00), "0x00");
  EXPECT_EQ(CodeLabel(0x0F), "0x0F");
  EXPECT_EQ(CodeLabel(0x10), "0x10");
  EXPECT_EQ(CodeLabel(0x81), "0x81");
  EXPECT_EQ(CodeLabel(0xFF), "0xFF");
}

}  // namespace
}  // namespace pellix_usb_encoder
