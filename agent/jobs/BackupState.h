#pragma once
// What a backup folder of a store holds, read without touching the cloud or the store's lock: a
// finished backup (its manifest: complete or partial), a failed one (its marker, and the manifest a
// cancelled job may have written before it), or no finished backup at all (a job still running, or
// one that was killed before it wrote its manifest).
#include <nlohmann/json.hpp>
#include <string>

#include "host/HostTypes.h"

namespace agent {

enum class EBackupStatus { Complete, Partial, Failed, Incomplete };

// "complete", "partial", "failed", "incomplete".
const char* StatusName(EBackupStatus status);

struct SBackupState {  // NOLINT(bugprone-exception-escape): json's moves do not throw
  EBackupStatus status = EBackupStatus::Incomplete;
  nlohmann::json manifest;  // null when the folder has none (or it cannot be parsed: manifestError)
  string manifestError;
  string failedStep, failedReason;  // from the marker of a failed backup
  long long time = 0;               // seconds since the epoch: the manifest's, the marker's, else the folder's
  bool running = false;             // incomplete: a job still holds the folder (else it was killed)
};

// Reads the state of the backup folder `folder`; false, with `error`, when it is not a folder.
bool ReadBackupState(const string& folder, SBackupState& state, string& error);

// Why a restore or a replication refuses the folder ("this backup failed at ...", "this folder holds
// no finished backup ..."); empty for a complete or partial backup.
string RefusalOf(const SBackupState& state);

}  // namespace agent
