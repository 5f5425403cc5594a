// The platform layer: file copies that never leave a half-written target, scaled waits
// and the sleep override, and where per-user data lives.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/service/platform.h"

namespace pellix_usb_encoder::platform {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteAll(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
std::size_t EntriesIn(const std::string& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class PlatformFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return folder_.path().toStdString() + PathSeparator() + name; }
  QTemporaryDir folder_;
};

// A copy replaces the target whole, or, when it fails, leaves it as it was; either way
// no temporary file stays behind.
TEST_F(PlatformFiles, CopyReplacesTheTargetWholeOrLeavesItAsItWas) {
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  WriteAll(Path("new.ini"), big);
  WriteAll(Path("Settings.ini"), "old contents that are longer than nothing");
  fs::create_directory(Path("folder"));
  EXPECT_FALSE(CopyFileReplacing(Path("missing.ini"), Path("Settings.ini")));
  EXPECT_FALSE(CopyFileReplacing(Path("folder"), Path("Settings.ini")));
  EXPECT_FALSE(CopyFileReplacing(Path("new.ini"), Path("no-such-folder") + PathSeparator() + "x.ini"));
  EXPECT_FALSE(CopyFileReplacing(Path("new.ini"), Path("folder")));
  EXPECT_FALSE(CopyFileReplacing("", Path("Settings.ini")));
  // A link planted at the target (the export's folder is the user's choice) stays a link,
  // and the file it points to keeps its contents.
  // Windows lets only administrators (or developer mode) make links: there the link
  // case is left out.
  std::error_code linkError;
  fs::create_symlink(Path("Settings.ini"), Path("link.ini"), linkError);
  if (!linkError) {
    std::string problem;
    EXPECT_FALSE(CopyFileReplacing(Path("new.ini"), Path("link.ini"), problem));
    EXPECT_EQ(problem.find(Path("link.ini") + " is a symbolic link"), 0u) << problem;
    EXPECT_TRUE(fs::is_symlink(Path("link.ini")));
  }
  EXPECT_EQ(ReadAll(Path("Settings.ini")), "old contents that are longer than nothing");
  EXPECT_TRUE(fs::is_directory(Path("folder")));
  EXPECT_FALSE(PathExists(Path("no-such-folder")));
  EXPECT_EQ(EntriesIn(folder_.path().toStdString()), linkError ? 3u : 4u);
  EXPECT_TRUE(CopyFileReplacing(Path("new.ini"), Path("Settings.ini")));
  EXPECT_TRUE(CopyFileReplacing(Path("new.ini"), Path("fresh.ini")));
  EXPECT_EQ(ReadAll(Path("Settings.ini")), big);
  EXPECT_EQ(ReadAll(Path("fresh.ini")), big);
  EXPECT_EQ(ReadAll(Path("new.ini")), big);
  EXPECT_EQ(EntriesIn(folder_.path().toStdString()), linkError ? 4u : 5u);
}

// A folder is made with every missing folder on the way, and one already there is fine;
// a folder is no file; a base name ends at either separator.
TEST_F(PlatformFiles, FoldersFilesAndNames) {
  const std::string nested = Path("a") + PathSeparator() + "b";
  EXPECT_TRUE(CreateFolder(nested) && CreateFolder(nested) && fs::is_directory(nested));
  EXPECT_TRUE(PathExists(nested) && !FileExists(nested) && !PathExists(""));
  WriteAll(nested + PathSeparator() + "Ovitone.ini", "x");
  EXPECT_TRUE(FileExists(nested + PathSeparator() + "Ovitone.ini"));
  for (const char* path : {"/home/u/Ovitone.ini", "C:\\Users\\u\\Ovitone.ini", "Ovitone.ini"})
    EXPECT_EQ(BaseName(path), "Ovitone.ini");
}

class PlatformSleep : public ::testing::Test {
 protected:
  void TearDown() override { SetTimeScale(1.0), SetSleepOverride({}); }
};

// The scale shortens every wait, on a worker and on the window thread (unscaled, 1e6 ms
// would outlast the suite's time-out), yet a wait still lasts: 100 ms at the smallest
// scale, which zero and negative scales give too. Only the lower end is checked.
TEST_F(PlatformSleep, ScaledWaitsOnAWorkerAndOnTheGuiThread) {
  for (double scale : {1e-4, 0.0, -3.0}) {
    SetTimeScale(scale);
    EXPECT_DOUBLE_EQ(TimeScale(), 1e-4);
  }
  uint64_t onWorker = 0;
  std::thread([&] {
    const uint64_t start = TickCountMs();
    SleepMs(1'000'000);
    onWorker = TickCountMs() - start;
  }).join();
  const uint64_t start = TickCountMs();
  SleepMs(1'000'000);
  EXPECT_GE(onWorker, 50u);
  EXPECT_GE(TickCountMs() - start, 50u);
}

// On the window thread queued work keeps running while it waits; the override gets the
// unscaled time and replaces the wait; a wait of 0 is none.
TEST_F(PlatformSleep, GuiThreadKeepsRunningQueuedWorkAndTheOverrideReplacesTheWait) {
  bool ran = false;
  QTimer::singleShot(0, qApp, [&] { ran = true; });
  SleepMs(30);
  EXPECT_TRUE(ran);
  std::vector<int> asked;
  SetSleepOverride([&](int ms) { asked.push_back(ms); });
  SetTimeScale(0.5);
  SleepMs(0), SleepMs(86'400'000), SleepMs(-1);
  EXPECT_EQ(asked, std::vector<int>{86'400'000});
}

#if defined(Q_OS_LINUX)
TEST(PlatformDataFolder, FollowsXdgDataHomeElseHome) {
  QTemporaryDir home;
  const bool hadData = qEnvironmentVariableIsSet("XDG_DATA_HOME");
  const QByteArray data = qgetenv("XDG_DATA_HOME"), user = qgetenv("HOME");
  qputenv("XDG_DATA_HOME", (home.path() + "/data/").toLocal8Bit());
  EXPECT_EQ(LocalAppDataFolder(), home.path().toStdString() + "/data");
  qunsetenv("XDG_DATA_HOME"), qputenv("HOME", home.path().toLocal8Bit());
  EXPECT_EQ(LocalAppDataFolder(), home.path().toStdString() + "/.local/share");
  hadData ? qputenv("XDG_DATA_HOME", data) : qunsetenv("XDG_DATA_HOME"), qputenv("HOME", user);
}
#endif

}  // namespace
}  // namespace pellix_usb_encoder::platform
