// The firmware upgrade without its window: the checks on the chosen file, the loader
// sequence that programs and verifies it, the reset into the new firmware, and the
// restore of the user's settings afterwards. The upgrade window and the command line
// both run it; it needs Qt Core only (texts, the embedded loader images, the worker
// thread).
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/encoder_session.h"
#include "loader/bsl430.h"
#include "support/service/background_worker.h"

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
  static QString GetString(const QString& name);
};

// The unit an upgrade is for, and what to write back into it once it runs the new
// firmware.
struct UpgradeUnit {
  // The unit's USB port. Empty until known: an upgrade that starts with the unit
  // already in its loader takes the port of the one loader waiting.
  std::string port;
  EncoderSettings settings = EncoderSettings::Fallback();
  // The settings were read from the encoder or from its recovery record, not made up.
  bool settingsKnown = false;
  // The settings come from a recovery record written before an earlier upgrade.
  bool fromRecovery = false;
};

// The upgrade's state and sequence. The statics are the loader identifiers and the
// figures the upgrade measures; the unit and its settings travel as a value.
class FirmwareUpgrader {
 public:
  virtual ~FirmwareUpgrader() = default;

  // The unit this upgrade programs and the settings it restores.
  UpgradeUnit unit;

  // Loader identifiers ("0x" and four hexadecimal digits) and which device to open.
  static QString myVID;
  static QString myPID;
  static QString myDeviceIndex;
  // Tick counts (ms) around the programming, and its length in whole seconds; each
  // upgrading thread has its own (the command line upgrades several units at once).
  static thread_local uint32_t startProgramTime;
  static thread_local uint32_t stopProgramTime;
  static thread_local uint32_t totalProgramTime;

  // Sets myVID and myPID from the embedded identifiers.
  static void InitializeVidPid();
  // Loader devices (myVID:myPID) on the bus now.
  static uint32_t CountLoaderDevices();

  // Text helpers.
  // Copies the low 8 bits of every character of `str` to consecutive bytes at
  // `character`; writes no terminator.
  static void StringToChar(const QString& str, char* character);
  // The bytes the system spells `path` with (UTF-8 on Linux), as the loader library
  // and the file functions take it; false when the path cannot be spelled so (a
  // character the system's encoding lacks, or a zero).
  static bool PathToBytes(const QString& path, QByteArray& bytes);
  // Widens "0x" plus hexadecimal digits to four digits: "0x200" gives "0x0200".
  static QString padHexStringValue(QString hexString);

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

  // Checks that `path` can be programmed at all, before any device command: there is a
  // usable RAM loader for the units on the bus (FindRamLoader), the system can spell the path and it fits the loader
  // library's 200-byte buffer, the whole file is a valid TI-TXT image with data, and the
  // image writes only programmable flash and sets the reset vector
  // (CheckProgrammableImage). Otherwise false, with the reason in `problem`.
  static bool CheckFirmwareFile(const QString& path, QString& problem);

  // The whole upgrade on the calling (worker) thread: the file check, the choice of the
  // loader (ChooseLoader), then CustomSelectedFirmware. e.Result is true when the image
  // was programmed, verified and the device reset into it.
  void RunUpgrade(const QString& path, BackgroundWorker& worker,
                  BackgroundWorker::DoWorkEventArgs& e);

  // The upgrade sequence (on the upgrade worker).
  bool DownloadStartUp(BackgroundWorker& worker, BackgroundWorker::DoWorkEventArgs& e,
                       bool& massErased);
  void CustomSelectedFirmware(const QString& filenameString, BackgroundWorker& worker,
                              BackgroundWorker::DoWorkEventArgs& e);
  bool TriggerForcedBOR(BackgroundWorker& worker);

  // The RAM loader image. A unit on the simulated bus gets the stand-in built into the
  // program, which no real unit can run. A real unit gets the vendor's image, looked for
  // in this order: the file named with SetRamLoaderFile (ovitone-cli --ram-loader),
  // RamLoaderFileName in the configuration folder, then in the installed data folders,
  // and last an image built in with the CMake option OVITONE_RAM_BSL_FILE. The first
  // image there is checked (firmware/core/ram_loader.h) and used, or refused with its reason.
  // True with the image's text and where it came from; otherwise false with what is wrong
  // in `problem`, to be followed by RamLoaderAdvice when there is no image at all.
  static bool FindRamLoader(std::string& text, std::string& source, std::string& problem,
                            bool* missing = nullptr);
  // Where to put the image and how to get it.
  static std::string RamLoaderAdvice();
  // FindRamLoader for the upgrade: false with the whole message (what is wrong, where to
  // put the image and how to get it, and that nothing was sent).
  static bool CheckRamLoader(QString& problem);
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
  // elsewhere). Empty: the per-user one.
  static std::string RecoveryFolder();
  static void SetRecoveryFolder(const std::string& folder);

  // Before the encoder is sent into its loader (the encoder is open): learns its USB
  // port and keeps its settings in a recovery record, so that a failure later loses
  // nothing. A pending record of the same unit (same port, and the same serial number
  // when the encoder reports one) wins over `unit.settings`: it holds what the user had
  // before an earlier upgrade stopped. False, with the reason in `problem`, when the
  // port cannot be learnt or the record cannot be written: nothing must be sent then.
  static bool PrepareUnit(UpgradeUnit& unit, QString& problem);

  // Finds the loader to program: the one on unit.port, or, with no port yet, the only
  // loader on the bus. Takes the settings from a recovery record when they are not
  // known. False, with the reason in `problem`, when there is none or more than one.
  static bool ChooseLoader(UpgradeUnit& unit, QString& problem);
  // Loader devices on `port` now.
  static int LoadersOnPort(const std::string& port);

  // After a successful upgrade: waits for the encoder to restart in its new firmware,
  // opens it on the unit's port and writes the settings back (serial number when it is
  // a real one, keypad type, table, both LED groups, then saves them as the defaults).
  // The unit's recovery record is removed once that is done.
  enum class RestoreOutcome { Done, NotConnected, CommandFailed };
  // On CommandFailed `failure` holds the message of the command that failed.
  static RestoreOutcome RestoreEncoderSettings(const UpgradeUnit& unit, QString& failure);
};

}  // namespace pellix_usb_encoder
