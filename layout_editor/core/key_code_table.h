// The key code vocabulary shared by the main window and the layout editor.
//
// Every key of the jack module (Vol Up, Vol Down, Jack IN, Jack OUT) carries a pair of
// bytes from the Keyboard/Keypad usage page (0x07): a modifier usage, then a key usage.
// This header holds the two drop-down lists the editor offers for them, the mapping
// between a modifier's list position and its usage byte, and the hexadecimal label
// shown on the editor's buttons.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pellix_usb_encoder {

// Entries of the key code list: usages 0x00..0x81. An entry's position is its usage byte.
constexpr int KeyCodeItemCount = 130;
// Entries of the modifier list: " None" followed by the eight modifiers 0xE0..0xE7.
constexpr int ModifierItemCount = 9;

// The key code list texts, "0xHH" + blanks + name, for usages 0x00..0x81 in order.
// The blank runs are uneven on purpose (three blanks at 0x0A, 0x10, 0x1A and
// 0x7A..0x7D, four elsewhere); callers must show the texts as they are.
const std::vector<std::string>& KeyCodeItems();

// The modifier list texts, index 0 (" None") first, blank runs as displayed.
const std::vector<std::string>& ModifierItems();

// Modifier list index to modifier usage byte: 0 gives 0x00, 1..8 give 0xE0..0xE7
// (0xDF + index). Any index outside 0..8 gives 0x00, i.e. "no modifier", so a bad
// selection can never put an arbitrary byte into a table sent to the encoder.
uint8_t ModifierIndexToUsage(int index);

// Modifier usage byte to modifier list index: a byte of 0xE0 or above gives
// usage - 0xDF, a smaller byte is taken as the index unchanged (0x00 gives 0).
// Bytes other than 0x00 and 0xE0..0xE7 yield an index outside the modifier list;
// check IsListedModifierUsage first when that matters.
int ModifierUsageToIndex(uint8_t usage);

// True for the usages that have an entry in the modifier list: 0x00 and 0xE0..0xE7.
// A table read from the encoder may hold other bytes; windows use this to decide
// whether the byte can be shown as a list selection.
bool IsListedModifierUsage(uint8_t usage);

// The button label of a key usage: "0x" and two upper-case hex digits ("0x0F", "0xFF").
std::string CodeLabel(uint8_t usage);

}  // namespace pellix_usb_encoder
