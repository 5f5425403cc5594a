// The firmware upgrade without a window: the checks on the chosen file, the loader
// sequence that programs and verifies it, the reset into the new firmware, and the
// restore of the user's settings afterwards into the unit that proves to be theirs.
// Standard library and hidapi only: the upgrade window, the command line and the
// browser page all run this one engine; progress, log lines, waits and questions reach
// them through the callbacks they hand in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/device_text.h"
#include "device/encoder_session.h"
#include "firmware/core/settings_recovery.h"
#include "loader/bsl430.h"

namespace pellix_usb_encoder {

// The loader's version text as last returned by the library (written by the upgrade
// worker only).
extern thread_local const char* bslVersion;

// Owner of the upgrade's identifiers and images; never shown.
class Firmware {
 public:
  // "VID", "PID", "RAM_BSL_VERSION", and the images "RAM_BSL.Text", "password.Text" and
  // "Forced_BOR.Text" (TI-TXT). "RAM_BSL.Text" is the RAM loader for the units on the
  // bus (FirmwareUpgrader::FindRamLoader), empty when there is none. Any other name gives
  // an empty string.
  static std::string GetString(const std::string& name);
};

// The unit an upgrade is for, and what to write back into it once it runs the new
// firmware.
struct UpgradeUnit {
  // The unit's USB port. Empty until known: an upgrade that starts with the unit
  // already in its loader takes the port of the one loader waiting.
  std::string port;
  EncoderSettings settings = EncoderSettings::Fallback();
  // The settings were read from the encoder before it left for its loader (or taken
  // from its own recovery record then), not made up.
  bool settingsKnown = false;
  // They come from the unit's recovery record, written before an earlier upgrade.
  bool fromRecovery = false;
  // This program sent the encoder into its loader (something was sent to the unit).
  bool entered = false;

  // The serial number the unit proved to have before it left: the one its settings
  // were read with, when it is one a unit can have. Empty: unknown.
  std::string Identity() const;
};

// What the engine hands to its front end.
struct UpgradeHooks {
  // A progress report: percentage and text ("\r\n"-terminated lines, or empty to move
  // the bar only). Called on the thread running the sequence.
  std::function<void(int percent, const std::string& text)> progress;
  // The program's fixed waits; none given: a plain sleep.
  std::function<void(int ms)> sleep;
  // The millisecond tick counter; none given: the steady clock.
  std::function<uint64_t()> ticks;
};

// Settings that may belong to a unit which cannot prove who it is.
struct RestoreCandidate {
  EncoderSettings settings;  // settings.serialNumber: the unit they were kept for
  std::string keptAt;        // when they were kept (empty: in this run)
  std::string keptOn;        // the USB port they were kept on
};

// Asked when the unit on `port` cannot be identified after its upgrade: which of the
// candidates (if any) to write into it. std::nullopt: none; nothing is then written.
using RestoreDecider =
    std::function<std::optional<size_t>(const std::string& port,
                                        const std::vector<RestoreCandidate>& candidates)>;

enum class RestoreOutcome {
  Restored,         // the user's own settings are back in their unit
  FallbackWritten,  // its settings were unknown and no record can be its: defaults written
  NotIdentified,    // it cannot prove who it is and no one said: nothing written
  OtherUnit,        // another unit is on the port: nothing written into it
  NothingKept,      // (restore only) no settings are kept for this unit: nothing written
  NotConnected,     // no encoder came back on the unit's port
  CommandFailed,    // a restore command was refused: `failure` says which
};

struct RestoreResult {
  RestoreOutcome outcome = RestoreOutcome::NotConnected;
  std::string failure;         // CommandFailed: the message of the command that failed
  std::string reportedSerial;  // the serial the encoder reported after the upgrade
  std::string expectedSerial;  // the serial the unit had before (empty: unknown)
  std::string restoredSerial;  // Restored: whose settings went in
  bool confirmed = false;      // Restored on the user's word, not on evidence
  std::string firmware;        // the firmware the encoder reports afterwards (may be empty)
};

// Where a unit is now, seen from its port.
enum class UnitPlace { Firmware, Loader, Gone };

// The upgrade's state and sequence. The statics are the loader identifiers and the
// figures the upgrade measures; the unit and its settings travel as a value.
class FirmwareUpgrader {
 public:
  virtual ~FirmwareUpgrader() = default;

  // The unit this upgrade programs and the settings it restores.
  UpgradeUnit unit;

  // Loader identifiers ("0x" and four hexadecimal digits) and which device to open.
  static std::string myVID;
  static std::string myPID;
  static std::string myDeviceIndex;
  // Tick counts (ms) around the programming, and its length in whole seconds; each
  // upgrading thread has its own (the command line upgrades several units at once).
  static thread_local uint32_t startProgramTime;
  static thread_local uint32_t stopProgramTime;
  static thread_local uint32_t totalProgramTime;

  // Sets myVID and myPID from the embedded identifiers (once; later calls keep them).
  static void InitializeVidPid();
  // Loader devices (myVID:myPID) on the bus now.
  static uint32_t CountLoaderDevices();

  // Text helpers.
  // Copies the bytes of `str` to consecutive bytes at `character`; writes no terminator.
  static void StringToChar(const std::string& str, char* character);
  // Widens "0x" plus hexadecimal digits to four digits: "0x200" gives "0x0200".
  static std::string padHexStringValue(std::string hexString);

  // Image verification and erase (on the upgrade worker).
  // CRC-16/CCITT-FALSE of the block's first byteCount bytes.
  static uint32_t Calculate_CRC(DataBlock_ data);
  // The device's CRC of the range when crcValue is 0; otherwise 0 for a match and
  // 0xFFFFFFFF for a mismatch. 0xFFFFFFFF when the device does not answer.
  static uint32_t CRC_Check(uint32_t addr, uint32_t length, uint32_t crcValue);
  // 0 every block matches, 1 a block differs, 0xFFFFFFFE the file cannot be opened.
  static uint32_t CRC_Check_File(char* filename);
  // Erases every flash segment the image in the file writes to, each once, lowest
  // first; 0 done, 0xFFFFFFFE the file cannot be opened.
  static uint32_t EraseDataSegment_File(char* fileName);

  // Checks that `path` (the system's bytes of the file name) can be programmed at all,
  // before any device command: there is a usable RAM loader for the units on the bus,
  // the path fits the loader library's 200-byte buffer, the whole file is a valid
  // TI-TXT image with data, and the image writes only programmable flash and sets the
  // reset vector. Otherwise false, with the reason in `problem`.
  static bool CheckFirmwareFile(const std::string& path, std::string& problem);

  // The whole upgrade on the calling (worker) thread: the file check, the choice of the
  // loader (ChooseLoader), then CustomSelectedFirmware. True when the image was
  // programmed, verified and the device reset into it.
  bool RunUpgrade(const std::string& path, const UpgradeHooks& hooks);
  // Whether the last RunUpgrade sent anything to a loader (false: it was refused first).
  bool LoaderTouched() const { return loaderTouched_; }

  // The upgrade sequence (on the upgrade worker).
  bool DownloadStartUp(bool& massErased);
  bool CustomSelectedFirmware(const std::string& path);
  bool TriggerForcedBOR();

  // The RAM loader image. A unit on the simulated bus gets the stand-in built into the
  // program, which no real unit can run. A real unit gets the vendor's image, looked for
  // in this order: the file named with SetRamLoaderFile (ovitone-cli --ram-loader),
  // RamLoaderFileName in the configuration folder, then in the installed data folders,
  // and last an image built in with the CMake option OVITONE_RAM_BSL_FILE. The first
  // image there is checked (firmware/core/ram_loader.h) and used, or refused with its
  // reason. True with the image's text and where it came from; otherwise false with what
  // is wrong in `problem`, to be followed by RamLoaderAdvice when there is no image at all.
  static bool FindRamLoader(std::string& text, std::string& source, std::string& problem,
                            bool* missing = nullptr);
  // Where to put the image and how to get it.
  static std::string RamLoaderAdvice();
  // FindRamLoader for the upgrade: false with the whole message (what is wrong, where to
  // put the image and how to get it, and that nothing was sent).
  static bool CheckRamLoader(std::string& problem);
  // The file the user named; empty: none.
  static void SetRamLoaderFile(const std::string& path);
  // The installed data folders searched: the one the program was built for, and the
  // one beside the program's own folder (../share/ovitone-utility) when it differs.
  // Tests name others; std::nullopt puts the installed ones back.
  static std::vector<std::string> RamLoaderDataFolders();
  static void SetRamLoaderDataFolders(std::optional<std::vector<std::string>> folders);
  // Whether the units on the bus are real hardware: false on the simulated bus. Tests of
  // the real units' path on the simulated bus say true; std::nullopt asks the bus again.
  static bool RealUnits();
  static void SetRealUnitsForTests(std::optional<bool> real);

  // The configuration folder, where recovery records are kept (tests may point it
  // elsewhere). Empty when there is no usable per-user folder; `problem` then says why.
  static std::string RecoveryFolder(std::string* problem = nullptr);
  static void SetRecoveryFolder(const std::string& folder);

  // Before the encoder is sent into its loader (the encoder is open, its status read
  // into `unit` when it could be): learns its USB port and keeps its settings in the
  // record of its serial number, so that a failure later loses nothing. The unit's own
  // pending record (same serial number) wins over what was read: it holds what the user
  // had before an earlier upgrade stopped. False, with the reason in `problem`, when the
  // port cannot be learnt or the record cannot be written: nothing must be sent then.
  static bool PrepareUnit(UpgradeUnit& unit, std::string& problem);

  // Finds the loader to program: the one on unit.port, or, with no port yet, the only
  // loader on the bus. False, with the reason in `problem`, when there is none or more
  // than one.
  static bool ChooseLoader(UpgradeUnit& unit, std::string& problem);
  // Loader devices on `port` now.
  static int LoadersOnPort(const std::string& port);
  // Where the unit on `port` is now.
  static UnitPlace WhereIs(const std::string& port);

  // After a successful upgrade: waits for the encoder to restart in its new firmware,
  // opens it on the unit's port and writes settings back (serial number when it is a
  // real one, keypad type, table, both LED groups, then saves them as the defaults):
  //  - the unit's own settings when it proves to be the unit they belong to: it reports
  //    the serial number it had before, or the serial number of a record;
  //  - when it reports no serial number, what `decide` picks among the settings that
  //    might be its own (nothing when it picks none, or when there is no `decide`);
  //  - the fallback settings only when nothing can be its own.
  // Another unit on the port gets nothing. A record is removed once its settings are
  // back in its unit. With `afterUpgrade` false (a restore on its own, the encoder open
  // already on unit.port) there is no wait, and never a fallback: NothingKept instead.
  static RestoreResult RestoreEncoderSettings(const UpgradeUnit& unit, const UpgradeHooks& hooks,
                                              const RestoreDecider& decide,
                                              bool afterUpgrade = true);

  // "Nothing was sent." or, once the unit is in its loader, what that means.
  static std::string NothingSentText(const UpgradeUnit& unit);

 private:
  bool loaderTouched_ = false;
  const UpgradeHooks* hooks_ = nullptr;
  void Report(int percent, const std::string& text) const;
  void Sleep(int ms) const;
  uint64_t Ticks() const;
};

// "the settings of serial number X, kept 2026-12-07 13:05 on USB port 1-2".
std::string DescribeCandidate(const RestoreCandidate& candidate);

// One line on what the restore did, for the window's log and the command line.
std::string DescribeRestore(const RestoreResult& result, const std::string& port);

}  // namespace pellix_usb_encoder
