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
// blanks and a missing line end after "q". Refuses, with a reason in `error`, a text
// without "q", a digit pair cut short, a character that is not hexadecimal, data before
// the first "@", and addresses past 0xFFFFF.
bool TiTxtParse(std::string_view text, TiTxtImage& image, std::string& error);
// Reads and parses a file; a file that cannot be read is refused with a reason too.
bool TiTxtParseFile(const std::string& path, TiTxtImage& image, std::string& error);

// Cuts an image into blocks of at most maxBytes, each one contiguous run of one "@"
// run: a block never spans two runs.
struct TiTxtBlock {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};
std::vector<TiTxtBlock> TiTxtBlocks(const TiTxtImage& image, size_t maxBytes);
