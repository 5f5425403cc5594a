// The configuration file under pressure: two writers at once, the user's permissions,
// and names that are not regular files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/core/file_store.h"
#include "support/core/ini_file.h"

namespace pellix_usb_encoder {
namespace {

namespace fs = std::filesystem;
using Ini = CIniFile;

std::string Read(const fs::path& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

class FileStoreTest : public ::testing::Test {
 protected:
  fs::path dir = fs::temp_directory_path() / ("file_store_test_" + std::to_string(std::random_device()()));
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
};

// Several writers changing different keys of one file at the same time, as two running
// instances saving do: every update lands.
TEST_F(FileStoreTest, WritersTakeTurnsAndLoseNoUpdate) {
  const std::string file = Write("cfg.ini", " [s]\n");
  constexpr int Writers = 4, Rounds = 30;
  std::vector<std::thread> threads;
  std::vector<bool> allSaved(Writers, true);
  for (int w = 0; w < Writers; ++w) {
    threads.emplace_back([&, w] {
      for (int r = 0; r < Rounds; ++r) {
        const std::string key = "k" + std::to_string(w);
        bool saved = Ini::SetValues({{key, std::to_string(r)}, {key + "b", std::to_string(r)}}, "s", file);
        if (!saved) allSaved[size_t(w)] = false;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int w = 0; w < Writers; ++w) {
    EXPECT_TRUE(allSaved[size_t(w)]);
    EXPECT_EQ(Ini::GetValue("k" + std::to_string(w), "s", file), std::to_string(Rounds - 1));
    EXPECT_EQ(Ini::GetValue("k" + std::to_string(w) + "b", "s", file), std::to_string(Rounds - 1));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no leftovers
}

// What the user's permissions allow, checked as an unprivileged user: a read-only file
// stays as it is; a writable file in a read-only folder is rewritten in place.
TEST_F(FileStoreTest, ReadOnlyFilesStayAndReadOnlyFoldersStillTakeChanges) {
  const std::string readOnly = Write("ro.ini", " [s]\n a=1\n");
  const std::string writable = Write("rw.ini", " [s]\n a=1\n");
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

  // Each check is one bit of the child's exit status.
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
  ASSERT_EQ(chown(dir.c_str(), nobody, nobody), 0);
  for (const auto& f : {readOnly, writable}) ASSERT_EQ(chown(f.c_str(), nobody, nobody), 0);
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
}

// Only small regular files are read: a FIFO would block, /dev/zero never ends. A
// byte-order mark before the first line is passed over.
TEST_F(FileStoreTest, OnlySmallRegularFilesAreRead) {
  ASSERT_EQ(mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
  const std::string big = Write("big.ini", " [s]\n a=" + std::string(MaxConfigFileBytes, 'v') + "\n");
  Ini::content records;
  std::string contents, problem;
  EXPECT_FALSE(Ini::Load((dir / "fifo.ini").string(), records));
  EXPECT_EQ(ReadSmallFile((dir / "fifo.ini").string(), MaxConfigFileBytes, contents, problem),
            ReadOutcome::NotRegular);
  EXPECT_FALSE(Ini::Load("/dev/zero", records));
  EXPECT_FALSE(Ini::Load(big, records));
  EXPECT_EQ(ReadSmallFile(big, MaxConfigFileBytes, contents, problem), ReadOutcome::TooLarge);
  EXPECT_FALSE(Ini::SetValue("a", "1", "s", (dir / "fifo.ini").string()));

  const std::string bom = Write("bom.ini", "\xEF\xBB\xBF[appSettings]\r\nFirstUp=Yes\r\n");
  EXPECT_EQ(Ini::GetValue("FirstUp", "appSettings", bom), "Yes");
}

}  // namespace
}  // namespace pellix_usb_encoder
