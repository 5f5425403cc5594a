// The settings of a unit on its way through its firmware loader. Before the encoder is
// sent into its loader, its settings, serial number and USB port are written to a
// recovery file in the configuration folder; should the upgrade stop half-way, the
// next upgrade of that unit (which then finds it in its loader, with no status to
// read) writes these settings back instead of made-up ones. The file is removed only
// once the settings are back in the encoder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/encoder_session.h"

namespace pellix_usb_encoder {

struct RecoveryRecord {
  std::string port;
  EncoderSettings settings;
};

// The recovery file of the unit on `port` in `folder`.
std::string RecoveryFilePath(const std::string& folder, const std::string& port);

// Writes the record atomically (replacing an older one for the same port). False, with
// the reason in `problem`, when it could not be written.
bool SaveRecoveryRecord(const std::string& folder, const RecoveryRecord& record,
                        std::string& problem);

// Every readable record in `folder`; unreadable or damaged files are passed over.
std::vector<RecoveryRecord> LoadRecoveryRecords(const std::string& folder);

// The record for the unit on `port`, else the one record whose serial number is
// `serial` (when serial is a real one and exactly one record has it).
std::optional<RecoveryRecord> FindRecoveryRecord(const std::string& folder, const std::string& port,
                                                 const std::string& serial);

// Removes the record's file. False when it is still there afterwards.
bool RemoveRecoveryRecord(const std::string& folder, const RecoveryRecord& record);

}  // namespace pellix_usb_encoder
