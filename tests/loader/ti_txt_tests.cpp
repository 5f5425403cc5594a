// The TI-TXT reader on files shaped like the ones toolchains write, on each kind of
// malformed file and on paths that are no image file at all; blocks; the library's text
// and file readers built on it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "loader/bsl430.h"
#include "loader/ti_txt.h"

namespace {

using Bytes = std::vector<uint8_t>;

TiTxtImage Parse(const std::string& text) {
  TiTxtImage image;
  std::string error;
  EXPECT_TRUE(TiTxtParse(text, image, error)) << error;
  return image;
}

TEST(TiTxt, ReadsTheShapesRealFilesCome) {
  // Upper case, CR LF, trailing blanks, an odd-length run, no line end after q.
  auto image = Parse("@4400\r\n31 40 00 24 B0 13 \r\n0C 43 AA\r\n@FFFE\r\n00 44 \r\nq");
  ASSERT_EQ(image.runs.size(), 2u);
  EXPECT_EQ(image.runs[0].address, 0x4400u);
  EXPECT_EQ(image.runs[0].bytes, (Bytes{0x31, 0x40, 0x00, 0x24, 0xB0, 0x13, 0x0C, 0x43, 0xAA}));
  EXPECT_EQ(image.runs[1].address, 0xFFFEu);
  EXPECT_EQ(image.ByteCount(), 11u);

  // Lower case, LF, tabs, empty lines, an address line without data, text after q.
  image = Parse("\n@abcd\n\n0a\tff 7e  \n@3000\n\nq\ngarbage @ZZ\n");
  ASSERT_EQ(image.runs.size(), 2u);
  EXPECT_EQ(image.runs[0].address, 0xABCDu);
  EXPECT_EQ(image.runs[0].bytes, (Bytes{0x0A, 0xFF, 0x7E}));
  EXPECT_TRUE(image.runs[1].bytes.empty());

  // A run continuing exactly where the previous ended stays a run of its own; one run
  // may cross 0x10000; the highest address holds a byte.
  image = Parse("@FFFE\n01 02\n@10000\n03 04 05\n@FFFFF\nEE\nq\n");
  ASSERT_EQ(image.runs.size(), 3u);
  EXPECT_EQ(image.runs[1].address, 0x10000u);
  EXPECT_EQ(Parse("@FFFF\n01 02 03\nq").runs[0].bytes.size(), 3u);

  EXPECT_TRUE(Parse("q").runs.empty());  // valid and empty
}

TEST(TiTxt, RefusesMalformedFilesNamingTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"@4400\n01 02\n", "no 'q' line at the end"},
      {"", "no 'q' line at the end"},
      {"@4400\r\n01 02\r\n0102 0304\r\nq\r\n", "line 3: '0102' is not one byte (two hexadecimal digits)"},
      {"@4400\n01 02 0\nq\n", "line 2: '0' is not one byte (two hexadecimal digits)"},
      {"@4400\n0123456789ABCDEF0123\nq\n",
       "line 2: '0123456789ABCDEF...' is not one byte (two hexadecimal digits)"},
      {"@4400\n\n\n\n01 G2\nq\n", "line 5: 'G' is not a hexadecimal digit"},
      {"@4400\n01 0\x01\nq\n", "line 2: character 0x01 is not a hexadecimal digit"},
      {"@44O0\nq\n", "line 1: 'O' is not a hexadecimal digit"},
      {"\n\n01 02\n@4400\nq\n", "line 3: data before the first '@' address"},
      {"@4400\n01\n@100000\nq\n", "line 3: address 0x100000 is past 0xFFFFF"},
      {"@123456789ABC\nq\n", "line 1: address 0x123456789ABC is past 0xFFFFF"},
      {"@\nq\n", "line 1: '@' without an address"},
      {"@4400 01\nq\n", "line 1: text after the address"},
      {"@FFFFE\n01 02\n03\nq\n", "line 3: data past 0xFFFFF"},
      // Runs writing the same address, in either order in the file, named by the later line.
      {"@4400\n01 02 03\n@4402\n04\nq\n", "line 3: address 0x4402 is already in the run at line 1"},
      {"@4402\n04\n@4400\n01 02 03\nq\n", "line 3: address 0x4402 is already in the run at line 1"},
      {"@4400\n@4400\n01\nq\n", "line 2: address 0x4400 is already in the run at line 1"},
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
  TiTxtImage image;
  Bytes first(1030);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 7);
  image.runs = {{0x4400, first}, {0x4806, Bytes(3, 0x80)}, {0x5000, {}}};
  const auto blocks = TiTxtBlocks(image, 512);
  // 1030 = 512 + 512 + 6; the next run follows on directly and still starts a block.
  const std::vector<std::pair<uint32_t, size_t>> expected{
      {0x4400, 512}, {0x4600, 512}, {0x4800, 6}, {0x4806, 3}};
  ASSERT_EQ(blocks.size(), expected.size());
  Bytes joined;
  for (size_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i].address, expected[i].first) << i;
    EXPECT_EQ(blocks[i].bytes.size(), expected[i].second) << i;
    if (i < 3) joined.insert(joined.end(), blocks[i].bytes.begin(), blocks[i].bytes.end());
  }
  EXPECT_EQ(joined, first);
  EXPECT_EQ(TiTxtBlocks(image, 0).size(), 1033u);  // 0 is taken as 1, not "forever empty"
}

TEST(TiTxt, LibraryReadersHandOutBlocks) {
  std::string password = "@FFE0\r\n";
  for (int i = 0; i < 32; ++i) password += "A" + std::to_string(i % 10) + " ";
  password += "\r\nq";
  DataBlock_ block = BSL_readTI_Text(password.data(), 32);
  EXPECT_EQ(block.startAddress, 0xFFE0u);
  ASSERT_EQ(block.byteCount, 32u);
  EXPECT_EQ(block.bytes[31], 0xA1);
  EXPECT_EQ(BSL_readTI_Text(password.data(), 10).byteCount, 10u);
  std::string broken = "@FFE0\nA0 A\nq\n";
  EXPECT_EQ(BSL_readTI_Text(broken.data(), 32).byteCount, 0u);

  // The file reader: a run crossing 0x10000 and one continuing it, read in blocks of
  // 512 as the erase does; nothing spans the two runs.
  std::string path = (std::filesystem::temp_directory_path() / "ti_txt_reader.txt").string();
  {
    std::ofstream file(path, std::ios::binary);
    file << "@FC00\r\n";
    for (int i = 0; i < 1500; ++i) file << "5A" << (i % 16 == 15 ? "\r\n" : " ");
    file << "\r\n@101DC\r\n01 02\r\nq";
  }
  ASSERT_EQ(BSL_openTI_TextForRead(path.data()), 0);
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  while (BSL_moreDataToRead_TextFile() && blocks.size() < 10) {
    block = BSL_readTI_TextFile(512);
    blocks.emplace_back(block.startAddress, block.byteCount);
  }
  EXPECT_EQ(blocks, (std::vector<std::pair<uint32_t, uint32_t>>{
                        {0xFC00, 512}, {0xFE00, 512}, {0x10000, 476}, {0x101DC, 2}}));
  // Reopening starts over; sizes past the record are clamped to it; closing drops the rest.
  ASSERT_EQ(BSL_openTI_TextForRead(path.data()), 0);
  EXPECT_EQ(BSL_readTI_TextFile(100000).byteCount, 1500u);
  BSL_closeTI_Text();
  EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);

  std::ofstream(path, std::ios::binary) << "@4400\n01 02\n";  // no q
  EXPECT_EQ(BSL_openTI_TextForRead(path.data()), -2);
  EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);
  std::filesystem::remove(path);
}

TEST(TiTxt, FileReaderRefusesWhatIsNotASmallRegularFile) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "ti_txt_files";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string fifo = (dir / "fifo.txt").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // would block on open: nobody writes to it
  const std::string large = (dir / "large.txt").string();
  std::ofstream(large) << "@4400\n01\nq\n";
  fs::resize_file(large, 4 * 1024 * 1024 + 1);
  const std::string limit = (dir / "limit.txt").string();
  std::ofstream(limit) << "@4400\n01\nq\n";
  fs::resize_file(limit, 4 * 1024 * 1024);  // zeros after "q" are not read as data
  const std::string missing = (dir / "missing.txt").string();

  const std::pair<std::string, std::string> cases[] = {
      {fifo, fifo + " is not a regular file"},
      {"/dev/zero", "/dev/zero is not a regular file"},
      {dir.string(), dir.string() + " is not a regular file"},
      {large, large + " is larger than 4 MiB; no firmware image is that large"},
      {missing, "cannot open " + missing},
      {limit, ""},
  };
  for (const auto& [path, reason] : cases) {
    TiTxtImage image;
    std::string error;
    EXPECT_EQ(TiTxtParseFile(path, image, error), reason.empty()) << path;
    EXPECT_EQ(error, reason);
    char* name = const_cast<char*>(path.c_str());
    EXPECT_EQ(BSL_openTI_TextForRead(name), reason.empty() ? 0 : -2) << path;
  }
  BSL_closeTI_Text();
  fs::remove_all(dir);
}

}  // namespace
