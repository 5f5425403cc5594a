#include "support/core/ini_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace pellix_usb_encoder {
namespace {

namespace fs = std::filesystem;
using Ini = CIniFile;
using namespace std::string_literals;

// Every test works in a folder of its own, removed afterwards.
class IniTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() /
                 ("ini_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                  "_" + std::to_string(std::random_device()()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }

  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  }
  static std::string Read(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
  }
  // Records as "comments|mark|section|key|value" lines.
  static std::string Dump(const std::string& path) {
    Ini::content c;
    EXPECT_TRUE(Ini::Load(path, c));
    std::string out;
    for (const auto& r : c) out += r.Comments + "|" + r.CommentMark + "|" + r.Section + "|" + r.Key + "|" + r.Value + "\n";
    return out;
  }
  // Loads and saves the file in place; returns what it then holds.
  static std::string Rewrite(const std::string& path) {
    Ini::content c;
    EXPECT_TRUE(Ini::Load(path, c));
    EXPECT_TRUE(Ini::Save(path, c));
    return Read(path);
  }
};

TEST(IniTrim, EachDirection) {
  std::string both = " \tab c\t ", start = both, end = both, all = "\t \t";
  Trim(both, " \t", 0), Trim(start, " \t", 1), Trim(end, " \t", 2), Trim(all, " \t", 0);
  EXPECT_EQ(both + "|" + start + "|" + end + "|" + all, "ab c|ab c\t | \tab c|");
}

TEST_F(IniTest, ParsesLinesOfEveryKind) {
  EXPECT_EQ(Dump(Write("e.ini", " \n\t\r\n\n")), "");
  const std::string f = Write("a.ini",
                              "top=0\r\n\t [ My Sec ] \t\r\n; a note\r\n#old = 1\r\n;  url=http://x/?a=b\r\n"
                              "k = v=w\r\nk=second\r\ne=\r\n FirmwareFile=/u/fw [v2].txt\n Path=a[b\n"
                              "# see [notes]\n#[Old]x\n[Empty]");
  EXPECT_EQ(Dump(f),
            "| ||top|0\n| | My Sec ||\n; a note\n|#| My Sec |old | 1\n|;| My Sec |url|http://x/?a=b\n"
            "| | My Sec |k | v=w\n| | My Sec |k|second\n| | My Sec |e|\n| | My Sec |FirmwareFile|/u/fw [v2].txt\n"
            "| | My Sec |Path|a[b\n# see [notes]\n|#|Old||\n| |Empty||\n");
  EXPECT_EQ(Ini::GetValue("k", " My Sec ", f), "second");
  EXPECT_EQ(Ini::GetValue("old ", " My Sec ", f), " 1");
  EXPECT_EQ(Ini::GetValue("e", " My Sec ", f), Ini::GetValue("nope", " My Sec ", f));
  EXPECT_TRUE(Ini::RecordExists("url", " My Sec ", f));
  EXPECT_FALSE(Ini::RecordExists("url", "Empty", f));
  EXPECT_FALSE(Ini::SectionExists("My Sec", f));
  EXPECT_EQ(Ini::GetRecord("old ", " My Sec ", f).size(), 1u);
}

TEST_F(IniTest, SectionWithoutCloseBracketThrowsFromEveryOperation) {
  for (const char* text : {"[Good]\na=1\n[Bad\n", "a=1\n# [Bad\n"}) {
    const std::string f = Write("u.ini", text);
    Ini::content c;
    EXPECT_THROW(Ini::Load(f, c), std::out_of_range);
    EXPECT_TRUE(c.empty());
    EXPECT_THROW(Ini::GetValue("a", "Good", f), std::out_of_range);
    EXPECT_THROW(Ini::SectionExists("Good", f), std::out_of_range);
    EXPECT_THROW(Ini::RecordExists("a", "Good", f), std::out_of_range);
    EXPECT_THROW(Ini::SetValue("a", "2", "Good", f), std::out_of_range);
    EXPECT_THROW(Ini::AddSection("S", f), std::out_of_range);
    EXPECT_EQ(Read(f), text);
  }
}

TEST_F(IniTest, StrayAndTrailingLinesSurviveWriteBack) {
  const std::string f = Write("t.ini", "garbage here\n[s]\n=x\n a=1\n#tail [t]\n  ; end  \n");
  EXPECT_EQ(Dump(f), "garbage here\n| |s||\n=x\n| |s|a|1\n#tail [t]\n; end\n|\0|||\n"s);
  const std::string saved = "garbage here\n [s]\n=x\n a=1\n#tail [t]\n; end\n";
  EXPECT_EQ(Rewrite(f), saved);
  EXPECT_EQ(Rewrite(f), saved);
  // The trailer answers no query.
  EXPECT_FALSE(Ini::SectionExists("", f));
  EXPECT_TRUE(Ini::GetRecord("", "", f).empty());
  ASSERT_TRUE(Ini::SetValue("a", "2", "s", f));
  ASSERT_TRUE(Ini::SetValue("b", "3", "", f));
  EXPECT_EQ(Read(f), "garbage here\n [s]\n=x\n a=2\n#tail [t]\n; end\n []\n b=3\n");
  EXPECT_EQ(Rewrite(Write("c.ini", "# one\n; two\n")), "# one\n; two\n");
}

TEST_F(IniTest, WrittenFilesReadBackByteForByte) {
  const std::string f = (dir / "n.ini").string();
  ASSERT_TRUE(Ini::Create(f));
  EXPECT_EQ(Read(f), "");
  ASSERT_TRUE(Ini::AddSection("appSettings", f));
  ASSERT_TRUE(Ini::SetValue("A", "1", "appSettings", f));
  ASSERT_TRUE(Ini::SetValue("B", "2", "appSettings", f));
  EXPECT_EQ(Read(f), " [appSettings]\n B=2\n A=1\n");
  EXPECT_EQ(Rewrite(f), " [appSettings]\n B=2\n A=1\n");
  const std::string g = Write("m.ini", "; c1\n[s]\r\n#k = v \n\t;x=[y]\n[s]\n");
  EXPECT_EQ(Rewrite(g), "; c1\n [s]\n#k = v\n;x=[y]\n [s]\n");
  EXPECT_EQ(Rewrite(g), "; c1\n [s]\n#k = v\n;x=[y]\n [s]\n");
}

TEST_F(IniTest, SetValuePlacesChangesAndKeepsComments) {
  const std::string f = Write("s.ini", "[one]\nx=1\n[two]\n# why\n;k=old\nk=dup\n");
  ASSERT_TRUE(Ini::SetValue("y", "2", "one", f));   // new key: right under the header
  ASSERT_TRUE(Ini::SetValue("k", "new", "two", f));  // first of two, stays commented out
  ASSERT_TRUE(Ini::SetValue("z", "3", "three", f));  // new section: at the end
  ASSERT_TRUE(Ini::AddSection("one", f));            // appended even though it exists
  EXPECT_EQ(Read(f), " [one]\n y=2\n x=1\n [two]\n# why\n;k=new\n k=dup\n [three]\n z=3\n [one]\n");
}

TEST_F(IniTest, UnreadableFileAnswersEmptyAndRefusesChanges) {
  fs::create_directory(dir / "folder");
  for (const fs::path& p : {dir / "missing.ini", dir / "folder"}) {
    const std::string f = p.string();
    Ini::content c{{"", ' ', "s", "", ""}};
    EXPECT_FALSE(Ini::Load(f, c));
    EXPECT_TRUE(c.empty());
    EXPECT_EQ(Ini::GetValue("k", "s", f), "");
    EXPECT_TRUE(Ini::GetRecord("k", "s", f).empty());
    EXPECT_TRUE(Ini::SectionExists("s", f) && Ini::RecordExists("k", "s", f));
    EXPECT_FALSE(Ini::SetValue("k", "v", "s", f) || Ini::AddSection("s", f));
  }
  EXPECT_FALSE(fs::exists(dir / "missing.ini"));
}

TEST_F(IniTest, SaveReplacesWholeFileOrNothing) {
  const std::string f = Write("keep.ini", " [s]\n a=1\n");
  const auto rw = fs::perms::owner_read | fs::perms::owner_write;
  fs::permissions(f, rw);
  const Ini::content next{{"", ' ', "s", "a", "2"}};
  ASSERT_TRUE(Ini::Save(f, next));
  EXPECT_EQ(Read(f), " a=2\n");
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, rw);
  // Neither a missing folder nor a directory in the way can be written, even as root.
  EXPECT_FALSE(Ini::Save((dir / "no" / "x.ini").string(), next));
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(Ini::Save((dir / "sub").string(), next));
  EXPECT_TRUE(fs::is_directory(dir / "sub") && fs::is_empty(dir / "sub"));
#if defined(__unix__)
  // A full disk, made by a file size limit: the old file stays, no temporary is left.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 64;
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = Ini::Save(f, {{"", ' ', "s", "a", std::string(100000, 'v')}});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(saved);
  EXPECT_EQ(Read(f), " a=2\n");
#endif
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);  // keep.ini, sub
}

}  // namespace
}  // namespace pellix_usb_encoder
