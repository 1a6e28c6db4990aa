#pragma once
// The folders of a backup store: one "<job id>-<instance>" folder per backup, each job id used once
// per store, and an existing folder never reused.
#include <string>

#include "host/HostTypes.h"

namespace agent {

struct SBackupFolder {
  long long jobId = 0;
  string path;
};

// Claims a new folder in `store` (made when missing) for a backup of `instance`. With
// `requestedJobId` 0 the job id is the first from `firstDefault` up that no folder of the store
// uses; a requested id that a folder of the store uses is refused. The store's lock file
// serialises agents, and the folder is made with mkdir (never -p) as the claim.
bool ClaimBackupFolder(const string& store, long long requestedJobId, long long firstDefault, const string& instance,
                       SBackupFolder& claimed, string& error);

// Marks the backup in `folder` as failed at `step` for `reason` (a restore refuses it and says why).
bool MarkBackupFailed(const string& folder, const string& step, const string& reason, string& error);

// A file or folder name made from `name`: letters, digits, '-', '_' and '.' stay, any other byte
// becomes '_'. A result longer than `maxLength` is cut and ends in a hash of the whole name, so that
// long names stay distinct.
string SafeFileName(const string& name, size_t maxLength = 100);

}  // namespace agent
