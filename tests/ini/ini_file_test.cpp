// The configuration file: parsing, writing back, and what the file system can refuse.
#include "support/core/ini_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include "common/odd_files.h"
#include "support/core/file_store.h"

namespace pellix_usb_encoder {
namespace {

namespace fs = std::filesystem;
using Ini = CIniFile;
using namespace std::string_literals;

class IniTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("ini_test_" + std::to_string(std::random_device()()));
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
  }
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
    EXPECT_TRUE(Ini::Load(path, c) && Ini::Save(path, c));
    return Read(path);
  }
};

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
  EXPECT_TRUE(Ini::RecordExists("url", " My Sec ", f));
  EXPECT_FALSE(Ini::RecordExists("url", "Empty", f) || Ini::SectionExists("My Sec", f));
  // A byte-order mark before the first line is passed over.
  EXPECT_EQ(Ini::GetValue("FirstUp", "appSettings", Write("bom.ini", "\xEF\xBB\xBF[appSettings]\r\nFirstUp=Yes\r\n")), "Yes");
}

TEST_F(IniTest, SectionWithoutCloseBracketThrowsAndChangesNothing) {
  for (const char* text : {"[Good]\na=1\n[Bad\n", "a=1\n# [Bad\n"}) {
    const std::string f = Write("u.ini", text);
    Ini::content c;
    EXPECT_THROW(Ini::Load(f, c), std::out_of_range);
    EXPECT_TRUE(c.empty());
    EXPECT_THROW(Ini::GetValue("a", "Good", f), std::out_of_range);
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
  ASSERT_TRUE(Ini::SetValue("a", "2", "s", f) && Ini::SetValue("b", "3", "", f));
  EXPECT_EQ(Read(f), "garbage here\n [s]\n=x\n a=2\n#tail [t]\n; end\n []\n b=3\n");
  const std::string g = Write("m.ini", "; c1\n[s]\r\n#k = v \n\t;x=[y]\n[s]\n");
  EXPECT_EQ(Rewrite(g), "; c1\n [s]\n#k = v\n;x=[y]\n [s]\n");
}

TEST_F(IniTest, SetValuePlacesChangesAndKeepsComments) {
  const std::string n = (dir / "n.ini").string();
  ASSERT_TRUE(Ini::Create(n) && Ini::AddSection("appSettings", n));
  ASSERT_TRUE(Ini::SetValue("A", "1", "appSettings", n) && Ini::SetValue("B", "2", "appSettings", n));
  EXPECT_EQ(Read(n), " [appSettings]\n B=2\n A=1\n");
  const std::string f = Write("s.ini", "[one]\nx=1\n[two]\n# why\n;k=old\nk=dup\n");
  ASSERT_TRUE(Ini::SetValue("y", "2", "one", f));   // new key: right under the header
  ASSERT_TRUE(Ini::SetValue("k", "new", "two", f));  // first of two, stays commented out
  ASSERT_TRUE(Ini::SetValue("z", "3", "three", f));  // new section: at the end
  ASSERT_TRUE(Ini::AddSection("one", f));            // appended even though it exists
  EXPECT_EQ(Read(f), " [one]\n y=2\n x=1\n [two]\n# why\n;k=new\n k=dup\n [three]\n z=3\n [one]\n");
}

// Missing files, folders, FIFOs, devices and oversized files are not read, nor changed.
TEST_F(IniTest, FilesThatCannotBeReadAnswerEmptyAndRefuseChanges) {
  fs::create_directory(dir / "folder");
  const fs::path fifo = test::MakeFifo((dir / "fifo.ini").string()), device = test::EndlessDevice();
  ASSERT_FALSE(fifo.empty());
  const std::string big = Write("big.ini", " [s]\n k=" + std::string(MaxConfigFileBytes, 'v') + "\n");
  for (const fs::path& p : {dir / "missing.ini", dir / "folder", fifo, device, fs::path(big)}) {
    const std::string f = p.string();
    Ini::content c{{"", ' ', "s", "", ""}};
    EXPECT_FALSE(Ini::Load(f, c)) << f;
    EXPECT_TRUE(c.empty());
    EXPECT_EQ(Ini::GetValue("k", "s", f), "");
    EXPECT_TRUE(Ini::SectionExists("s", f) && Ini::RecordExists("k", "s", f));
    EXPECT_FALSE(Ini::SetValue("k", "v", "s", f) || Ini::AddSection("s", f)) << f;
  }
  EXPECT_FALSE(fs::exists(dir / "missing.ini"));
}

// A symbolic link where a file is to be written is refused, never followed: each writer
// leaves the link, and what it points to (a file, nothing, a folder), as they were. The
// folders on the way may be links.
TEST_F(IniTest, SymbolicLinksWhereAFileGoesAreRefusedAndLeftAlone) {
  const std::string victim = Write("victim.ini", " [s]\n a=1\n");
  fs::create_directory(dir / "real");
  std::error_code linkError;
  fs::create_directory_symlink(dir / "real", dir / "linked", linkError);
  // Windows lets only administrators (or developer mode) make links.
  if (linkError) GTEST_SKIP() << "this system does not let the test make symbolic links: " << linkError.message();
  const std::pair<std::string, fs::path> links[] = {
      {"to-file.ini", victim}, {"dangling.ini", dir / "missing.ini"}, {"to-folder", dir / "real"}};
  for (const auto& [name, to] : links) fs::create_symlink(to, dir / name);
  using Writer = std::function<bool(const std::string& path, std::string& problem)>;
  const std::pair<const char*, Writer> writers[] = {
      {"replace", [](const std::string& path, std::string& problem) { return WriteFileAtomically(path, " a=2\n", problem); }},
      {"log", [](const std::string& path, std::string& problem) { LogFile log; return log.Open(path, problem) && log.Append("x"); }},
      {"set", [](const std::string& path, std::string& problem) { return problem = "-", Ini::SetValue("a", "2", "s", path); }},
  };
  for (const auto& [what, write] : writers) {
    for (const auto& [name, to] : links) {
      const std::string path = (dir / name).string();
      std::string problem;
      EXPECT_FALSE(write(path, problem)) << what << " " << name;
      if (problem != "-") {
        EXPECT_EQ(problem, path + " is a symbolic link, and the program writes only regular files of its own: it has left the "
                                  "link and the file it points to as they were. Remove the link, or choose another file name.");
      }
      EXPECT_EQ(fs::read_symlink(path), to) << what << " " << name;
    }
  }
  EXPECT_EQ(Read(victim), " [s]\n a=1\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "missing.ini")));
  EXPECT_TRUE(fs::is_empty(dir / "real"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 6);  // no temporaries either
  std::string problem;
  ASSERT_TRUE(WriteFileAtomically((dir / "linked" / "x.ini").string(), " a=3\n", problem)) << problem;
  EXPECT_EQ(Read((dir / "real" / "x.ini").string()), " a=3\n");
}

// What the user's permissions allow, checked as an unprivileged user: a read-only file
// stays as it is; a writable file in a read-only folder is rewritten in place.
TEST_F(IniTest, ReadOnlyFilesStayAndReadOnlyFoldersStillTakeChanges) {
  const std::string readOnly = Write("ro.ini", " [s]\n a=1\n");
  const std::string writable = Write("rw.ini", " [s]\n a=1\n");
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // Each check is one bit of the child's exit status.
#ifdef _WIN32
  // On Windows the read-only attribute is the file's permission, for every user; a
  // folder's read-only attribute does not stop new files, so there is no folder case.
  EXPECT_FALSE(Ini::SetValue("a", "2", "s", readOnly));
  EXPECT_EQ(Read(readOnly), " [s]\n a=1\n");
  EXPECT_TRUE(Ini::SetValue("a", "2", "s", writable) && Ini::GetValue("a", "s", writable) == "2");
  std::string problem;
  EXPECT_FALSE(WriteFileAtomically(readOnly, "x", problem));
  EXPECT_EQ(problem, readOnly + " is read-only");
  fs::permissions(readOnly, fs::perms::owner_write, fs::perm_options::add);
#else
  const auto checks = [&]() -> int {
    int failed = 0;
    if (Ini::SetValue("a", "2", "s", readOnly) || Read(readOnly) != " [s]\n a=1\n") failed |= 1;
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    if (!Ini::SetValue("a", "2", "s", writable) || Ini::GetValue("a", "s", writable) != "2") failed |= 2;
    if (Ini::Create((dir / "new.ini").string()) || fs::exists(dir / "new.ini")) failed |= 4;
    fs::permissions(dir, fs::perms::owner_all);
    return failed;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(checks(), 0);
    return;
  }
  // As root every file is writable: the checks run in a child as "nobody".
  const uid_t nobody = 65534;
  for (const auto& f : {dir.string(), readOnly, writable}) ASSERT_EQ(chown(f.c_str(), nobody, nobody), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(100);
    _exit(checks());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot become the unprivileged user nobody here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed checks (bits): " << WEXITSTATUS(status);
#endif
}

// The whole file or nothing: no folder, a folder in the way, a full disk leave no trace.
TEST_F(IniTest, SaveReplacesWholeFileOrNothing) {
  const std::string f = Write("keep.ini", " [s]\n a=1\n");
  const auto rw = fs::perms::owner_read | fs::perms::owner_write;
  fs::permissions(f, rw);
  const Ini::content next{{"", ' ', "s", "a", "2"}};
  ASSERT_TRUE(Ini::Save(f, next));
  EXPECT_EQ(Read(f), " a=2\n");
#ifdef _WIN32
  EXPECT_NE(fs::status(f).permissions() & fs::perms::owner_write, fs::perms::none);  // not made read-only
#else
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, rw);
#endif
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(Ini::Save((dir / "no" / "x.ini").string(), next) || Ini::Save((dir / "sub").string(), next));
  EXPECT_TRUE(fs::is_directory(dir / "sub") && fs::is_empty(dir / "sub"));
#ifdef _WIN32
  GTEST_SKIP() << "a full disk is made with a file size limit, which Windows does not have";
#else
  // A full disk, made by a file size limit.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit small{64, old.rlim_max};
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = Ini::Save(f, {{"", ' ', "s", "a", std::string(100000, 'v')}});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(saved);
  EXPECT_EQ(Read(f), " a=2\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);  // keep.ini, sub
#endif
}

// Writers changing different keys of one file at once, as two instances saving do.
TEST_F(IniTest, WritersTakeTurnsAndLoseNoUpdate) {
  const std::string file = Write("cfg.ini", " [s]\n");
  constexpr int Writers = 4, Rounds = 30;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int w = 0; w < Writers; ++w)
    threads.emplace_back([&, w] {
      const std::string key = "k" + std::to_string(w);
      for (int r = 0; r < Rounds; ++r)
        if (!Ini::SetValues({{key, std::to_string(r)}, {key + "b", std::to_string(r)}}, "s", file)) ++failures;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  for (int w = 0; w < Writers; ++w)
    for (const char* suffix : {"", "b"})
      EXPECT_EQ(Ini::GetValue("k" + std::to_string(w) + suffix, "s", file), std::to_string(Rounds - 1));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no leftovers
}

#ifdef _WIN32
// Windows lets an open handle stand in the way of a replacement. Our own handles (a
// reader, a waiting lock) share deletion and never do; another program's handle that
// does not is waited for a moment, then reported, and the file stays whole.
TEST_F(IniTest, WindowsReplacesFilesOthersHoldOpenOrSaysWhy) {
  const std::string file = Write("cfg.ini", " [s]\n a=1\n");
  const std::wstring name = fs::path(file).wstring();
  HANDLE shared = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(shared, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Ini::SetValue("a", "2", "s", file));  // past the reader's handle and its own lock's
  CloseHandle(shared);
  EXPECT_EQ(Ini::GetValue("a", "s", file), "2");
  HANDLE exclusive = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  std::string problem;
  EXPECT_FALSE(WriteFileAtomically(file, " [s]\n a=3\n", problem));
  EXPECT_NE(problem.find("another program has the file open; close it and try again"), std::string::npos) << problem;
  CloseHandle(exclusive);
  EXPECT_EQ(Read(file), " [s]\n a=2\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporaries or backups
  EXPECT_TRUE(WriteFileAtomically(file, " [s]\n a=4\n", problem)) << problem;
}
#endif

}  // namespace
}  // namespace pellix_usb_encoder
