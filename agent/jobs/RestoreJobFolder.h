#pragma once
// The per-job folder of a restore under the agent's home, "restore-jobs/<job id>-<name>": the copies
// of the saved configuration ("config") and the plug-in's working folder ("results"). Removed with
// its contents when the object ends, whatever happened; nothing outside the agent's home is removed.
// The job holds a lock on its folder while it lives: a folder whose job was killed is unlocked, and
// the next restore's claim removes it.
#include <string>
#include <vector>

#include "agent/jobs/RestoreSource.h"

namespace agent {

class CRestoreJobFolder {
 public:
  CRestoreJobFolder() = default;
  ~CRestoreJobFolder();
  CRestoreJobFolder(const CRestoreJobFolder&) = delete;
  CRestoreJobFolder& operator=(const CRestoreJobFolder&) = delete;

  // Claims a fresh folder (job id as the backup store chooses one) and makes "config" and "results".
  bool Claim(long long requestedJobId, const string& name, string& error);
  // Copies the backup's saved configuration files into `dir` (ConfigDir() or ResultsDir()), each
  // checked against its SHA-256; the backup's own files are only read.
  bool CopyConfiguration(const std::vector<SStoredFile>& files, const string& dir, string& error) const;

  long long JobId() const { return jobId_; }
  string ConfigDir() const;
  string ResultsDir() const;

 private:
  string root_;  // <home>/restore-jobs
  string path_;
  long long jobId_ = 0;
  int lockFd_ = -1;  // the folder itself, locked for the job's life
};

}  // namespace agent
