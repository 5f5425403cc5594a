#include "support/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <thread>

#include "support/file_store.h"

namespace pellix_usb_encoder::platform {

namespace {

namespace fs = std::filesystem;

// The smallest time scale: a scaled wait still yields the thread (and, on the GUI
// thread, runs the event loop once) instead of vanishing.
constexpr double MinTimeScale = 1e-4;

std::atomic<double>& ScaleValue() {
  static std::atomic<double> scale{1.0};
  return scale;
}

fs::path PathOf(const std::string& path) { return fs::path(path); }


bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace

std::string LocalAppDataFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (folder.isEmpty()) return std::string();
  folder = QDir::toNativeSeparators(folder);
  // Keep a bare root ("/", "C:\") whole; anything longer loses its trailing separators.
  const QChar separator = QLatin1Char(PathSeparator());
  while (folder.size() > 1 && folder.endsWith(separator) &&
         !(folder.size() == 3 && folder.at(1) == QLatin1Char(':')))
    folder.chop(1);
  return folder.toLocal8Bit().toStdString();
}

char PathSeparator() {
#ifdef _WIN32
  return '\\';
#else
  return '/';
#endif
}

bool PathExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return fs::exists(PathOf(path), ec);
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return fs::is_regular_file(PathOf(path), ec);
}

bool CreateFolder(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  const fs::path folder = PathOf(path);
  fs::create_directories(folder, ec);  // every missing folder on the way
  return fs::is_directory(folder, ec);
}

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  if (from.empty() || to.empty()) return false;
  std::string contents, problem;
  if (ReadSmallFile(from, MaxConfigFileBytes, contents, problem) != ReadOutcome::Ok) return false;
  // A folder of that name must not be replaced by a file.
  std::error_code ec;
  if (fs::is_directory(PathOf(to), ec)) return false;
  const FileLock lock(to);
  return WriteFileAtomically(to, contents, problem);
}

std::string BaseName(const std::string& path) {
  // Both separators count on every system: names typed on Windows reach us with either.
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

namespace {
std::function<void(int)>& SleepOverride() {
  static std::function<void(int)> sleep;
  return sleep;
}
}  // namespace

void SetSleepOverride(std::function<void(int ms)> sleep) { SleepOverride() = std::move(sleep); }

void SleepMs(int ms) {
  if (ms <= 0) return;
  if (const auto& sleep = SleepOverride()) {
    sleep(ms);
    return;
  }
  const double scaled = ms * TimeScale();

  if (OnGuiThread()) {
    // Run a local event loop until the timer fires, so the window still paints and
    // queued work still runs, but keep keyboard and mouse input waiting: the user
    // must not start another action in the middle of this one.
    const int wait = std::max(1, static_cast<int>(std::lround(scaled)));
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(wait);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return;
  }

  const auto wait = std::chrono::microseconds(
      std::max<std::int64_t>(1, static_cast<std::int64_t>(std::llround(scaled * 1000.0))));
  std::this_thread::sleep_for(wait);
}

uint64_t TickCountMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void SetTimeScale(double scale) {
  // NaN, zero and negatives all fall back to the smallest scale.
  if (!(scale >= MinTimeScale)) scale = MinTimeScale;
  ScaleValue().store(scale, std::memory_order_relaxed);
}

double TimeScale() { return ScaleValue().load(std::memory_order_relaxed); }

}  // namespace pellix_usb_encoder::platform
