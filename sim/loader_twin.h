// The loader twin: the encoder's microcontroller while it runs its USB bootstrap loader
// (vendor 0x2047, product 0x0200, one HID interface), as the simulated bus presents it.
//
// It models the MSP430F5xx memory the loader works on (main flash in 512-byte
// segments from 0x4400 with the vector area at 0xFF80..0xFFFF and more above 0x10000,
// information memory 0x1800..0x19FF in 128-byte segments, RAM from 0x2400), the
// password at 0xFFE0..0xFFFF, mass erase on a refused password, the ROM loader that
// takes only RX password, load PC and RX data block fast, the RAM loader started by
// load PC 0x2504, write buffering in 128-byte blocks, segment erase, CRC and version,
// and the reset by writing 04 A5 to 0x0120 (into the ROM loader again while the reset
// vector is erased).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/encoder_twin.h"
#include "sim/sim_bus.h"

namespace pellix_usb_encoder::sim {

// One core command the twin received, decoded.
struct LoaderCommand {
  uint8_t code = 0;           // 0x10 RX data block, 0x11 password, 0x12 erase segment, ...
  uint32_t address = 0;       // for commands that carry one
  std::vector<uint8_t> data;  // data or password bytes; length bytes for CRC / TX
};

class LoaderTwin : public SimDevice {
 public:
  static constexpr uint16_t VendorIdValue = 0x2047;
  static constexpr uint16_t ProductIdValue = 0x0200;
  // The ROM loader's own version bytes (what TX BSL version reports before the RAM
  // loader runs, if it answered; the ROM loader does not).
  static constexpr std::array<uint8_t, 4> RomVersion{0x00, 0x05, 0x04, 0x34};

  LoaderTwin();
  ~LoaderTwin() override;

  // Memory, for tests and for the encoder that restarts from it.
  uint8_t Read(uint32_t address) const;
  std::vector<uint8_t> ReadRange(uint32_t address, size_t length) const;
  // Programs flash directly (test set-up), bypassing the protocol.
  void LoadFlash(uint32_t address, const std::vector<uint8_t>& bytes);
  std::array<uint8_t, 32> Password() const;  // the contents of 0xFFE0..0xFFFF
  // While flash still holds the image the twin was made with (no LoadFlash, no write or
  // erase by the host), makes it that image with `version` after "OVFW"; afterwards it
  // does nothing. AttachLoaderTo gives the loader the encoder's version this way.
  void SetDefaultImageVersion(const std::string& version);

  bool RamLoaderRunning() const;
  bool Unlocked() const;
  int MassEraseCount() const;
  int SegmentEraseCount() const;

  // Decoded commands received, in order.
  std::vector<LoaderCommand> Commands() const;
  void ClearCommands();

  // Faults.
  // Every write to `address` stores the byte with its lowest bit flipped, so that
  // verification by CRC fails.
  void CorruptFlashByte(uint32_t address);
  // Every password is refused (and the flash mass-erased), as by a damaged loader.
  void SetRefusePasswords(bool refuse);
  // The CRC check gets no answer.
  void SetCrcSilent(bool silent);
  // Leaves the bus for good after `reports` more reports from the host (mid-transfer):
  // the last of them is taken but its answer is lost. 0 leaves now, < 0 cancels.
  void UnplugAfterReports(int reports);
  // Paces the link: the host can write one report per `ms` and read one per `ms`
  // (1 ms is the USB full-speed interrupt limit). 0: no pacing.
  void SetReportIntervalMs(double ms);

  // Called (under the bus lock) when the device resets into the programmed firmware,
  // after it left the bus; the encoder twin hooks in here to rejoin. Not called when the
  // reset vector is erased: the device then rejoins as its ROM loader.
  void SetOnReset(std::function<void(const LoaderTwin&, WriteContext&)> hook);

  // SimDevice
  uint16_t VendorId() const override { return VendorIdValue; }
  uint16_t ProductId() const override { return ProductIdValue; }
  std::vector<SimInterface> Interfaces() const override;
  std::wstring Manufacturer() const override;  // "Texas Instruments"
  std::wstring Product() const override;       // "MSP430 USB BSL"
  std::wstring SerialNumberString() const override;
  bool OnWrite(int interfaceNumber, const uint8_t* data, size_t length,
               WriteContext& context) override;
  void OnAttach() override;
  double WriteIntervalMs() const override;
  double ReadIntervalMs() const override;

 private:
  struct State;
  mutable std::mutex mutex_;
  std::unique_ptr<State> state_;
};

// The encoder's firmware images carry their version text at this address, after the
// four bytes "OVFW", zero-terminated; the encoder twin restarted from flash reports it.
constexpr uint32_t FirmwareVersionAddress = 0x4400;

// Connects an encoder twin to a loader twin: EnterFirmwareUpgrade on the encoder plugs
// the loader (whose flash holds the encoder's current firmware image and password);
// the loader's reset makes the encoder rejoin running the programmed image (its
// version from FirmwareVersionAddress, its settings kept; its serial number, kept in
// flash, is gone when the flash was mass-erased on the way).
std::shared_ptr<LoaderTwin> AttachLoaderTo(const std::shared_ptr<EncoderTwin>& encoder);

}  // namespace pellix_usb_encoder::sim
