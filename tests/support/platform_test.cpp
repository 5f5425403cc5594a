// The platform layer: file copies that never leave a half-written target, scaled
// waits, and where per-user data lives.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
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

void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::size_t EntriesIn(const std::string& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

class PlatformFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const {
    return folder_.path().toStdString() + PathSeparator() + name;
  }
  QTemporaryDir folder_;
};

TEST_F(PlatformFiles, CopyReplacesTheTargetWholeAndLeavesNoTemporaries) {
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  WriteAll(Path("new.ini"), big);
  WriteAll(Path("Settings.ini"), "old contents that are longer than nothing");

  EXPECT_TRUE(CopyFileReplacing(Path("new.ini"), Path("Settings.ini")));
  EXPECT_EQ(ReadAll(Path("Settings.ini")), big);
  EXPECT_EQ(ReadAll(Path("new.ini")), big);

  EXPECT_TRUE(CopyFileReplacing(Path("new.ini"), Path("fresh.ini")));
  EXPECT_EQ(ReadAll(Path("fresh.ini")), big);
  EXPECT_EQ(EntriesIn(folder_.path().toStdString()), 3u);
}

TEST_F(PlatformFiles, FailedCopyLeavesTheTargetAsItWas) {
  WriteAll(Path("Settings.ini"), "old");
  WriteAll(Path("new.ini"), "new");
  fs::create_directory(Path("folder"));

  EXPECT_FALSE(CopyFileReplacing(Path("missing.ini"), Path("Settings.ini")));
  EXPECT_FALSE(CopyFileReplacing(Path("folder"), Path("Settings.ini")));
  EXPECT_FALSE(CopyFileReplacing(Path("new.ini"), Path("no-such-folder") + PathSeparator() + "x.ini"));
  EXPECT_FALSE(CopyFileReplacing(Path("new.ini"), Path("folder")));
  EXPECT_FALSE(CopyFileReplacing("", Path("Settings.ini")));

  EXPECT_EQ(ReadAll(Path("Settings.ini")), "old");
  EXPECT_TRUE(fs::is_directory(Path("folder")));
  EXPECT_FALSE(PathExists(Path("no-such-folder")));
  EXPECT_EQ(EntriesIn(folder_.path().toStdString()), 3u);
}

TEST_F(PlatformFiles, FoldersFilesAndNames) {
  EXPECT_TRUE(CreateFolder(Path("Orvane")));
  EXPECT_TRUE(CreateFolder(Path("Orvane")));  // already there is fine
  // Every missing folder on the way is made.
  EXPECT_TRUE(CreateFolder(Path("a") + PathSeparator() + "b" + PathSeparator() + "c"));
  EXPECT_TRUE(fs::is_directory(Path("a") + PathSeparator() + "b" + PathSeparator() + "c"));
  EXPECT_TRUE(PathExists(Path("Orvane")));
  EXPECT_FALSE(FileExists(Path("Orvane")));
  WriteAll(Path("Orvane") + PathSeparator() + "Ovitone.ini", "x");
  EXPECT_TRUE(FileExists(Path("Orvane") + PathSeparator() + "Ovitone.ini"));
  EXPECT_FALSE(PathExists(""));

  EXPECT_EQ(BaseName("/home/u/Ovitone.ini"), "Ovitone.ini");
  EXPECT_EQ(BaseName("C:\\Users\\u\\Ovitone.ini"), "Ovitone.ini");
  EXPECT_EQ(BaseName("Ovitone.ini"), "Ovitone.ini");
}

class PlatformSleep : public ::testing::Test {
 protected:
  void TearDown() override { SetTimeScale(1.0); }
};

TEST_F(PlatformSleep, ScaledWaitsOnAWorkerAndOnTheGuiThread) {
  SetTimeScale(0.01);
  uint64_t spent = 0;
  std::thread([&] {
    const uint64_t start = TickCountMs();
    SleepMs(1000);
    spent = TickCountMs() - start;
  }).join();
  EXPECT_LT(spent, 500u);

  const uint64_t start = TickCountMs();
  SleepMs(1000);
  EXPECT_LT(TickCountMs() - start, 500u);

  // Unscaled, the wait really happens.
  SetTimeScale(1.0);
  const uint64_t unscaled = TickCountMs();
  SleepMs(60);
  EXPECT_GE(TickCountMs() - unscaled, 50u);
}

TEST_F(PlatformSleep, ZeroOrNegativeScaleStillWaitsBriefly) {
  for (double scale : {0.0, -3.0}) {
    SetTimeScale(scale);
    EXPECT_GT(TimeScale(), 0.0);
    const uint64_t start = TickCountMs();
    SleepMs(100000);
    EXPECT_LT(TickCountMs() - start, 1000u);
  }
}

TEST_F(PlatformSleep, GuiThreadKeepsRunningQueuedWorkWhileWaiting) {
  bool ran = false;
  QTimer::singleShot(0, qApp, [&] { ran = true; });
  SleepMs(30);
  EXPECT_TRUE(ran);
}

#if defined(Q_OS_LINUX)
// Sets or clears an environment variable for one test.
class EnvOverride {
 public:
  EnvOverride(const char* name, std::optional<QByteArray> value)
      : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
    value ? qputenv(name, *value) : qunsetenv(name);
  }
  ~EnvOverride() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

TEST(PlatformDataFolder, FollowsXdgDataHomeElseHome) {
  QTemporaryDir home;
  {
    EnvOverride data("XDG_DATA_HOME", (home.path() + "/data/").toLocal8Bit());
    EXPECT_EQ(LocalAppDataFolder(), home.path().toStdString() + "/data");
  }
  EnvOverride data("XDG_DATA_HOME", std::nullopt);
  EnvOverride user("HOME", home.path().toLocal8Bit());
  EXPECT_EQ(LocalAppDataFolder(), home.path().toStdString() + "/.local/share");
}
#endif

}  // namespace
}  // namespace pellix_usb_encoder::platform
