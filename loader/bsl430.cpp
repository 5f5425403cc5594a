// The MSP430 USB bootstrap loader spoken over hidapi.
//
// Every report, in either direction, is 64 bytes: the report id 0x3F, the length NL of
// the core command (or answer) that follows, the NL core bytes, and padding (0xAC from
// the host). Answers start with 0x3B and a message code, or with 0x3A and data.
//
// Locking. The library's own state (the connection, the receive record, the version
// text, the TI-TXT file reader) sits in one record under one mutex, which each operation
// holds for its whole run, so operations from different threads take turns. Every hidapi
// call is made under the program's device lock, taken after the library mutex and only
// around the call itself: a wait for an answer is a series of short reads, between which
// the windows' own exchanges with the encoder can run. The device watcher has state of
// its own and never takes the library mutex.
#include "loader/bsl430.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/device_lock.h"
#include "device/trace.h"
#include "device/usb_port.h"
#include "loader/ti_txt.h"

using pellix_usb_encoder::LockDevice;
using pellix_usb_encoder::LockExchange;
using pellix_usb_encoder::TraceReport;
using pellix_usb_encoder::UsbPortOfPath;

namespace {

constexpr uint16_t kLoaderVendorId = 0x2047;
constexpr uint16_t kLoaderProductId = 0x0200;

constexpr size_t kReportSize = 64;
constexpr uint8_t kReportId = 0x3F;
constexpr uint8_t kPadding = 0xAC;
constexpr size_t kMaxCoreLength = kReportSize - 2;  // 62

constexpr uint8_t kAnswerData = 0x3A;
constexpr uint8_t kAnswerMessage = 0x3B;

constexpr uint8_t kRxDataBlock = 0x10;
constexpr uint8_t kRxPassword = 0x11;
constexpr uint8_t kEraseSegment = 0x12;
constexpr uint8_t kCrcCheck = 0x16;
constexpr uint8_t kLoadPc = 0x17;
constexpr uint8_t kTxVersion = 0x19;
constexpr uint8_t kRxDataBlockFast = 0x1B;

constexpr size_t kPasswordLength = 32;
constexpr uint32_t kPasswordAddress = 0xFFE0;
// Code, three address bytes, data: 58 bytes of data fit one report.
constexpr size_t kMaxChunk = kMaxCoreLength - 4;
// A data chunk never crosses a 64 KiB line: the loader's address arithmetic within one
// block is not trusted across it.
constexpr uint32_t kChunkBoundary = 0x10000;

// The loader answers within a few milliseconds; erasing a segment, or the whole flash
// after a refused password, takes longer but well under this.
constexpr int kAnswerTimeoutMs = 1000;
// One read waits at most this long under the device lock.
constexpr int kReadSliceMs = 20;

constexpr size_t kMaxBlockBytes = sizeof(DataBlock_::bytes);

// Result of an operation that got no (usable) answer, had no connection or could not
// write. Message codes from the loader are returned as they are (1..255).
constexpr int kFailed = -1;
// BSL_openTI_TextForRead: the file cannot be read or is not a TI-TXT image.
constexpr int kFileRefused = -2;

constexpr auto kWatchInterval = std::chrono::milliseconds(200);

// The receive record holds an answer in the layout of the loader's serial packets, which
// is what callers of the vendor library index into:
//   [0] 0x00 (acknowledge)  [1] 0x80 (header)  [2] NL  [3] 0 (length high byte)
//   [4 .. 4+NL-1] the core answer: 0x3B code, or 0x3A data
// so after a CRC request [4] = 0x3A, [5] = CRC low byte, [6] = CRC high byte.
constexpr size_t kRecordCoreOffset = 4;

struct Library {
  std::mutex mutex;
  hid_device* device = nullptr;
  dataBuffer received{};
  char version[36] = "ERROR";

  // The TI-TXT file reader: the parsed file and the position of the next block.
  bool fileOpen = false;
  TiTxtImage file;
  size_t fileRun = 0;
  size_t fileOffset = 0;
};

// The library of a thread inside a BSL_UnitSession.
thread_local Library* unitLibrary = nullptr;

// Never destroyed, so that a call during program exit still finds it.
Library& Lib() {
  if (unitLibrary != nullptr) return *unitLibrary;
  static auto* library = new Library;
  return *library;
}

void PutAddress(std::vector<uint8_t>& core, uint32_t address) {
  core.push_back(static_cast<uint8_t>(address));
  core.push_back(static_cast<uint8_t>(address >> 8));
  core.push_back(static_cast<uint8_t>(address >> 16));
}

bool Send(hid_device* device, const std::vector<uint8_t>& core) {
  if (!device || core.empty() || core.size() > kMaxCoreLength) return false;
  uint8_t report[kReportSize];
  std::memset(report, kPadding, sizeof report);
  report[0] = kReportId;
  report[1] = static_cast<uint8_t>(core.size());
  std::memcpy(report + 2, core.data(), core.size());
  auto lock = LockExchange();
  if (hid_write(device, report, sizeof report) < 0) return false;
  TraceReport(device, true, report, sizeof report);
  return true;
}

// Drops reports left over from an earlier exchange (a late answer after a time-out), so
// that the answer read next belongs to the request sent next.
void DropStaleReports(hid_device* device) {
  uint8_t report[kReportSize];
  for (int i = 0; i < 8; ++i) {
    auto lock = LockExchange();
    const int count = hid_read_timeout(device, report, sizeof report, 0);
    if (count <= 0) return;
    TraceReport(device, false, report, static_cast<size_t>(count));
  }
}

// Waits for one answer and returns its core bytes in `core` (0x3A or 0x3B first), also
// keeping it in the receive record. Reports that are not loader answers are skipped.
bool Receive(Library& lib, std::vector<uint8_t>& core) {
  uint8_t report[kReportSize];
  for (int waited = 0; waited < kAnswerTimeoutMs; waited += kReadSliceMs) {
    int count;
    {
      auto lock = LockExchange();
      count = hid_read_timeout(lib.device, report, sizeof report, kReadSliceMs);
      if (count > 0) TraceReport(lib.device, false, report, static_cast<size_t>(count));
    }
    if (count < 0) return false;  // the device left the bus
    if (count < 3 || report[0] != kReportId) continue;
    const size_t length = report[1];
    if (length == 0 || length > static_cast<size_t>(count) - 2) return false;
    if (report[2] != kAnswerData && report[2] != kAnswerMessage) return false;
    core.assign(report + 2, report + 2 + length);
    lib.received = dataBuffer{};
    lib.received.data[0] = 0x00;
    lib.received.data[1] = 0x80;
    lib.received.data[2] = static_cast<uint8_t>(length);
    lib.received.data[3] = 0;
    std::memcpy(lib.received.data + kRecordCoreOffset, core.data(), length);
    return true;
  }
  return false;
}

// Sends a command that the loader answers and waits for the answer.
bool Exchange(Library& lib, const std::vector<uint8_t>& command, std::vector<uint8_t>& answer) {
  if (!lib.device) return false;
  lib.received = dataBuffer{};
  DropStaleReports(lib.device);
  if (!Send(lib.device, command)) return false;
  return Receive(lib, answer);
}

// 0 for "3B 00", the message code for another message, kFailed for anything else.
int MessageResult(bool answered, const std::vector<uint8_t>& answer) {
  if (!answered || answer.size() < 2 || answer[0] != kAnswerMessage) return kFailed;
  return answer[1];
}

// Writes an image, run by run, in chunks that fit one report and stay within a 64 KiB
// line. Fast chunks get no answer; the others are answered one by one.
int SendImage(Library& lib, const TiTxtImage& image, bool fast) {
  if (!lib.device) return kFailed;
  for (const auto& run : image.runs) {
    size_t offset = 0;
    while (offset < run.bytes.size()) {
      const uint32_t address = run.address + static_cast<uint32_t>(offset);
      const size_t toBoundary = kChunkBoundary - address % kChunkBoundary;
      const size_t count = std::min({kMaxChunk, run.bytes.size() - offset, toBoundary});
      std::vector<uint8_t> command{fast ? kRxDataBlockFast : kRxDataBlock};
      PutAddress(command, address);
      command.insert(command.end(), run.bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                     run.bytes.begin() + static_cast<std::ptrdiff_t>(offset + count));
      if (fast) {
        if (!Send(lib.device, command)) return kFailed;
      } else {
        std::vector<uint8_t> answer;
        const int result = MessageResult(Exchange(lib, command, answer), answer);
        if (result != 0) return result;
      }
      offset += count;
    }
  }
  return 0;
}

void CloseLocked(Library& lib) {
  if (!lib.device) return;
  auto lock = LockDevice();
  hid_close(lib.device);
  lib.device = nullptr;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// "0x2047" or "2047": one to four hexadecimal digits, not zero (0 would match any device).
bool ParseId(std::string_view text, uint16_t& id) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 4) return false;
  unsigned value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::toupper(c) - 'A' + 10);
  }
  id = static_cast<uint16_t>(value);
  return value != 0;
}

bool ParseIndex(std::string_view text, int& index) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  index = value;
  return true;
}

// "PID=0x0200,VID=0x2047,DEVICEINDEX=0", keys in any order and either case; the index
// may be left out (0). "PORT=1-2.3" picks the device on that USB port; the index then
// counts among the devices on that port. Anything else in the text makes it malformed.
bool ParseDeviceString(std::string_view text, uint16_t& vid, uint16_t& pid, int& index,
                       std::string& port) {
  bool haveVid = false, havePid = false, haveIndex = false, havePort = false;
  index = 0;
  port.clear();
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view item = TrimBlanks(text.substr(0, comma));
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string key = Upper(TrimBlanks(item.substr(0, equals)));
    const std::string_view value = TrimBlanks(item.substr(equals + 1));
    if (key == "VID" && !haveVid) {
      haveVid = ParseId(value, vid);
      if (!haveVid) return false;
    } else if (key == "PID" && !havePid) {
      havePid = ParseId(value, pid);
      if (!havePid) return false;
    } else if (key == "DEVICEINDEX" && !haveIndex) {
      haveIndex = ParseIndex(value, index);
      if (!haveIndex) return false;
    } else if (key == "PORT" && !havePort) {
      port = std::string(value);
      havePort = !port.empty();
      if (!havePort) return false;
    } else {
      return false;
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return haveVid && havePid;
}

DataBlock_ EmptyBlock() {
  DataBlock_ block{};
  return block;
}

size_t ClampBlockSize(int maxBytes) {
  return static_cast<size_t>(std::clamp<int>(maxBytes, 1, static_cast<int>(kMaxBlockBytes)));
}

DataBlock_ MakeBlock(const TiTxtRun& run, size_t offset, size_t count) {
  DataBlock_ block{};
  std::memcpy(block.bytes, run.bytes.data() + offset, count);
  block.byteCount = static_cast<uint32_t>(count);
  block.startAddress = run.address + static_cast<uint32_t>(offset);
  return block;
}

// Moves the file reader past runs that have nothing left to read.
void SkipReadRuns(Library& lib) {
  while (lib.fileRun < lib.file.runs.size() &&
         lib.fileOffset >= lib.file.runs[lib.fileRun].bytes.size()) {
    ++lib.fileRun;
    lib.fileOffset = 0;
  }
}

// ---- The device watcher ----

// The paths of the attached loader devices.
std::set<std::string> LoaderPaths() {
  std::set<std::string> paths;
  auto lock = LockDevice();
  hid_device_info* list = hid_enumerate(kLoaderVendorId, kLoaderProductId);
  for (hid_device_info* entry = list; entry; entry = entry->next) {
    if (entry->path) paths.insert(entry->path);
  }
  hid_free_enumeration(list);
  return paths;
}

// Polls the bus on a thread of its own and tells the sink about loader devices that came
// or went. Lock order: `control_` (Register/Unregister among themselves), then `calling_`
// (held while the sink runs), then `mutex_`. The device lock is taken only inside
// LoaderPaths, with none of these held except on the watcher thread's own path, which
// holds nothing at that point.
class Watcher {
 public:
  int Register(BSL_DeviceChangeSink* sink) {
    if (!sink) return kFailed;
    if (OnWatcherThread()) {
      // From inside the sink: swap the sink (and undo a stop asked for from there).
      std::lock_guard lock(mutex_);
      sink_ = sink;
      stop_ = false;
      return 0;
    }
    std::lock_guard control(control_);
    {
      std::unique_lock lock(mutex_);
      if (thread_.joinable() && !stop_) {
        // Running: replace the sink once a call in progress has returned, so that the
        // old sink is never called after this returns.
        lock.unlock();
        std::lock_guard calling(calling_);
        lock.lock();
        sink_ = sink;
        return 0;
      }
    }
    JoinStopped();
    // Devices already attached are the starting point, not arrivals.
    std::set<std::string> initial = LoaderPaths();
    std::lock_guard lock(mutex_);
    known_ = std::move(initial);
    sink_ = sink;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    threadId_ = thread_.get_id();
    return 0;
  }

  int Unregister() {
    if (OnWatcherThread()) {
      // The thread cannot join itself: it stops once the sink returns, and the next
      // Register or Unregister from another thread joins it.
      std::lock_guard lock(mutex_);
      stop_ = true;
      sink_ = nullptr;
      return 0;
    }
    std::lock_guard control(control_);
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      sink_ = nullptr;
    }
    wake_.notify_all();
    JoinStopped();
    return 0;
  }

 private:
  bool OnWatcherThread() {
    std::lock_guard lock(mutex_);
    return thread_.joinable() && std::this_thread::get_id() == threadId_;
  }

  // Joins a thread that was told to stop. Called with `control_` held only.
  void JoinStopped() {
    std::thread old;
    {
      std::lock_guard lock(mutex_);
      old = std::move(thread_);
      threadId_ = {};
    }
    if (old.joinable()) old.join();
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (wake_.wait_for(lock, kWatchInterval, [this] { return stop_; })) return;
      lock.unlock();
      std::set<std::string> now = LoaderPaths();
      std::vector<unsigned> events;
      for (const auto& path : known_) {
        if (!now.count(path)) events.push_back(BSL_DeviceRemoval);
      }
      for (const auto& path : now) {
        if (!known_.count(path)) events.push_back(BSL_DeviceArrival);
      }
      known_ = std::move(now);
      for (unsigned event : events) {
        std::lock_guard calling(calling_);
        BSL_DeviceChangeSink* sink;
        {
          std::lock_guard guard(mutex_);
          if (stop_) break;
          sink = sink_;
        }
        if (sink) sink->BSL_DeviceChanged(event);
      }
      lock.lock();
    }
  }

  std::mutex control_;
  std::mutex calling_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
  std::thread::id threadId_;
  BSL_DeviceChangeSink* sink_ = nullptr;
  bool stop_ = false;
  std::set<std::string> known_;  // the watcher thread's alone while it runs
};

Watcher& TheWatcher() {
  static auto* watcher = new Watcher;  // never destroyed: see ExitGuard
  return *watcher;
}

// Stops the watcher when the program ends, before the device lock and the HID library
// it polls are gone: it is constructed after both are first used, so destroyed before.
struct ExitGuard {
  ~ExitGuard() { TheWatcher().Unregister(); }
};

}  // namespace

// The family and the link are fixed for this library (MSP430F5xx over USB HID); the
// calls are kept for the upgrade sequence that makes them.
void BSL_setFamily(int) {}

void BSL_setCom(int) {}

int BSL_initialize_BSL(char* deviceString) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  CloseLocked(lib);
  lib.received = dataBuffer{};
  uint16_t vid = 0, pid = 0;
  int index = 0;
  std::string port;
  if (!deviceString || !ParseDeviceString(deviceString, vid, pid, index, port)) return 1;

  auto deviceLock = LockDevice();
  hid_device_info* list = hid_enumerate(vid, pid);
  hid_device_info* entry = list;
  for (int i = 0; entry; entry = entry->next) {
    if (!port.empty() && UsbPortOfPath(entry->path) != port) continue;
    if (i++ == index) break;
  }
  if (entry && entry->path) lib.device = hid_open_path(entry->path);
  hid_free_enumeration(list);
  return lib.device ? 0 : 1;
}

int BSL_close_BSL() {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  CloseLocked(lib);
  return 0;
}

DataBlock_ BSL_readTI_Text(char* text, int maxBytes) {
  TiTxtImage image;
  std::string error;
  if (!text || !TiTxtParse(text, image, error)) return EmptyBlock();
  for (const auto& run : image.runs) {
    if (!run.bytes.empty()) {
      return MakeBlock(run, 0, std::min(ClampBlockSize(maxBytes), run.bytes.size()));
    }
  }
  return EmptyBlock();
}

DataBlock_ BSL_getDefaultPass() {
  DataBlock_ block{};
  std::memset(block.bytes, 0xFF, kPasswordLength);
  block.byteCount = kPasswordLength;
  block.startAddress = kPasswordAddress;
  return block;
}

int BSL_RX_Password(DataBlock_ password) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  std::vector<uint8_t> command{kRxPassword};
  command.insert(command.end(), password.bytes, password.bytes + kPasswordLength);
  std::vector<uint8_t> answer;
  return MessageResult(Exchange(lib, command, answer), answer);
}

int BSL_RX_TXT(char* text, int fast) {
  TiTxtImage image;
  std::string error;
  if (!text || !TiTxtParse(text, image, error)) return kFailed;
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  return SendImage(lib, image, fast != 0);
}

int BSL_RX_TXT_File(char* path, int fast) {
  TiTxtImage image;
  std::string error;
  if (!path || !TiTxtParseFile(path, image, error)) return kFailed;
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  return SendImage(lib, image, fast != 0);
}

int BSL_LoadPC(uint32_t address) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  std::vector<uint8_t> command{kLoadPc};
  PutAddress(command, address);
  return Send(lib.device, command) ? 0 : kFailed;
}

char* BSL_TX_BSL_Version_String() {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  std::vector<uint8_t> answer;
  if (Exchange(lib, {kTxVersion}, answer) && answer.size() >= 5 && answer[0] == kAnswerData) {
    std::snprintf(lib.version, sizeof lib.version, "Vendor %02X, CI 0x%02X API 0x%02X PI 0x%02X",
                  answer[1], answer[2], answer[3], answer[4]);
  } else {
    std::snprintf(lib.version, sizeof lib.version, "ERROR");
  }
  return lib.version;
}

int BSL_eraseSegment(uint32_t address) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  std::vector<uint8_t> command{kEraseSegment};
  PutAddress(command, address);
  std::vector<uint8_t> answer;
  return MessageResult(Exchange(lib, command, answer), answer);
}

int BSL_CRC_Check(uint32_t address, uint32_t length) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  if (length > 0xFFFF) return kFailed;  // the request carries 16 bits of length
  std::vector<uint8_t> command{kCrcCheck};
  PutAddress(command, address);
  command.push_back(static_cast<uint8_t>(length));
  command.push_back(static_cast<uint8_t>(length >> 8));
  std::vector<uint8_t> answer;
  const bool answered = Exchange(lib, command, answer);
  if (answered && answer.size() >= 3 && answer[0] == kAnswerData) return 0;
  return MessageResult(answered, answer);
}

dataBuffer BSL_get_RX_Buffer() {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  return lib.received;
}

uint32_t BSL_NumOfUSBDevices(uint16_t vid, uint16_t pid) {
  uint32_t count = 0;
  auto lock = LockDevice();
  hid_device_info* list = hid_enumerate(vid, pid);
  for (hid_device_info* entry = list; entry; entry = entry->next) ++count;
  hid_free_enumeration(list);
  return count;
}

int BSL_openTI_TextForRead(char* path) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  lib.fileOpen = false;
  lib.file.runs.clear();
  lib.fileRun = 0;
  lib.fileOffset = 0;
  std::string error;
  if (!path || !TiTxtParseFile(path, lib.file, error)) return kFileRefused;
  lib.fileOpen = true;
  return 0;
}

int BSL_moreDataToRead_TextFile() {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  if (!lib.fileOpen) return 0;
  SkipReadRuns(lib);
  return lib.fileRun < lib.file.runs.size() ? 1 : 0;
}

DataBlock_ BSL_readTI_TextFile(int maxBytes) {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  if (!lib.fileOpen) return EmptyBlock();
  SkipReadRuns(lib);
  if (lib.fileRun >= lib.file.runs.size()) return EmptyBlock();
  const TiTxtRun& run = lib.file.runs[lib.fileRun];
  const size_t count = std::min(ClampBlockSize(maxBytes), run.bytes.size() - lib.fileOffset);
  DataBlock_ block = MakeBlock(run, lib.fileOffset, count);
  lib.fileOffset += count;
  return block;
}

void BSL_closeTI_Text() {
  auto& lib = Lib();
  std::lock_guard lock(lib.mutex);
  lib.fileOpen = false;
  lib.file.runs.clear();
  lib.fileRun = 0;
  lib.fileOffset = 0;
}

int BSL_RegisterUSBDeviceNotification(BSL_DeviceChangeSink* sink) {
  // Touch the device lock and the HID library before the exit guard exists, so that the
  // guard is destroyed (and the watcher stopped) before either of them.
  {
    auto lock = LockDevice();
    hid_free_enumeration(hid_enumerate(kLoaderVendorId, kLoaderProductId));
  }
  static ExitGuard exitGuard;
  (void)exitGuard;
  return TheWatcher().Register(sink);
}

int BSL_UnRegisterUSBDeviceNotification() { return TheWatcher().Unregister(); }

struct BSL_UnitSession::State {
  Library library;
  Library* previous = nullptr;
};

BSL_UnitSession::BSL_UnitSession() : state_(new State) {
  state_->previous = unitLibrary;
  unitLibrary = &state_->library;
}

BSL_UnitSession::~BSL_UnitSession() {
  CloseLocked(state_->library);
  unitLibrary = state_->previous;
  delete state_;
}
