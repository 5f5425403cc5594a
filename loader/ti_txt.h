// The TI-TXT image format: "@ADDR" lines start a run at a hexadecimal address, data
// lines hold bytes as two hexadecimal digits separated by blanks, "q" ends the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One run of consecutive addresses, as one "@" line and the data lines after it.
struct TiTxtRun {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

struct TiTxtImage {
  std::vector<TiTxtRun> runs;
  size_t ByteCount() const;
};

// Parses a whole image. Accepts either letter case, CR LF or LF line ends, trailing
// blanks and a missing line end after "q". Refuses, with a reason in `error` naming the
// line, a text without "q", a data group that is not exactly two hexadecimal digits, a
// character that is not hexadecimal, data before the first "@", addresses past 0xFFFFF,
// and two runs writing the same address.
bool TiTxtParse(std::string_view text, TiTxtImage& image, std::string& error);
// Reads and parses a file. `path` is handed to the system as it is (its bytes, UTF-8 on
// Linux). Refuses, with a reason, a file that cannot be read, anything but a regular
// file (looked at before opening, so that a FIFO does not block) and a file larger than
// 4 MiB.
bool TiTxtParseFile(const std::string& path, TiTxtImage& image, std::string& error);

// Cuts an image into blocks of at most maxBytes, each one contiguous run of one "@"
// run: a block never spans two runs.
struct TiTxtBlock {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};
std::vector<TiTxtBlock> TiTxtBlocks(const TiTxtImage& image, size_t maxBytes);
