// TI-TXT reader. The parser is strict on purpose: an image that goes into the flash of
// the encoder is either read exactly as written or refused with the line at fault.
#include "loader/ti_txt.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/core/file_store.h"

namespace {

constexpr uint32_t kHighestAddress = 0xFFFFF;  // 20-bit MSP430X address space
// A file is read whole into memory; the largest part has 256 KiB of flash, which as
// TI-TXT is well under 1 MiB.
constexpr uint64_t kLargestFile = 4 * 1024 * 1024;
// A malformed data group is shown up to this many characters.
constexpr size_t kShownTokenDigits = 16;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string LinePrefix(size_t lineNumber) { return "line " + std::to_string(lineNumber) + ": "; }

// "'G'" for a printable character, "character 0x01" for anything else.
std::string NotHex(size_t lineNumber, char c) {
  const auto u = static_cast<unsigned char>(c);
  std::string shown;
  if (u >= 0x21 && u < 0x7F) {
    shown = std::string("'") + c + "'";
  } else {
    char hex[24];
    std::snprintf(hex, sizeof hex, "character 0x%02X", u);
    shown = hex;
  }
  return LinePrefix(lineNumber) + shown + " is not a hexadecimal digit";
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

// Parses the digits of an "@" line (the '@' already removed).
bool ParseAddress(std::string_view digits, size_t lineNumber, uint32_t& address,
                  std::string& error) {
  if (digits.empty()) {
    error = LinePrefix(lineNumber) + "'@' without an address";
    return false;
  }
  uint64_t value = 0;
  for (char c : digits) {
    if (IsBlank(c)) {
      error = LinePrefix(lineNumber) + "text after the address";
      return false;
    }
    const int v = HexValue(c);
    if (v < 0) {
      error = NotHex(lineNumber, c);
      return false;
    }
    // Saturate: anything past the address space is refused below either way.
    value = std::min<uint64_t>(value * 16 + static_cast<unsigned>(v), 0xFFFFFFFFull);
  }
  if (value > kHighestAddress) {
    std::string shown = value >= 0xFFFFFFFFull ? "0x" + std::string(digits)
                                               : Hex(static_cast<uint32_t>(value));
    error = LinePrefix(lineNumber) + "address " + shown + " is past 0xFFFFF";
    return false;
  }
  address = static_cast<uint32_t>(value);
  return true;
}

// Appends the bytes of one data line to `run`.
bool ParseData(std::string_view line, size_t lineNumber, TiTxtRun& run, std::string& error) {
  size_t i = 0;
  while (i < line.size()) {
    if (IsBlank(line[i])) {
      ++i;
      continue;
    }
    // One blank-separated group: normally one pair of digits.
    size_t end = i;
    while (end < line.size() && !IsBlank(line[end])) {
      if (HexValue(line[end]) < 0) {
        error = NotHex(lineNumber, line[end]);
        return false;
      }
      ++end;
    }
    // Exactly one byte per group: "0102" is not read as two bytes, since a file that
    // lost its blanks is as likely to have lost digits too.
    if (end - i != 2) {
      std::string_view token = line.substr(i, end - i);
      const bool cut = token.size() > kShownTokenDigits;
      if (cut) token = token.substr(0, kShownTokenDigits);
      error = LinePrefix(lineNumber) + "'" + std::string(token) + (cut ? "...'" : "'") +
              " is not one byte (two hexadecimal digits)";
      return false;
    }
    if (run.address + run.bytes.size() > kHighestAddress) {
      error = LinePrefix(lineNumber) + "data past 0xFFFFF";
      return false;
    }
    run.bytes.push_back(static_cast<uint8_t>(HexValue(line[i]) * 16 + HexValue(line[i + 1])));
    i = end;
  }
  return true;
}

// Refuses runs that write an address another run writes too: which of the two values
// would end up in flash depends on the order the loader is sent them, and a tool that
// wrote such a file has lost track of its layout. An "@" line without data still claims
// its address, so that the same address twice is refused as well.
bool CheckRunsApart(const TiTxtImage& image, const std::vector<size_t>& runLines,
                    std::string& error) {
  std::vector<size_t> order(image.runs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return image.runs[a].address < image.runs[b].address;
  });
  auto end = [&](size_t run) {
    return image.runs[run].address + std::max<uint64_t>(image.runs[run].bytes.size(), 1);
  };
  // The run reaching furthest among those starting lower: every earlier run ends at or
  // before it, so it is the only one a later start can collide with first.
  size_t furthest = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t run = order[k];
    if (k > 0 && image.runs[run].address < end(furthest)) {
      const size_t first = std::min(runLines[run], runLines[furthest]);
      const size_t second = std::max(runLines[run], runLines[furthest]);
      error = LinePrefix(second) + "address " + Hex(image.runs[run].address) +
              " is already in the run at line " + std::to_string(first);
      return false;
    }
    if (k == 0 || end(run) > end(furthest)) furthest = run;
  }
  return true;
}

}  // namespace

size_t TiTxtImage::ByteCount() const {
  size_t count = 0;
  for (const auto& run : runs) count += run.bytes.size();
  return count;
}

bool TiTxtParse(std::string_view text, TiTxtImage& image, std::string& error) {
  image.runs.clear();
  error.clear();
  TiTxtImage parsed;
  std::vector<size_t> runLines;  // the line of each run's "@"
  size_t lineNumber = 0;
  size_t position = 0;
  while (position < text.size()) {
    ++lineNumber;
    const size_t lineEnd = std::min(text.find('\n', position), text.size());
    const std::string_view line = Trim(text.substr(position, lineEnd - position));
    position = lineEnd + 1;

    if (line.empty()) continue;
    // The end marker: whatever follows it is not part of the image.
    if (line.front() == 'q' || line.front() == 'Q') {
      if (!CheckRunsApart(parsed, runLines, error)) return false;
      image = std::move(parsed);
      return true;
    }
    if (line.front() == '@') {
      TiTxtRun run;
      if (!ParseAddress(line.substr(1), lineNumber, run.address, error)) return false;
      parsed.runs.push_back(std::move(run));
      runLines.push_back(lineNumber);
      continue;
    }
    if (parsed.runs.empty()) {
      error = LinePrefix(lineNumber) + "data before the first '@' address";
      return false;
    }
    if (!ParseData(line, lineNumber, parsed.runs.back(), error)) return false;
  }
  error = "no 'q' line at the end";
  return false;
}

namespace {

std::string TooLarge(const std::string& path) {
  return path + " is larger than 4 MiB; no firmware image is that large";
}

}  // namespace

bool TiTxtParseFile(const std::string& path, TiTxtImage& image, std::string& error) {
  image.runs.clear();
  // The file store's reader never blocks on a FIFO or a pipe, never reads a device such
  // as /dev/zero without end, and stops at the size limit even for a file that grows.
  std::string contents, problem;
  switch (pellix_usb_encoder::ReadSmallFile(path, kLargestFile, contents, problem)) {
    case pellix_usb_encoder::ReadOutcome::Ok:
      return TiTxtParse(contents, image, error);
    case pellix_usb_encoder::ReadOutcome::Missing:
      error = "cannot open " + path;
      return false;
    case pellix_usb_encoder::ReadOutcome::NotRegular:
      error = path + " is not a regular file";
      return false;
    case pellix_usb_encoder::ReadOutcome::TooLarge:
      error = TooLarge(path);
      return false;
    case pellix_usb_encoder::ReadOutcome::Unreadable:
      break;
  }
  error = problem;
  return false;
}

std::vector<TiTxtBlock> TiTxtBlocks(const TiTxtImage& image, size_t maxBytes) {
  // A block of 0 bytes would never get anywhere; the smallest useful block is one byte.
  maxBytes = std::max<size_t>(maxBytes, 1);
  std::vector<TiTxtBlock> blocks;
  for (const auto& run : image.runs) {
    for (size_t offset = 0; offset < run.bytes.size(); offset += maxBytes) {
      const size_t count = std::min(maxBytes, run.bytes.size() - offset);
      TiTxtBlock block;
      block.address = run.address + static_cast<uint32_t>(offset);
      block.bytes.assign(run.bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                         run.bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
      blocks.push_back(std::move(block));
    }
  }
  return blocks;
}
