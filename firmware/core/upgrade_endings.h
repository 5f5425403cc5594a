// What the user is told when an upgrade ends, fails or is left: where the unit is now and
// the next step that helps. The upgrade window and the browser page show the same texts;
// lines end in CR LF as the upgrade's log does.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "firmware/core/upgrader.h"

namespace pellix_usb_encoder {

// Where the unit is: looked up on its port, or, with no port yet, a loader on the bus
// counts as the unit waiting in it.
UnitPlace PlaceOfUnit(const UpgradeUnit& unit);

// "The settings of serial number X (kept T) are safe; ..." when the unit's record is
// still kept; empty otherwise.
std::string KeptNote(const UpgradeUnit& unit);

// The log's last line after an upgrade that did not end in the new firmware.
std::string FailureEnding(const UpgradeUnit& unit, UnitPlace place, bool loaderTouched);

// The message shown when the upgrade is closed while no work runs.
std::string CloseAdvice(const UpgradeUnit& unit, UnitPlace place);

// The question asked when the unit on `port` reports no serial number.
std::string WhoseSettingsQuestion(const std::string& port, const RestoreCandidate& candidate);

// What follows a programmed and verified upgrade, once the restore has run.
struct RestoreEnding {
  std::string log;        // appended to the upgrade's log
  std::string message;    // shown in a message box first, when not empty
  std::string caption;
  bool completed = false; // the unit runs its new firmware with settings written as said
  bool retry = false;     // the unit waits in its loader again: the upgrade may be retried
};

// `restoreHint`: how a user restores settings by hand, said when none were written.
RestoreEnding DescribeRestoreEnding(const UpgradeUnit& unit, const RestoreResult& restored,
                                    UnitPlace placeAfter, const std::string& restoreHint);

}  // namespace pellix_usb_encoder
