// The TI-TXT reader on files shaped like the ones toolchains write, on each kind of
// malformed file, on paths that are no image file at all; blocks. The library's readers
// built on it are exercised through the upgrade's tests.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/odd_files.h"
#include "loader/bsl430.h"
#include "loader/ti_txt.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Runs = std::vector<std::pair<uint32_t, Bytes>>;
namespace fs = std::filesystem;

TEST(TiTxt, ReadsTheShapesRealFilesCome) {
  const std::pair<const char*, Runs> cases[] = {
      // Upper case, CR LF, trailing blanks, an odd-length run, no line end after q.
      {"@4400\r\n31 40 00 24 \r\n0C 43 AA\r\n@FFFE\r\n00 44 \r\nq",
       {{0x4400, {0x31, 0x40, 0x00, 0x24, 0x0C, 0x43, 0xAA}}, {0xFFFE, {0x00, 0x44}}}},
      // Lower case, LF, tabs, empty lines, an address line without data, text after q.
      {"\n@abcd\n\n0a\tff 7e  \n@3000\n\nq\ngarbage @ZZ\n", {{0xABCD, {0x0A, 0xFF, 0x7E}}, {0x3000, {}}}},
      // A run continuing the previous one stays its own; runs may cross 0x10000 and reach 0xFFFFF.
      {"@FFFF\n01 02\n@10001\n03\n@FFFFF\nEE\nq\n", {{0xFFFF, {1, 2}}, {0x10001, {3}}, {0xFFFFF, {0xEE}}}},
      {"q", {}},
  };
  for (const auto& [text, runs] : cases) {
    TiTxtImage image;
    std::string error;
    Runs read;
    ASSERT_TRUE(TiTxtParse(text, image, error)) << text << error;
    for (const auto& run : image.runs) read.emplace_back(run.address, run.bytes);
    EXPECT_EQ(read, runs) << text;
  }
}

TEST(TiTxt, RefusesMalformedFilesNamingTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"@4400\n01 02\n", "no 'q' line at the end"},
      {"@4400\n01 02 0\nq\n", "line 2: '0' is not one byte (two hexadecimal digits)"},
      {"@4400\n0123456789ABCDEF0123\nq\n", "line 2: '0123456789ABCDEF...' is not one byte (two hexadecimal digits)"},
      {"@4400\n\n\n\n01 G2\nq\n", "line 5: 'G' is not a hexadecimal digit"},
      {"@4400\n01 0\x01\nq\n", "line 2: character 0x01 is not a hexadecimal digit"},
      {"\n\n01 02\n@4400\nq\n", "line 3: data before the first '@' address"},
      {"@4400\n01\n@100000\nq\n", "line 3: address 0x100000 is past 0xFFFFF"},
      {"@123456789ABC\nq\n", "line 1: address 0x123456789ABC is past 0xFFFFF"},
      {"@\nq\n", "line 1: '@' without an address"},
      {"@4400 01\nq\n", "line 1: text after the address"},
      {"@FFFFE\n01 02\n03\nq\n", "line 3: data past 0xFFFFF"},
      // Runs writing the same address, in either order in the file, named by the later line.
      {"@4400\n01 02 03\n@4402\n04\nq\n", "line 3: address 0x4402 is already in the run at line 1"},
      {"@4402\n04\n@4400\n01 02 03\nq\n", "line 3: address 0x4402 is already in the run at line 1"},
      {"@4400\n01 02 03 04 05 06 07 08 09\n@4500\n01\n@4408\n02\nq\n",
       "line 5: address 0x4408 is already in the run at line 1"},
  };
  for (const auto& [text, reason] : cases) {
    TiTxtImage image;
    image.runs.push_back({0x1234, {1}});  // must not survive a refusal
    std::string error;
    EXPECT_FALSE(TiTxtParse(text, image, error)) << text;
    EXPECT_EQ(error, reason) << text;
    EXPECT_TRUE(image.runs.empty());
  }
}

TEST(TiTxt, BlocksNeverSpanTwoRuns) {
  const Bytes first(1030, 0x11), second(3, 0x80);
  TiTxtImage image;
  image.runs = {{0x4400, first}, {0x4806, second}, {0x5000, {}}};
  // 1030 = 512 + 512 + 6; the next run follows on directly and still starts a block.
  const Runs expected{{0x4400, Bytes(512, 0x11)}, {0x4600, Bytes(512, 0x11)}, {0x4800, Bytes(6, 0x11)}, {0x4806, second}};
  Runs blocks;
  for (const auto& block : TiTxtBlocks(image, 512)) blocks.emplace_back(block.address, block.bytes);
  EXPECT_EQ(blocks, expected);
  EXPECT_EQ(TiTxtBlocks(image, 0).size(), 1033u);  // 0 is taken as 1, not "forever empty"
}

TEST(TiTxt, FileReaderRefusesWhatIsNotASmallRegularTiTxtFile) {
  const fs::path dir = fs::temp_directory_path() / "ti_txt_files";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string large = (dir / "large.txt").string(), limit = (dir / "limit.txt").string(),
                    missing = (dir / "missing.txt").string(), noQ = (dir / "no_q.txt").string();
  const std::string fifo = pellix_usb_encoder::test::MakeFifo((dir / "fifo.txt").string());  // nobody writes to it
  ASSERT_FALSE(fifo.empty());
  std::ofstream(large) << "@4400\n01\nq\n";
  fs::resize_file(large, 4 * 1024 * 1024 + 1);
  std::string text = "@FC00\n";  // a run crossing 0x10000, one continuing it
  for (int i = 0; i < 1500; ++i) text += "5A ";
  std::ofstream(limit) << text << "\n@101DC\n01 02\nq\n";
  fs::resize_file(limit, 4 * 1024 * 1024);  // zeros after "q" are not read as data
  std::ofstream(noQ) << "@4400\n01 02\n";
  const std::pair<std::string, std::string> cases[] = {
      {fifo, fifo + " is not a regular file"},
      {dir.string(), dir.string() + " is not a regular file"},
      {large, large + " is larger than 4 MiB; no firmware image is that large"},
      {missing, "cannot open " + missing},
      {noQ, "no 'q' line at the end"},
      {limit, ""},
  };
  for (const auto& [path, reason] : cases) {
    TiTxtImage image;
    std::string error;
    EXPECT_EQ(TiTxtParseFile(path, image, error), reason.empty()) << path;
    EXPECT_EQ(error, reason);
    EXPECT_EQ(BSL_openTI_TextForRead(const_cast<char*>(path.c_str())), reason.empty() ? 0 : -2) << path;
  }
  // The library's reader: blocks within runs, from the start when reopened, clamped.
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  for (int reads = 0; BSL_moreDataToRead_TextFile() && reads < 10; ++reads) {
    const DataBlock_ block = BSL_readTI_TextFile(512);
    blocks.emplace_back(block.startAddress, block.byteCount);
  }
  EXPECT_EQ(blocks, (decltype(blocks){{0xFC00, 512}, {0xFE00, 512}, {0x10000, 476}, {0x101DC, 2}}));
  ASSERT_EQ(BSL_openTI_TextForRead(const_cast<char*>(limit.c_str())), 0);
  EXPECT_EQ(BSL_readTI_TextFile(100000).byteCount, 1500u);
  BSL_closeTI_Text();
  EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);
  fs::remove_all(dir);
}

}  // namespace
