// The encoder twin: the Ovitone USB encoder as the simulated bus presents it.
//
// Vendor 0x2047, product 0x0A3B, a keyboard interface 0 and the configuration
// interface 1. It answers every command of the configuration protocol with its real
// effect on the twin's state, and lets tests inject faults into its replies.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_bus.h"

namespace pellix_usb_encoder::sim {

// The encoder's settings: what GetStatus reports and WriteDefault keeps.
struct EncoderSettings {
  uint8_t volLedBrightness = 6;
  uint8_t jackLedBrightness = 6;
  uint8_t ledStateJackIn = 0x07;
  uint8_t ledStateJackOut = 0x03;
  uint8_t dimStateJackIn = 6;
  uint8_t dimStateJackOut = 6;
  uint8_t keypadType = 0;
  std::array<uint8_t, 8> keyCodeTable{0x00, 0x80, 0x00, 0x81, 0x00, 0x68, 0x00, 0x69};
  bool operator==(const EncoderSettings&) const = default;
};

// Faults the twin can put into its answers to the next requests on interface 1.
// A fault is used up by a well-formed request for a known command (malformed frames and
// unknown commands are refused without using one). Whether the command still takes
// effect is noted per fault: a lost or refused request does not, a reply damaged on its
// way back does.
enum class EncoderFault {
  Silence,               // accepts the request, never answers; not applied
  Refuse,                // answers with a 0x0F refusal; not applied
  BadStatus,             // well-formed reply whose status byte is 0x01; not applied
  BadChecksum,           // reply with a wrong checksum (last frame byte); applied
  OversizeByte,          // reply whose size byte (offset 1) is 0x41; applied
  AckStream,             // acknowledgements (0x06) before the reply, see SetAckStream;
                         // applied
  DuplicateReply,        // the reply is sent twice; applied
  UnplugDuringExchange,  // takes the request, then leaves the bus before answering; not
                         // applied. It stays away until Bus::Plug puts it back.
};

// One request the twin received on interface 1, decoded.
struct ReceivedCommand {
  uint8_t command = 0;
  std::vector<uint8_t> payload;
};

class EncoderTwin : public SimDevice, public std::enable_shared_from_this<EncoderTwin> {
 public:
  static constexpr uint16_t VendorIdValue = 0x2047;
  static constexpr uint16_t ProductIdValue = 0x0A3B;

  EncoderTwin();
  ~EncoderTwin() override;

  static EncoderSettings FactorySettings();

  // Current settings, the defaults restored at power-up, and the other status texts.
  EncoderSettings Settings() const;
  void SetSettings(const EncoderSettings& settings);
  EncoderSettings Defaults() const;
  bool JackInserted() const;             // false (status byte 2) unless set
  void SetJackInserted(bool inserted);
  std::string FirmwareVersion() const;   // "V1.2.7" unless set
  void SetFirmwareVersion(const std::string& version);
  // The three texts of the status block together hold at most 35 characters; the
  // setters cut the new text short to keep it so (and at an embedded zero). The serial
  // number survives power-up and FactoryReset.
  std::string SerialNumber() const;      // "OV000123" unless set
  void SetSerialNumber(const std::string& serial);
  std::string ThirdText() const;         // "PX4W-A" unless set
  void SetThirdText(const std::string& text);
  bool InFirmwareUpgrade() const;        // after EnterFirmwareUpgrade
  int FactoryResetCount() const;

  // The status block as GetStatus returns it (reply data after the status byte).
  std::vector<uint8_t> StatusBlock() const;

  // Timing. Latency applies to every reply; the rejoin delay to the re-enumeration
  // after FactoryReset (default 500 ms on the bus clock).
  void SetReplyLatencyMs(int64_t ms);
  void SetRejoinDelayMs(int64_t ms);

  // Faults: applies `fault` to the next `times` requests on interface 1; times < 0
  // keeps it until ClearFaults. Faults queue in the order injected.
  void InjectFault(EncoderFault fault, int times = 1);
  void ClearFaults();
  // Withdraws every pending injection of `fault`, leaving the other faults queued as
  // they were.
  void RemoveFault(EncoderFault fault);
  // With AckStream: `count` acknowledgements (count < 0: endless) `intervalMs` apart,
  // the first after the reply latency, then the reply. Default: 2 acknowledgements
  // 10 ms apart.
  void SetAckStream(int count, int64_t intervalMs);
  void SetNamesReadable(bool readable);

  // Decoded requests received on interface 1, in order (valid frames only, including
  // unknown commands and requests hit by a fault).
  std::vector<ReceivedCommand> Commands() const;
  void ClearCommands();

  // Called (under the bus lock, after the reply is queued) when the encoder leaves for
  // its firmware loader; the firmware loader twin hooks in here.
  void SetOnEnterFirmwareUpgrade(std::function<void(WriteContext&)> hook);

  // SimDevice
  uint16_t VendorId() const override { return VendorIdValue; }
  uint16_t ProductId() const override { return ProductIdValue; }
  std::vector<SimInterface> Interfaces() const override;
  std::wstring Manufacturer() const override;  // "Orvane Interface"
  std::wstring Product() const override;       // "Ovitone USB Encoder"
  std::wstring SerialNumberString() const override;
  bool NamesReadable() const override;
  bool OnWrite(int interfaceNumber, const uint8_t* data, size_t length,
               WriteContext& context) override;
  void OnAttach() override;

 private:
  struct State;
  mutable std::mutex mutex_;
  std::unique_ptr<State> state_;
};

// Plugs a fresh encoder twin into the bus and returns it.
std::shared_ptr<EncoderTwin> PlugEncoder();

}  // namespace pellix_usb_encoder::sim
