// The loader twin: the device side of the MSP430 USB bootstrap loader.
//
// Every report is [0] 0x3F, [1] NL, then the NL bytes of one core command (code first,
// addresses 3 bytes low first); the rest of the 64 bytes is padding and ignored.
// Answers are 64-byte reports: 0x3F, their length, then 0x3B + a message code or 0x3A +
// data. This file decodes and answers them itself and keeps its own CRC: it shares no
// code with the host-side loader library, so a fault in one is not mirrored by the other.
//
// Two programs answer on the bus:
// - the ROM loader (after joining from the encoder, or any plain join): locked until the
//   password matches; it takes RX password, RX data block fast and load PC only, writes
//   at once and answers nothing but the password;
// - the RAM loader, which the ROM loader starts on load PC 0x2504 once an image is in
//   RAM: it rejoins the bus locked, answers the whole command set and buffers writes in
//   128-byte blocks.
// Writing 04 A5 to PMMCTL0 (0x0120) resets the device into the programmed firmware: it
// leaves the bus and calls the reset hook. With the reset vector (0xFFFE-0xFFFF) erased
// there is no firmware to start: the device rejoins as the ROM loader instead.

#include <atomic>
#include "sim/loader_twin.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <set>
#include <utility>

namespace pellix_usb_encoder::sim {
namespace {

constexpr size_t kReportSize = 64;
constexpr uint8_t kReportId = 0x3F;
constexpr size_t kMaxCoreLength = 62;
constexpr uint8_t kMessage = 0x3B;
constexpr uint8_t kData = 0x3A;
constexpr int kInterface = 0;

// Message codes.
constexpr uint8_t kSuccess = 0x00;
constexpr uint8_t kLocked = 0x04;
constexpr uint8_t kPasswordError = 0x05;
constexpr uint8_t kUnknownCommand = 0x07;
constexpr uint8_t kPacketTooLong = 0x08;

enum Code : uint8_t {
  kRxDataBlock = 0x10,
  kRxPassword = 0x11,
  kEraseSegment = 0x12,
  kMassErase = 0x15,
  kCrcCheck = 0x16,
  kLoadPc = 0x17,
  kTxDataBlock = 0x18,
  kTxVersion = 0x19,
  kRxDataBlockFast = 0x1B,
};

// Memory map of the modelled F5xx part (20-bit addresses).
constexpr uint32_t kAddressMask = 0xFFFFF;
constexpr size_t kMemorySize = 0x100000;
constexpr uint32_t kInfoStart = 0x1800, kInfoEnd = 0x1A00, kInfoSegment = 128;
constexpr uint32_t kRamStart = 0x2400, kRamEnd = 0x4400;
constexpr uint32_t kMainStart = 0x4400, kMainEnd = 0x24400, kMainSegment = 512;
constexpr uint32_t kPasswordAddress = 0xFFE0;
constexpr size_t kPasswordLength = 32;
constexpr uint32_t kResetVector = 0xFFFE;
constexpr uint32_t kPmmCtl0 = 0x0120;
constexpr uint8_t kPmmKey = 0xA5;
constexpr uint8_t kPmmResetBits = 0x0C;  // PMMSWPOR | PMMSWBOR
// The RAM loader image: version bytes at 0x2500, entry at 0x2504, second run at 0x2576.
constexpr uint32_t kRamLoaderVersion = 0x2500;
constexpr uint32_t kRamLoaderEntry = 0x2504;
constexpr uint32_t kRamLoaderSecondRun = 0x2576;
constexpr size_t kRamLoaderProbe = 16;  // bytes looked at in the second run
constexpr uint32_t kWriteBlock = 128;   // the RAM loader's write buffer

// Timing on the bus clock (the host waits 3 x 1000 ms for the RAM loader and 6000 ms
// before looking for the restarted encoder).
constexpr int64_t kRamLoaderRejoinMs = 100;  // load PC 0x2504 until the RAM loader is back
constexpr int64_t kLoaderJoinMs = 100;       // EnterFirmwareUpgrade until the loader joins
constexpr int64_t kEncoderRestartMs = 500;   // reset until the encoder joins again
constexpr int64_t kLoaderRestartMs = 100;    // reset without firmware until the loader is back

constexpr uint8_t kImageMagic[4] = {'O', 'V', 'F', 'W'};
constexpr size_t kMaxVersionText = 35;
constexpr uint32_t kDefaultImageEnd = 0x8000;  // filler up to 0x7FFF
constexpr uint32_t kFillerSeed = 2;

enum class Region { Info, Main, Ram, Other };

Region RegionOf(uint32_t a) {
  if (a >= kInfoStart && a < kInfoEnd) return Region::Info;
  if (a >= kRamStart && a < kRamEnd) return Region::Ram;
  if (a >= kMainStart && a < kMainEnd) return Region::Main;
  return Region::Other;
}

bool IsFlash(Region r) { return r == Region::Info || r == Region::Main; }

bool HasAddress(uint8_t code) {
  switch (code) {
    case kRxDataBlock: case kEraseSegment: case kCrcCheck: case kLoadPc: case kTxDataBlock:
    case kRxDataBlockFast:
      return true;
    default:
      return false;
  }
}

// The core bytes a command needs: code, address, and a 16-bit length for CRC and TX.
size_t MinimumLength(uint8_t code) {
  if (code == kCrcCheck || code == kTxDataBlock) return 6;
  return HasAddress(code) ? 4 : 1;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no final XOR.
class Crc16 {
 public:
  void Add(uint8_t byte) {
    value_ ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      value_ = (value_ & 0x8000) ? static_cast<uint16_t>((value_ << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(value_ << 1);
    }
  }
  uint16_t Value() const { return value_; }

 private:
  uint16_t value_ = 0xFFFF;
};

std::vector<uint8_t> AnswerReport(std::initializer_list<uint8_t> head,
                                  const uint8_t* data = nullptr, size_t count = 0) {
  std::vector<uint8_t> report(kReportSize, 0);
  report[0] = kReportId;
  report[1] = static_cast<uint8_t>(head.size() + count);
  std::copy(head.begin(), head.end(), report.begin() + 2);
  if (count > 0) std::copy(data, data + count, report.begin() + 2 + head.size());
  return report;
}

// The vector area of the default image: vector i points to 0x4500 + 4i, the reset
// vector (the last) to 0x4404.
std::array<uint8_t, kPasswordLength> DefaultVectors() {
  std::array<uint8_t, kPasswordLength> vectors{};
  for (size_t i = 0; i < kPasswordLength / 2; ++i) {
    const uint16_t word =
        i + 1 == kPasswordLength / 2 ? 0x4404 : static_cast<uint16_t>(0x4500 + 4 * i);
    vectors[2 * i] = static_cast<uint8_t>(word & 0xFF);
    vectors[2 * i + 1] = static_cast<uint8_t>(word >> 8);
  }
  return vectors;
}

// "OVFW", the version text and a zero at 0x4400, then code-like filler up to 0x7FFF.
std::vector<uint8_t> DefaultImage(const std::string& version) {
  std::vector<uint8_t> image(std::begin(kImageMagic), std::end(kImageMagic));
  const std::string text = version.substr(0, std::min(version.find('\0'), kMaxVersionText));
  image.insert(image.end(), text.begin(), text.end());
  image.push_back(0);
  uint32_t x = kFillerSeed;
  while (image.size() < kDefaultImageEnd - kMainStart) {
    x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
    image.push_back(static_cast<uint8_t>(x >> 16));
  }
  return image;
}

// What the twin does for one report, worked out under its lock and carried out on the
// bus after the lock is released (so that the reset hook may read the twin).
struct Outcome {
  std::vector<std::vector<uint8_t>> answers;
  bool leave = false;
  int64_t rejoinAfterMs = -1;
  bool reset = false;
  std::function<void(const LoaderTwin&, WriteContext&)> resetHook;

  void Message(uint8_t code) { answers.push_back(AnswerReport({kMessage, code})); }
  void Leave(int64_t rejoinAfter) {
    leave = true;
    rejoinAfterMs = rejoinAfter;
  }
};

enum class Mode { Rom, Ram };

}  // namespace

struct LoaderTwin::State {
  std::vector<uint8_t> memory = std::vector<uint8_t>(kMemorySize, 0x00);
  Mode mode = Mode::Rom;
  bool unlocked = false;
  std::array<uint8_t, 4> version = RomVersion;
  bool ramLoaderOnJoin = false;  // load PC 0x2504 accepted: the next join runs it
  std::array<uint8_t, 4> ramLoaderVersion{};
  std::array<uint8_t, 2> pmmctl0{};
  // The RAM loader's write buffer: a contiguous run within one 128-byte block.
  uint32_t pendingStart = 0;
  std::vector<uint8_t> pending;
  bool flashChanged = false;  // since construction, by LoadFlash or the host
  int massErases = 0;
  int segmentErases = 0;
  std::vector<LoaderCommand> commands;
  std::set<uint32_t> corrupted;
  bool crcSilent = false;
  bool refusePasswords = false;
  int unplugAfter = -1;  // reports left before leaving for good; < 0: off
  double intervalMs = 0;
  std::function<void(const LoaderTwin&, WriteContext&)> onReset;

  State() {
    std::fill(memory.begin() + kInfoStart, memory.begin() + kInfoEnd, 0xFF);
    std::fill(memory.begin() + kRamStart, memory.begin() + kRamEnd, 0xFF);
    LoadDefaultImage("V1.2.7");
  }

  void LoadDefaultImage(const std::string& versionText) {
    std::fill(memory.begin() + kMainStart, memory.begin() + kMainEnd, 0xFF);
    const auto image = DefaultImage(versionText);
    std::copy(image.begin(), image.end(), memory.begin() + kMainStart);
    const auto vectors = DefaultVectors();
    std::copy(vectors.begin(), vectors.end(), memory.begin() + kPasswordAddress);
  }

  uint8_t Read(uint32_t a) const { return memory[a & kAddressMask]; }

  // One byte as the device's memory takes it: flash can only clear bits, RAM stores,
  // PMMCTL0 is kept, other addresses ignore it.
  void Store(uint32_t a, uint8_t value) {
    a &= kAddressMask;
    if (corrupted.count(a)) value ^= 0x01;
    const Region region = RegionOf(a);
    if (IsFlash(region)) {
      memory[a] &= value;
      flashChanged = true;
    } else if (region == Region::Ram) {
      memory[a] = value;
    } else if (a == kPmmCtl0 || a == kPmmCtl0 + 1) {
      pmmctl0[a - kPmmCtl0] = value;
    }
  }

  // Stores a run of bytes; true when it reset the device (key 0xA5 and a software reset
  // bit in PMMCTL0).
  bool StoreRun(uint32_t address, const std::vector<uint8_t>& bytes) {
    bool touchedPmm = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint32_t a = (address + static_cast<uint32_t>(i)) & kAddressMask;
      Store(a, bytes[i]);
      touchedPmm |= a == kPmmCtl0 || a == kPmmCtl0 + 1;
    }
    if (touchedPmm && pmmctl0[1] == kPmmKey && (pmmctl0[0] & kPmmResetBits)) {
      pmmctl0 = {};
      return true;
    }
    return false;
  }

  // Writes the buffered block; true when that reset the device.
  bool Commit() {
    if (pending.empty()) return false;
    std::vector<uint8_t> bytes;
    bytes.swap(pending);
    return StoreRun(pendingStart, bytes);
  }

  // The RAM loader's buffered write: a byte that does not continue the buffered run, or
  // lies in another 128-byte block, commits the run first.
  bool BufferWrite(uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      const uint32_t a = (address + static_cast<uint32_t>(i)) & kAddressMask;
      if (!pending.empty()) {
        const uint32_t next = (pendingStart + static_cast<uint32_t>(pending.size())) & kAddressMask;
        if ((a != next || a / kWriteBlock != pendingStart / kWriteBlock) && Commit()) return true;
      }
      if (pending.empty()) pendingStart = a;
      pending.push_back(bytes[i]);
    }
    return false;
  }

  void MassErase() {
    std::fill(memory.begin() + kMainStart, memory.begin() + kMainEnd, 0xFF);
    flashChanged = true;
    ++massErases;
  }

  void EraseSegment(uint32_t address) {
    const uint32_t a = address & kAddressMask;
    const Region region = RegionOf(a);
    if (!IsFlash(region)) return;
    const uint32_t size = region == Region::Main ? kMainSegment : kInfoSegment;
    const uint32_t start = a - a % size;
    std::fill(memory.begin() + start, memory.begin() + start + size, 0xFF);
    flashChanged = true;
    ++segmentErases;
  }

  uint16_t Crc(uint32_t address, uint32_t length) const {
    Crc16 crc;
    for (uint32_t i = 0; i < length; ++i) crc.Add(Read(address + i));
    return crc.Value();
  }

  bool RamLoaderImagePresent() const {
    bool version = false, body = false;
    for (uint32_t i = 0; i < 4; ++i) version |= Read(kRamLoaderVersion + i) != 0xFF;
    for (uint32_t i = 0; i < kRamLoaderProbe; ++i) body |= Read(kRamLoaderSecondRun + i) != 0xFF;
    return version && body;
  }

  void Password(const std::vector<uint8_t>& password, Outcome& out) {
    const bool match = !refusePasswords && password.size() == kPasswordLength &&
                       std::equal(password.begin(), password.end(),
                                  memory.begin() + kPasswordAddress);
    if (match) {
      unlocked = true;
      out.Message(kSuccess);
    } else {
      unlocked = false;
      MassErase();
      out.Message(kPasswordError);
    }
  }

  // The device jumps: to the RAM loader's entry with its image in RAM, it leaves and
  // returns running it; anywhere else it crashes and stays away.
  void Jump(uint32_t address, Outcome& out) {
    if (address == kRamLoaderEntry && RamLoaderImagePresent()) {
      ramLoaderOnJoin = true;
      for (uint32_t i = 0; i < 4; ++i) ramLoaderVersion[i] = Read(kRamLoaderVersion + i);
      out.Leave(kRamLoaderRejoinMs);
    } else {
      out.Leave(-1);
    }
  }

  // A reset starts the programmed firmware through its reset vector. Erased there, as
  // after an upgrade that stopped half-way, the device starts its ROM loader instead:
  // it leaves and rejoins as the loader, flash as it was, the encoder not started.
  void Reset(Outcome& out) {
    out.answers.clear();
    unlocked = false;
    pending.clear();
    ramLoaderOnJoin = false;
    if (Read(kResetVector) == 0xFF && Read(kResetVector + 1) == 0xFF) {
      out.Leave(kLoaderRestartMs);
      return;
    }
    out.reset = true;
    out.Leave(-1);
  }

  void Handle(const uint8_t* data, size_t length, Outcome& out);
  void HandleRom(const LoaderCommand& command, bool complete, Outcome& out);
  void HandleRam(const LoaderCommand& command, bool complete, Outcome& out);
};

void LoaderTwin::State::Handle(const uint8_t* data, size_t length, Outcome& out) {
  const bool ram = mode == Mode::Ram;
  const size_t coreLength = data[1];
  if (coreLength > kMaxCoreLength || coreLength + 2 > length) {
    if (ram) out.Message(kPacketTooLong);
    return;
  }
  if (coreLength == 0) {
    if (ram) out.Message(kUnknownCommand);
    return;
  }
  const uint8_t* core = data + 2;
  LoaderCommand command;
  command.code = core[0];
  const bool complete = coreLength >= MinimumLength(command.code);
  size_t dataFrom = 1;
  if (HasAddress(command.code) && complete) {
    command.address = core[1] | core[2] << 8 | static_cast<uint32_t>(core[3]) << 16;
    dataFrom = 4;
  }
  command.data.assign(core + dataFrom, core + coreLength);
  commands.push_back(command);
  if (ram) {
    HandleRam(command, complete, out);
  } else {
    HandleRom(command, complete, out);
  }
}

// The ROM loader: password, fast writes and load PC; silent to everything else, and
// to writes and jumps while locked.
void LoaderTwin::State::HandleRom(const LoaderCommand& command, bool complete, Outcome& out) {
  switch (command.code) {
    case kRxPassword:
      Password(command.data, out);
      break;
    case kRxDataBlockFast:
      if (complete && unlocked && StoreRun(command.address, command.data)) Reset(out);
      break;
    case kLoadPc:
      if (complete && unlocked) Jump(command.address, out);
      break;
    default:
      break;
  }
}

void LoaderTwin::State::HandleRam(const LoaderCommand& command, bool complete, Outcome& out) {
  const uint8_t code = command.code;
  if (!complete) {
    if (code != kRxDataBlockFast) out.Message(kUnknownCommand);
    return;
  }
  const bool guarded = code == kRxDataBlock || code == kEraseSegment || code == kCrcCheck ||
                       code == kLoadPc || code == kTxDataBlock || code == kRxDataBlockFast;
  if (guarded && !unlocked) {
    if (code != kRxDataBlockFast) out.Message(kLocked);
    return;
  }
  const auto& d = command.data;
  switch (code) {
    case kRxDataBlock:
    case kRxDataBlockFast:
      if (BufferWrite(command.address, d)) {
        Reset(out);
      } else if (code == kRxDataBlock) {
        out.Message(kSuccess);
      }
      break;
    case kRxPassword:
      Password(d, out);
      break;
    case kEraseSegment:
      EraseSegment(command.address);
      out.Message(kSuccess);
      break;
    case kMassErase:
      MassErase();
      out.Message(kSuccess);
      break;
    case kCrcCheck: {
      if (Commit()) {
        Reset(out);
        break;
      }
      const uint16_t crc = Crc(command.address, static_cast<uint32_t>(d[0] | d[1] << 8));
      if (!crcSilent) {
        out.answers.push_back(AnswerReport(
            {kData, static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}));
      }
      break;
    }
    case kLoadPc:
      if (Commit()) {
        Reset(out);
      } else {
        Jump(command.address, out);
      }
      break;
    case kTxDataBlock: {
      if (Commit()) {
        Reset(out);
        break;
      }
      const size_t total = static_cast<size_t>(d[0] | d[1] << 8);
      constexpr size_t kPerReport = kMaxCoreLength - 1;
      size_t sent = 0;
      do {
        const size_t count = std::min(kPerReport, total - sent);
        std::vector<uint8_t> bytes(count);
        for (size_t i = 0; i < count; ++i) {
          bytes[i] = Read(command.address + static_cast<uint32_t>(sent + i));
        }
        out.answers.push_back(AnswerReport({kData}, bytes.data(), count));
        sent += count;
      } while (sent < total);
      break;
    }
    case kTxVersion:
      out.answers.push_back(AnswerReport({kData, version[0], version[1], version[2], version[3]}));
      break;
    default:
      out.Message(kUnknownCommand);
      break;
  }
}

LoaderTwin::LoaderTwin() : state_(std::make_unique<State>()) {}
LoaderTwin::~LoaderTwin() = default;

uint8_t LoaderTwin::Read(uint32_t address) const {
  std::lock_guard lock(mutex_);
  return state_->Read(address);
}

std::vector<uint8_t> LoaderTwin::ReadRange(uint32_t address, size_t length) const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = state_->Read(address + static_cast<uint32_t>(i));
  return bytes;
}

void LoaderTwin::LoadFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  State& s = *state_;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint32_t a = (address + static_cast<uint32_t>(i)) & kAddressMask;
    const Region region = RegionOf(a);
    if (region == Region::Other) continue;
    s.memory[a] = bytes[i];
    s.flashChanged |= IsFlash(region);
  }
}

std::array<uint8_t, 32> LoaderTwin::Password() const {
  std::lock_guard lock(mutex_);
  std::array<uint8_t, 32> password{};
  std::copy_n(state_->memory.begin() + kPasswordAddress, password.size(), password.begin());
  return password;
}

void LoaderTwin::SetDefaultImageVersion(const std::string& version) {
  std::lock_guard lock(mutex_);
  if (!state_->flashChanged) state_->LoadDefaultImage(version);
}

bool LoaderTwin::RamLoaderRunning() const {
  std::lock_guard lock(mutex_);
  return state_->mode == Mode::Ram;
}

bool LoaderTwin::Unlocked() const {
  std::lock_guard lock(mutex_);
  return state_->unlocked;
}

int LoaderTwin::MassEraseCount() const {
  std::lock_guard lock(mutex_);
  return state_->massErases;
}

int LoaderTwin::SegmentEraseCount() const {
  std::lock_guard lock(mutex_);
  return state_->segmentErases;
}

std::vector<LoaderCommand> LoaderTwin::Commands() const {
  std::lock_guard lock(mutex_);
  return state_->commands;
}

void LoaderTwin::ClearCommands() {
  std::lock_guard lock(mutex_);
  state_->commands.clear();
}

void LoaderTwin::CorruptFlashByte(uint32_t address) {
  std::lock_guard lock(mutex_);
  state_->corrupted.insert(address & kAddressMask);
}

void LoaderTwin::SetRefusePasswords(bool refuse) {
  std::lock_guard lock(mutex_);
  state_->refusePasswords = refuse;
}

void LoaderTwin::SetCrcSilent(bool silent) {
  std::lock_guard lock(mutex_);
  state_->crcSilent = silent;
}

void LoaderTwin::UnplugAfterReports(int reports) {
  {
    std::lock_guard lock(mutex_);
    state_->unplugAfter = reports > 0 ? reports : -1;
    if (reports != 0) return;
    state_->ramLoaderOnJoin = false;
  }
  Bus::Instance().Unplug(*this);  // not under the twin's lock: the bus may call in
}

void LoaderTwin::SetReportIntervalMs(double ms) {
  std::lock_guard lock(mutex_);
  state_->intervalMs = ms > 0 ? ms : 0;
}

void LoaderTwin::SetOnReset(std::function<void(const LoaderTwin&, WriteContext&)> hook) {
  std::lock_guard lock(mutex_);
  state_->onReset = std::move(hook);
}

std::vector<SimInterface> LoaderTwin::Interfaces() const { return {{kInterface, 0xFF00, 0x01}}; }

std::wstring LoaderTwin::Manufacturer() const { return L"Texas Instruments"; }

std::wstring LoaderTwin::Product() const { return L"MSP430 USB BSL"; }

std::wstring LoaderTwin::SerialNumberString() const { return L""; }

double LoaderTwin::WriteIntervalMs() const {
  std::lock_guard lock(mutex_);
  return state_->intervalMs;
}

double LoaderTwin::ReadIntervalMs() const {
  std::lock_guard lock(mutex_);
  return state_->intervalMs;
}

void LoaderTwin::OnAttach() {
  std::lock_guard lock(mutex_);
  State& s = *state_;
  if (s.ramLoaderOnJoin) {
    s.mode = Mode::Ram;
    s.version = s.ramLoaderVersion;
    s.ramLoaderOnJoin = false;
  } else {
    // Power-up into the ROM loader: RAM holds nothing useful.
    s.mode = Mode::Rom;
    s.version = RomVersion;
    std::fill(s.memory.begin() + kRamStart, s.memory.begin() + kRamEnd, 0xFF);
  }
  s.unlocked = false;
  s.pending.clear();
  s.pmmctl0 = {};
}

bool LoaderTwin::OnWrite(int interfaceNumber, const uint8_t* data, size_t length,
                         WriteContext& context) {
  if (interfaceNumber != kInterface || length < 2 || data[0] != kReportId) return false;
  Outcome out;
  {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    s.Handle(data, length, out);
    if (s.unplugAfter > 0 && --s.unplugAfter == 0) {
      // Pulled out mid-transfer: gone for good, whatever the report started.
      s.unplugAfter = -1;
      s.ramLoaderOnJoin = false;
      out.reset = false;
      out.Leave(-1);
    }
    if (out.reset) out.resetHook = s.onReset;
  }
  for (const auto& answer : out.answers) context.Reply(answer, 0);
  if (out.leave) context.LeaveBus(0, out.rejoinAfterMs);
  if (out.resetHook) out.resetHook(*this, context);
  return true;
}

namespace {

// The version text of the image in the loader's flash: after "OVFW" at
// FirmwareVersionAddress, up to a zero. Empty when the image has no such header.
std::string ImageVersion(const LoaderTwin& loader) {
  const auto head = loader.ReadRange(FirmwareVersionAddress, sizeof kImageMagic + kMaxVersionText);
  if (!std::equal(std::begin(kImageMagic), std::end(kImageMagic), head.begin())) return {};
  std::string text;
  for (size_t i = sizeof kImageMagic; i < head.size() && head[i] != 0; ++i) {
    text.push_back(static_cast<char>(head[i]));
  }
  return text;
}

}  // namespace

std::shared_ptr<LoaderTwin> AttachLoaderTo(const std::shared_ptr<EncoderTwin>& encoder) {
  auto loader = std::make_shared<LoaderTwin>();
  // The encoder holds the loader through its hook; the loader holds the encoder weakly.
  const std::weak_ptr<EncoderTwin> weakEncoder = encoder;
  loader->SetDefaultImageVersion(encoder->FirmwareVersion());
  // The serial number lives in flash: a mass erase since the unit left takes it.
  auto erasesBefore = std::make_shared<std::atomic<int>>(loader->MassEraseCount());
  loader->SetOnReset([weakEncoder, erasesBefore](const LoaderTwin& resetLoader, WriteContext&) {
    const auto restarted = weakEncoder.lock();
    if (!restarted) return;
    const std::string version = ImageVersion(resetLoader);
    if (!version.empty()) restarted->SetFirmwareVersion(version);
    if (resetLoader.MassEraseCount() != erasesBefore->load()) restarted->SetSerialNumber("");
    erasesBefore->store(resetLoader.MassEraseCount());
    Bus::Instance().PlugAfter(restarted, kEncoderRestartMs);
  });
  encoder->SetOnEnterFirmwareUpgrade([weakEncoder, loader, erasesBefore](WriteContext&) {
    erasesBefore->store(loader->MassEraseCount());
    if (const auto leaving = weakEncoder.lock()) {
      loader->SetDefaultImageVersion(leaving->FirmwareVersion());
      loader->SetUsbPort(leaving->UsbPort());  // the same unit, on the same port
    }
    Bus::Instance().PlugAfter(loader, kLoaderJoinMs);
  });
  return loader;
}

}  // namespace pellix_usb_encoder::sim
