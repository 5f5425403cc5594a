// The settings of a unit on its way through its firmware loader. Before the encoder is
// sent into its loader, its settings are written to a recovery record in the
// configuration folder: one small file per unit, named by the unit's serial number.
// Should the upgrade stop half-way, the next upgrade writes these settings back, but
// only into the unit that proves to be the one the record was written for (it reports
// that serial number once it runs its firmware again) or that the user names. A record
// is removed once its settings are back in its unit, and for no other reason.
//
// Records are read as strictly as a configuration file: a value outside its range, an
// unknown or repeated key, a missing key, a file whose name does not match the serial
// number inside (a renamed record, or a copy beside one) is reported and never applied.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/encoder_session.h"

namespace pellix_usb_encoder {

struct RecoveryRecord {
  // The unit's settings; settings.serialNumber is the unit the record belongs to.
  EncoderSettings settings;
  // The USB port the unit was on when its settings were kept (for the user's
  // information only: a unit is never recognised by where it is plugged in).
  std::string port;
  // When the settings were kept, as "YYYY-MM-DD HH:MM" local time.
  std::string keptAt;
  // The file it was read from (set by the readers).
  std::string file;

  const std::string& Serial() const { return settings.serialNumber; }
};

// A file in the configuration folder that looks like a record but is not one to use.
struct RecordProblem {
  std::string file;
  std::string problem;
};

struct RecoveryScan {
  std::vector<RecoveryRecord> records;  // sound records, by serial number
  std::vector<RecordProblem> problems;  // everything else named like a record
};

// Only a unit with a real serial number (see IsRestorableSerial) can have a record.
bool CanKeepRecord(const std::string& serial);

// The record file of the unit with `serial` in `folder`.
std::string RecoveryFilePath(const std::string& folder, const std::string& serial);

// The current local time as a record keeps it.
std::string RecordTimeNow();

// Writes the record of record.Serial() whole (file_store.h), replacing only that
// unit's own earlier record. False, with the reason in `problem`, when the serial
// cannot have a record or the file could not be written.
bool SaveRecoveryRecord(const std::string& folder, const RecoveryRecord& record,
                        std::string& problem);

// Every file named like a record in `folder`: the sound ones and what is wrong with the
// others.
RecoveryScan ScanRecoveryRecords(const std::string& folder);
// The sound records only.
std::vector<RecoveryRecord> LoadRecoveryRecords(const std::string& folder);

// The sound record of the unit with `serial`, if there is one.
std::optional<RecoveryRecord> FindRecoveryRecord(const std::string& folder,
                                                 const std::string& serial);

// The record kept last for a unit seen on `port`, if any: what `list` shows for a unit
// waiting in its loader. Never proof of which unit is there.
std::optional<RecoveryRecord> RecordLastSeenOn(const std::string& folder, const std::string& port);

// A file under the record name of `serial` that is not a sound record (a value out of
// range, say) is renamed to "<name>.damaged" rather than written over, so that a new
// record can take the name and nothing the old file held is lost. A symbolic link or
// anything else but a regular file there is left alone. False, with the reason, when
// the name cannot be freed.
bool SetAsideDamagedRecord(const std::string& folder, const std::string& serial,
                           std::string& problem);

// Removes the record of `serial`, once its settings are back in that unit. False when
// its file is still there afterwards.
bool RemoveRecoveryRecord(const std::string& folder, const std::string& serial);

}  // namespace pellix_usb_encoder
