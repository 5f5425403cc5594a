// The encoder twin: the device side of the configuration protocol.
//
// A request is one 64-byte report on interface 1:
//   [0] 0x3F report id  [1] 0x40  [2] STX  [3..4] command, two hex digits
//   [5..6] payload length n, two hex digits  [7..] n payload bytes  [7+n] ETX
//   [8+n] XOR of bytes 2 .. 7+n
// A reply carries the echoed command digits, a length n counting the status byte and
// the data, the status byte, the data, ETX and the checksum, after 0x3F and a size byte
// holding the number of frame bytes that follow it. This file decodes the frame itself:
// it shares nothing with the host-side transport, so a fault in one is not mirrored by
// the other.

#include "sim/encoder_twin.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <utility>

namespace pellix_usb_encoder::sim {
namespace {

constexpr size_t kReportSize = 64;
constexpr uint8_t kReportId = 0x3F;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kRefusal = 0x0F;
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusBadParameter = 0x01;
constexpr uint8_t kOversizeByte = 0x41;
constexpr size_t kMaxFrameLength = 55;  // the largest n whose checksum still lands on byte 63
constexpr size_t kMaxTextTotal = 35;    // version + serial + third text, see StatusBlock
constexpr size_t kMaxSerialLength = 20;
constexpr uint8_t kMaxBrightness = 9;
constexpr uint8_t kMaxKeypadType = 2;
constexpr uint8_t kJackInserted = 0;
constexpr uint8_t kNoJack = 2;
constexpr int kConfigInterface = 1;
constexpr int kKeyboardInterface = 0;
// After FactoryReset or EnterFirmwareUpgrade the encoder restarts as soon as the host
// has read its reply. A host that does not read it finds the encoder gone this long
// after the reply fell due.
constexpr int64_t kUnreadReplyGraceMs = 50;

enum Command : uint8_t {
  kGetStatus = 0x01,
  kSetLedBrightness = 0x02,
  kLoadKeyTable = 0x05,
  kSetKeypadType = 0x07,
  kWriteDefault = 0x09,
  kFactoryReset = 0x0A,
  kEnterFirmwareUpgrade = 0x0C,
  kSetSerialNumber = 0x0E,
};

bool KnownCommand(uint8_t command) {
  switch (command) {
    case kGetStatus: case kSetLedBrightness: case kLoadKeyTable: case kSetKeypadType:
    case kWriteDefault: case kFactoryReset: case kEnterFirmwareUpgrade: case kSetSerialNumber:
      return true;
    default:
      return false;
  }
}

// The firmware reads hex digits strictly: both cases of A..F, nothing else.
int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint8_t HexDigit(unsigned value) { return static_cast<uint8_t>("0123456789ABCDEF"[value & 0x0F]); }

struct Request {
  uint8_t digits[2];  // the command as written, echoed in the reply
  uint8_t command;
  std::vector<uint8_t> payload;
};

std::optional<Request> Decode(const uint8_t* data, size_t length) {
  if (length != kReportSize || data[0] != kReportId || data[2] != kStx) return std::nullopt;
  const int c1 = HexValue(data[3]), c0 = HexValue(data[4]);
  const int n1 = HexValue(data[5]), n0 = HexValue(data[6]);
  if (c1 < 0 || c0 < 0 || n1 < 0 || n0 < 0) return std::nullopt;
  const size_t n = static_cast<size_t>(n1 * 16 + n0);
  if (n > kMaxFrameLength || data[7 + n] != kEtx) return std::nullopt;
  uint8_t sum = 0;
  for (size_t i = 2; i <= 7 + n; ++i) sum ^= data[i];
  if (data[8 + n] != sum) return std::nullopt;
  return Request{{data[3], data[4]},
                 static_cast<uint8_t>(c1 * 16 + c0),
                 std::vector<uint8_t>(data + 7, data + 7 + n)};
}

std::vector<uint8_t> ShortReport(uint8_t code) {
  std::vector<uint8_t> report(kReportSize, 0);
  report[0] = kReportId;
  report[1] = 0x01;
  report[2] = code;
  return report;
}

std::vector<uint8_t> ReplyFrame(const Request& request, uint8_t status,
                                const std::vector<uint8_t>& data) {
  const size_t n = 1 + data.size();  // at most 55: the status block is kept within 54
  std::vector<uint8_t> report(kReportSize, 0);
  report[0] = kReportId;
  report[1] = static_cast<uint8_t>(n + 7);
  report[2] = kStx;
  report[3] = request.digits[0];
  report[4] = request.digits[1];
  report[5] = HexDigit(static_cast<unsigned>(n >> 4));
  report[6] = HexDigit(static_cast<unsigned>(n));
  report[7] = status;
  std::copy(data.begin(), data.end(), report.begin() + 8);
  report[7 + n] = kEtx;
  uint8_t sum = 0;
  for (size_t i = 2; i <= 7 + n; ++i) sum ^= report[i];
  report[8 + n] = sum;
  return report;
}

// Cuts text at an embedded zero (which would end it early in the status block) and to
// at most `room` characters.
std::string Clamp(const std::string& text, size_t room) {
  std::string clean = text.substr(0, text.find('\0'));
  if (clean.size() > room) clean.resize(room);
  return clean;
}

// What the encoder does once its reply has gone out.
enum class After { Nothing, Restart, FirmwareLoader };

}  // namespace

struct EncoderTwin::State {
  EncoderSettings current = FactorySettings();
  EncoderSettings defaults = FactorySettings();
  bool jackInserted = false;
  std::string firmwareVersion = "V1.2.7";
  std::string serialNumber = "OV000123";
  std::string thirdText = "PX4W-A";
  bool inFirmwareUpgrade = false;
  int factoryResetCount = 0;
  int64_t latencyMs = 0;
  int64_t rejoinDelayMs = 500;
  std::deque<std::pair<EncoderFault, int>> faults;  // fault, requests left (< 0: sticky)
  int ackCount = 2;
  int64_t ackIntervalMs = 10;
  bool namesReadable = true;
  std::vector<ReceivedCommand> commands;
  std::function<void(WriteContext&)> onEnterFirmwareUpgrade;

  std::optional<EncoderFault> TakeFault() {
    if (faults.empty()) return std::nullopt;
    auto& [fault, left] = faults.front();
    const EncoderFault taken = fault;
    if (left > 0 && --left == 0) faults.pop_front();
    return taken;
  }

  // Carries out a well-formed request: sets the reply's status and data and tells what
  // the encoder does after replying.
  After Apply(const Request& request, uint8_t& status, std::vector<uint8_t>& replyData) {
    const auto& p = request.payload;
    auto bad = [&] { status = kStatusBadParameter; };
    After after = After::Nothing;
    switch (request.command) {
      case kGetStatus:
        replyData = StatusBlock();
        break;
      case kSetLedBrightness:
        if (p.size() != 2 || p[0] > 1 || p[1] > kMaxBrightness) {
          bad();
        } else {
          (p[0] == 0 ? current.volLedBrightness : current.jackLedBrightness) = p[1];
        }
        break;
      case kLoadKeyTable:
        if (p.size() != current.keyCodeTable.size()) {
          bad();
        } else {
          std::copy(p.begin(), p.end(), current.keyCodeTable.begin());
        }
        break;
      case kSetKeypadType:
        if (p.size() != 1 || p[0] > kMaxKeypadType) {
          bad();
        } else {
          current.keypadType = p[0];
        }
        break;
      case kWriteDefault:
        defaults = current;
        break;
      case kFactoryReset:
        current = defaults = FactorySettings();
        ++factoryResetCount;
        after = After::Restart;
        break;
      case kEnterFirmwareUpgrade:
        inFirmwareUpgrade = true;
        after = After::FirmwareLoader;
        break;
      case kSetSerialNumber: {
        const bool fits = firmwareVersion.size() + p.size() + thirdText.size() <=
                          kMaxTextTotal;
        const bool hasZero = std::find(p.begin(), p.end(), 0) != p.end();
        if (p.empty() || p.size() > kMaxSerialLength || !fits || hasZero) {
          bad();
        } else {
          serialNumber.assign(p.begin(), p.end());
        }
        break;
      }
    }
    return after;
  }

  std::vector<uint8_t> StatusBlock() const {
    std::vector<uint8_t> block;
    block.reserve(16 + kMaxTextTotal + 3);
    for (uint8_t byte : {current.volLedBrightness, current.jackLedBrightness,
                         current.ledStateJackIn, current.ledStateJackOut,
                         current.dimStateJackIn, current.dimStateJackOut,
                         jackInserted ? kJackInserted : kNoJack, current.keypadType}) {
      block.push_back(byte);
    }
    for (uint8_t key : current.keyCodeTable) block.push_back(key);
    for (const std::string* text : {&firmwareVersion, &serialNumber, &thirdText}) {
      for (char c : *text) block.push_back(static_cast<uint8_t>(c));
      block.push_back(0);
    }
    return block;
  }
};

namespace {

// What the twin does for one request, worked out under its own lock and carried out on
// the bus after the lock is released (so a hook may use the twin's accessors).
struct Outcome {
  struct Report {
    std::vector<uint8_t> bytes;
    int64_t delayMs;
    int64_t repeatEveryMs = -1;  // >= 0: endless
    bool leaveWhenRead = false;
  };
  std::vector<Report> reports;
  bool leave = false;
  int64_t leaveAfterMs = 0;
  int64_t rejoinAfterMs = -1;
  std::function<void(WriteContext&)> hook;
};

}  // namespace

EncoderTwin::EncoderTwin() : state_(std::make_unique<State>()) {}
EncoderTwin::~EncoderTwin() = default;

EncoderSettings EncoderTwin::FactorySettings() { return EncoderSettings{}; }

EncoderSettings EncoderTwin::Settings() const {
  std::lock_guard lock(mutex_);
  return state_->current;
}

void EncoderTwin::SetSettings(const EncoderSettings& settings) {
  std::lock_guard lock(mutex_);
  state_->current = settings;
}

EncoderSettings EncoderTwin::Defaults() const {
  std::lock_guard lock(mutex_);
  return state_->defaults;
}

bool EncoderTwin::JackInserted() const {
  std::lock_guard lock(mutex_);
  return state_->jackInserted;
}

void EncoderTwin::SetJackInserted(bool inserted) {
  std::lock_guard lock(mutex_);
  state_->jackInserted = inserted;
}

std::string EncoderTwin::FirmwareVersion() const {
  std::lock_guard lock(mutex_);
  return state_->firmwareVersion;
}

void EncoderTwin::SetFirmwareVersion(const std::string& version) {
  std::lock_guard lock(mutex_);
  auto& s = *state_;
  s.firmwareVersion = Clamp(version, kMaxTextTotal - s.serialNumber.size() - s.thirdText.size());
}

std::string EncoderTwin::SerialNumber() const {
  std::lock_guard lock(mutex_);
  return state_->serialNumber;
}

void EncoderTwin::SetSerialNumber(const std::string& serial) {
  std::lock_guard lock(mutex_);
  auto& s = *state_;
  s.serialNumber = Clamp(serial, kMaxTextTotal - s.firmwareVersion.size() - s.thirdText.size());
}

std::string EncoderTwin::ThirdText() const {
  std::lock_guard lock(mutex_);
  return state_->thirdText;
}

void EncoderTwin::SetThirdText(const std::string& text) {
  std::lock_guard lock(mutex_);
  auto& s = *state_;
  s.thirdText = Clamp(text, kMaxTextTotal - s.firmwareVersion.size() - s.serialNumber.size());
}

bool EncoderTwin::InFirmwareUpgrade() const {
  std::lock_guard lock(mutex_);
  return state_->inFirmwareUpgrade;
}

int EncoderTwin::FactoryResetCount() const {
  std::lock_guard lock(mutex_);
  return state_->factoryResetCount;
}

std::vector<uint8_t> EncoderTwin::StatusBlock() const {
  std::lock_guard lock(mutex_);
  return state_->StatusBlock();
}

void EncoderTwin::SetReplyLatencyMs(int64_t ms) {
  std::lock_guard lock(mutex_);
  state_->latencyMs = std::max<int64_t>(ms, 0);
}

void EncoderTwin::SetRejoinDelayMs(int64_t ms) {
  std::lock_guard lock(mutex_);
  state_->rejoinDelayMs = std::max<int64_t>(ms, 0);
}

void EncoderTwin::InjectFault(EncoderFault fault, int times) {
  if (times == 0) return;
  std::lock_guard lock(mutex_);
  state_->faults.emplace_back(fault, times);
}

void EncoderTwin::ClearFaults() {
  std::lock_guard lock(mutex_);
  state_->faults.clear();
}

void EncoderTwin::RemoveFault(EncoderFault fault) {
  std::lock_guard lock(mutex_);
  std::erase_if(state_->faults, [fault](const auto& queued) { return queued.first == fault; });
}

void EncoderTwin::SetAckStream(int count, int64_t intervalMs) {
  std::lock_guard lock(mutex_);
  state_->ackCount = count;
  state_->ackIntervalMs = std::max<int64_t>(intervalMs, 0);
}

void EncoderTwin::SetNamesReadable(bool readable) {
  std::lock_guard lock(mutex_);
  state_->namesReadable = readable;
}

std::vector<ReceivedCommand> EncoderTwin::Commands() const {
  std::lock_guard lock(mutex_);
  return state_->commands;
}

void EncoderTwin::ClearCommands() {
  std::lock_guard lock(mutex_);
  state_->commands.clear();
}

void EncoderTwin::SetOnEnterFirmwareUpgrade(std::function<void(WriteContext&)> hook) {
  std::lock_guard lock(mutex_);
  state_->onEnterFirmwareUpgrade = std::move(hook);
}

std::vector<SimInterface> EncoderTwin::Interfaces() const {
  return {{kKeyboardInterface, 0x01, 0x06}, {kConfigInterface, 0xFF00, 0x01}};
}

std::wstring EncoderTwin::Manufacturer() const { return L"Orvane Interface"; }

std::wstring EncoderTwin::Product() const { return L"Ovitone USB Encoder"; }

std::wstring EncoderTwin::SerialNumberString() const {
  const std::string serial = SerialNumber();
  return std::wstring(serial.begin(), serial.end());
}

bool EncoderTwin::NamesReadable() const {
  std::lock_guard lock(mutex_);
  return state_->namesReadable;
}

void EncoderTwin::OnAttach() {
  std::lock_guard lock(mutex_);
  state_->current = state_->defaults;
  state_->inFirmwareUpgrade = false;
}

bool EncoderTwin::OnWrite(int interfaceNumber, const uint8_t* data, size_t length,
                          WriteContext& context) {
  // The keyboard interface takes no output reports.
  if (interfaceNumber != kConfigInterface) return false;

  Outcome outcome;
  {
    std::lock_guard lock(mutex_);
    State& s = *state_;
    const auto request = Decode(data, length);
    if (request) s.commands.push_back({request->command, request->payload});
    // Malformed frames and unknown commands are refused without using up a fault.
    if (!request || !KnownCommand(request->command)) {
      outcome.reports.push_back({ShortReport(kRefusal), s.latencyMs, -1});
    } else {
      const auto fault = s.TakeFault();
      const bool applied = !fault || *fault == EncoderFault::BadChecksum ||
                           *fault == EncoderFault::OversizeByte ||
                           *fault == EncoderFault::AckStream ||
                           *fault == EncoderFault::DuplicateReply;
      uint8_t status = kStatusOk;
      std::vector<uint8_t> replyData;
      After after = After::Nothing;
      if (applied) after = s.Apply(*request, status, replyData);

      std::vector<uint8_t> reply = ReplyFrame(*request, status, replyData);
      int64_t replyDelay = s.latencyMs;
      if (fault) {
        switch (*fault) {
          case EncoderFault::Silence:
            reply.clear();
            break;
          case EncoderFault::Refuse:
            reply = ShortReport(kRefusal);
            break;
          case EncoderFault::BadStatus:
            reply = ReplyFrame(*request, kStatusBadParameter, {});
            break;
          case EncoderFault::BadChecksum:
            reply[1 + reply[1]] ^= 0xFF;  // the size byte counts up to the checksum
            break;
          case EncoderFault::OversizeByte:
            reply[1] = kOversizeByte;
            break;
          case EncoderFault::AckStream:
            if (s.ackCount < 0) {
              outcome.reports.push_back({ShortReport(kAck), s.latencyMs, s.ackIntervalMs});
              reply.clear();
            } else {
              for (int i = 0; i < s.ackCount; ++i) {
                outcome.reports.push_back(
                    {ShortReport(kAck), s.latencyMs + i * s.ackIntervalMs, -1});
              }
              replyDelay = s.latencyMs + s.ackCount * s.ackIntervalMs;
            }
            break;
          case EncoderFault::DuplicateReply:
            outcome.reports.push_back({reply, replyDelay, -1});
            break;
          case EncoderFault::UnplugDuringExchange:
            reply.clear();
            outcome.leave = true;
            outcome.leaveAfterMs = 0;
            outcome.rejoinAfterMs = -1;
            break;
        }
      }
      if (!reply.empty()) {
        outcome.reports.push_back({std::move(reply), replyDelay, -1, after != After::Nothing});
      }
      if (after != After::Nothing) {
        outcome.leave = true;
        outcome.leaveAfterMs = replyDelay + kUnreadReplyGraceMs;
        outcome.rejoinAfterMs = after == After::Restart ? s.rejoinDelayMs : -1;
        if (after == After::FirmwareLoader) outcome.hook = s.onEnterFirmwareUpgrade;
      }
    }
  }

  for (const auto& report : outcome.reports) {
    if (report.leaveWhenRead) {
      context.ReplyThenLeave(report.bytes, report.delayMs, outcome.rejoinAfterMs);
    } else if (report.repeatEveryMs >= 0) {
      context.ReplyRepeating(report.bytes, report.delayMs, report.repeatEveryMs);
    } else {
      context.Reply(report.bytes, report.delayMs);
    }
  }
  if (outcome.leave) context.LeaveBus(outcome.leaveAfterMs, outcome.rejoinAfterMs);
  if (outcome.hook) outcome.hook(context);
  return true;
}

std::shared_ptr<EncoderTwin> PlugEncoder() {
  auto twin = std::make_shared<EncoderTwin>();
  Bus::Instance().Plug(twin);
  return twin;
}

}  // namespace pellix_usb_encoder::sim
