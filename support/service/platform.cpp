#include "support/service/platform.h"

#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "support/core/data_folder.h"
#include "support/core/file_store.h"
#include "support/core/native_path.h"

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

fs::path PathOf(const std::string& path) { return NativePath(path); }


bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace

// The core's answer on every system, so that the windows, the command line and the
// upgrade's recovery records all agree on the folder, and never guess one when the
// environment names none.
std::string LocalAppDataFolder(std::string& problem) { return UserDataFolder(problem); }

std::string LocalAppDataFolder() {
  std::string problem;
  return UserDataFolder(problem);
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
  std::string problem;
  return CopyFileReplacing(from, to, problem);
}

bool CopyFileReplacing(const std::string& from, const std::string& to, std::string& problem) {
  if (from.empty() || to.empty()) {
    problem = "no file name was given";
    return false;
  }
  std::string contents;
  if (ReadSmallFile(from, MaxConfigFileBytes, contents, problem) != ReadOutcome::Ok) return false;
  // A folder of that name must not be replaced by a file; a link to one is refused below.
  std::error_code ec;
  if (fs::is_directory(fs::symlink_status(PathOf(to), ec))) {
    problem = to + " is a folder";
    return false;
  }
  const FileLock lock(to);
  return WriteFileAtomically(to, contents, problem);
}

std::string CoreName(const QString& name) {
#ifdef _WIN32
  return name.toStdString();
#else
  return QFile::encodeName(name).toStdString();
#endif
}

QString NameFromCore(const std::string& name) {
#ifdef _WIN32
  return QString::fromStdString(name);
#else
  return QFile::decodeName(QByteArray::fromStdString(name));
#endif
}

std::string BaseName(const std::string& path) {
  // Both separators count on every system: names typed on Windows reach us with either.
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

namespace {

std::function<void(bool)>& BusyIndicator() {
  static std::function<void(bool)> indicator;
  return indicator;
}

std::function<bool(QObject*)>& InputHoldExemption() {
  static std::function<bool(QObject*)> exempt;
  return exempt;
}

bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
      return true;
    default:
      return false;
  }
}

// While it lives, keeps the user's input away from the program's windows: presses,
// releases, keys and wheel turns are kept and delivered in order once it ends; pointer
// moves are dropped (they describe a moment that has passed). Windows exempted by the
// hold exemption (the demo's simulated hardware) get their input as usual.
class InputHolder : public QObject {
 public:
  InputHolder() { QCoreApplication::instance()->installEventFilter(this); }
  ~InputHolder() override {
    QCoreApplication::instance()->removeEventFilter(this);
    for (auto& [receiver, event] : held_) {
      if (receiver) QCoreApplication::postEvent(receiver, event.release());
    }
  }

 protected:
  bool eventFilter(QObject* receiver, QEvent* event) override {
    if (!IsUserInput(event->type())) return false;
    if (const auto& exempt = InputHoldExemption(); exempt && exempt(receiver)) return false;
    // Kept at its first receiver (the window), it is delivered the same way later.
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseMove && type != QEvent::TabletMove && type != QEvent::TouchUpdate &&
        type != QEvent::ShortcutOverride) {
      held_.emplace_back(receiver, std::unique_ptr<QEvent>(event->clone()));
    }
    return true;
  }

 private:
  std::vector<std::pair<QPointer<QObject>, std::unique_ptr<QEvent>>> held_;
};

std::function<void(int)>& SleepOverride() {
  static std::function<void(int)> sleep;
  return sleep;
}
}  // namespace

void SetSleepOverride(std::function<void(int ms)> sleep) { SleepOverride() = std::move(sleep); }

void SetBusyIndicator(std::function<void(bool busy)> indicator) {
  BusyIndicator() = std::move(indicator);
}

void SetInputHoldExemption(std::function<bool(QObject* receiver)> exempt) {
  InputHoldExemption() = std::move(exempt);
}

void WaitHoldingInput(const std::function<void(QEventLoop& loop)>& start) {
  QEventLoop loop;
  const InputHolder holder;
  if (const auto& busy = BusyIndicator()) busy(true);
  start(loop);
  loop.exec();
  if (const auto& busy = BusyIndicator()) busy(false);
}

void RunResponsively(const std::function<void()>& work) {
  if (!OnGuiThread()) {
    work();
    return;
  }
  std::atomic<bool> done{false};
  WaitHoldingInput([&](QEventLoop& loop) {
    QThread* worker = QThread::create([&] {
      work();
      done = true;
    });
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
  });
  // The loop ends only once the worker has finished, never before.
  while (!done) QThread::yieldCurrentThread();
}

void SleepMs(int ms) {
  if (ms <= 0) return;
  if (const auto& sleep = SleepOverride()) {
    sleep(ms);
    return;
  }
  const double scaled = ms * TimeScale();

  if (OnGuiThread()) {
    // The windows keep painting and answering while the timer runs; the user's input
    // waits for the end of this action.
    const int wait = std::max(1, static_cast<int>(std::lround(scaled)));
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    WaitHoldingInput([&timer, wait](QEventLoop& loop) {
      QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
      timer.start(wait);
    });
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
