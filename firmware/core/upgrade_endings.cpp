#include "firmware/core/upgrade_endings.h"

#include "device/device_text.h"

namespace pellix_usb_encoder {

UnitPlace PlaceOfUnit(const UpgradeUnit& unit) {
  if (!unit.port.empty()) return FirmwareUpgrader::WhereIs(unit.port);
  return FirmwareUpgrader::CountLoaderDevices() > 0 ? UnitPlace::Loader : UnitPlace::Firmware;
}

std::string KeptNote(const UpgradeUnit& unit) {
  const std::string serial = unit.Identity();
  if (serial.empty()) return {};
  const auto record = FindRecoveryRecord(FirmwareUpgrader::RecoveryFolder(), serial);
  if (!record) return {};
  return "The settings of serial number " + PrintableDeviceText(serial) +
         (record->keptAt.empty() ? std::string() : " (kept " + record->keptAt + ")") +
         " are safe; the next upgrade of this unit will restore them.\r\n";
}

std::string FailureEnding(const UpgradeUnit& unit, UnitPlace place, bool loaderTouched) {
  const std::string port = PrintableDeviceText(unit.port);
  std::string text;
  switch (place) {
    case UnitPlace::Loader:
      text = (port.empty() ? std::string("The encoder waits in its firmware loader")
                           : "The encoder waits in its firmware loader on USB port " + port) +
             (loaderTouched ? ": the upgrade did not finish. Click Upgrade Firmware to try again.\r\n"
                            : "; nothing was programmed. Choose a firmware file it can take, "
                              "then click Upgrade Firmware.\r\n");
      break;
    case UnitPlace::Firmware:
      text = port.empty() ? std::string("No firmware was programmed.\r\n")
                          : "The encoder on USB port " + port +
                                " runs its firmware; the upgrade did not finish. To try again, "
                                "click Scan For Device in the main window and start the upgrade "
                                "there.\r\n";
      break;
    case UnitPlace::Gone:
      text = "The upgrade did not finish, and the encoder is no longer on the USB bus (USB port " +
             port +
             "). Plug it in again: once this window finds its loader, click Upgrade Firmware; if "
             "it starts its firmware, click Scan For Device in the main window.\r\n";
      break;
  }
  return text + KeptNote(unit);
}

std::string CloseAdvice(const UpgradeUnit& unit, UnitPlace place) {
  const std::string port = PrintableDeviceText(unit.port);
  switch (place) {
    case UnitPlace::Firmware:
      break;
    case UnitPlace::Loader:
      return (port.empty() ? std::string("The encoder waits")
                           : "The encoder on USB port " + port + " waits") +
             " in its firmware loader and cannot be used until an upgrade finishes. To finish "
             "it, click Update Ovitone Firmware in the main window again.\n";
    case UnitPlace::Gone:
      if (!unit.port.empty()) {
        return "The encoder is not on the USB bus (USB port " + port +
               "). Plug it in again, then click Scan For Device in the main window.\n";
      }
      break;
  }
  return "Please Click on Scan for.\n";
}

std::string WhoseSettingsQuestion(const std::string& port, const RestoreCandidate& candidate) {
  return "The encoder on USB port " + PrintableDeviceText(port) +
         " reports no serial number, so the program cannot tell whose settings it should "
         "have.\n\nWrite " +
         DescribeCandidate(candidate) + " into it?";
}

RestoreEnding DescribeRestoreEnding(const UpgradeUnit& unit, const RestoreResult& restored,
                                    UnitPlace placeAfter, const std::string& restoreHint) {
  const std::string port = PrintableDeviceText(unit.port);
  const std::string firmware = PrintableDeviceText(restored.firmware);
  const std::string complete = firmware.empty()
                                   ? std::string("Upgrade complete")
                                   : "Upgrade complete: the encoder runs firmware " + firmware;
  const std::string said = DescribeRestore(restored, unit.port) + "\r\n";
  RestoreEnding ending;
  switch (restored.outcome) {
    case RestoreOutcome::Restored:
      ending.log = complete + (restored.confirmed
                                   ? ", and the settings of serial number " +
                                         PrintableDeviceText(restored.restoredSerial) +
                                         " were written into it on your word.\r\n"
                                   : std::string(", and its settings were restored.\r\n"));
      ending.completed = true;
      break;
    case RestoreOutcome::FallbackWritten:
      ending.log = complete + ".\r\n" + said;
      ending.completed = true;
      break;
    case RestoreOutcome::NothingKept:
    case RestoreOutcome::NotIdentified:
      ending.log = complete + ".\r\n" + said + restoreHint;
      ending.completed = true;
      break;
    case RestoreOutcome::OtherUnit:
      ending.message = said.substr(0, said.size() - 2) + "\n";
      ending.caption = "Orvane Ovitone ";
      ending.log = said + KeptNote(unit);
      break;
    case RestoreOutcome::NotConnected:
      ending.message = "Orvane Ovitone not connected..\n";
      ending.caption = "Orvane Ovitone";
      ending.retry = placeAfter == UnitPlace::Loader;
      ending.log = (ending.retry
                        ? "The encoder did not start its new firmware; it waits in its firmware "
                          "loader on USB port " + port + ": click Upgrade Firmware to try again.\r\n"
                        : "The firmware was programmed, but no encoder came back on USB port " +
                              port + ". Plug it in again and click Scan For Device in the main "
                                     "window.\r\n") +
                   KeptNote(unit);
      break;
    case RestoreOutcome::CommandFailed:
      ending.message = restored.failure + "\n";
      ending.caption = "Orvane Ovitone ";
      ending.log = "The firmware was programmed, but the settings could not be written back.\r\n" +
                   KeptNote(unit);
      break;
  }
  return ending;
}

}  // namespace pellix_usb_encoder
