#pragma once
// The folders of a backup store: one "<job id>-<instance>" folder per backup, each job id used once
// per store, and an existing folder never reused.
#include <memory>
#include <string>
#include <vector>

#include "disk/FileIo.h"
#include "host/HostTypes.h"

namespace agent {

// The marker of a backup that failed after it stored something: {"step", "reason", "time"}.
constexpr char kFailedMarker[] = "failed.json";
// A backup's manifest, written last: a folder without it (and without the marker) holds no finished
// backup.
constexpr char kManifestFile[] = "manifest.json";

struct SBackupFolder {
  long long jobId = 0;
  string path;
  // The folder itself, locked (flock) while the job runs, so that a reader of the store tells a
  // running job from one that was killed; released when the last copy goes.
  std::shared_ptr<SFd> running;
};

// Claims a new folder in `store` (made when missing) for a backup of `instance`. With
// `requestedJobId` 0 the job id is the first from `firstDefault` up that no folder of the store
// uses; a requested id that a folder of the store uses is refused. The store's lock file
// serialises agents, and the folder is made with mkdir (never -p) as the claim.
bool ClaimBackupFolder(const string& store, long long requestedJobId, long long firstDefault, const string& instance,
                       SBackupFolder& claimed, string& error);

// Records that the backup in `folder` failed at `step` for `reason`. A folder where no disk was
// stored yet is removed whole (nothing in it is a backup); one that holds a stored disk stays, marked
// with kFailedMarker, so that neither `backups`, `restore` nor `replicate` takes it for a backup.
// False, with `error`, when neither could be done.
bool MarkBackupFailed(const string& folder, const string& step, const string& reason, string& error);

// The backup folders ("<job id>-<instance>") of `store`, by name. False, with `error` naming it,
// when `store` does not exist or is no store: not a folder, or one that holds neither a backup folder
// nor the store's lock file and is not empty. The store's lock is not taken.
bool ListBackupFolders(const string& store, std::vector<string>& names, string& error);

// Marks a backup job's folder failed when its scope ends on a road that reported nothing (an
// exception that ended the job), after the scopes declared later, the mount's among them, have
// unwound. Finished() disarms it.
class CBackupFailure {
 public:
  explicit CBackupFailure(string folder) : folder_(std::move(folder)) {}
  ~CBackupFailure();
  CBackupFailure(const CBackupFailure&) = delete;
  CBackupFailure& operator=(const CBackupFailure&) = delete;

  void Finished() { armed_ = false; }

 private:
  string folder_;
  string step_ = "the job";
  string reason_ = "it ended without finishing";
  bool armed_ = true;
};

// True while a job holds the lock of the backup folder: it is still running. Looking never blocks
// nor delays the job.
bool IsBackupRunning(const string& folder);

// A file or folder name made from `name`: letters, digits, '-', '_' and '.' stay, any other byte
// becomes '_'. A result longer than `maxLength` is cut and ends in a hash of the whole name, so that
// long names stay distinct.
string SafeFileName(const string& name, size_t maxLength = 100);

}  // namespace agent
