#pragma once
// The check of a stored backup against its manifest, without the cloud: each stored disk's size and
// checksum (read chunk by chunk, its data regions only) and each saved configuration file's SHA-256.
// A disk stored with its chunk digests names its first chunk that changed.
#include <string>
#include <vector>

#include "agent/jobs/BackupState.h"
#include "host/HostTypes.h"

namespace agent {

struct SDiskVerdict {
  string indexName;
  string file;      // the stored disk's file name
  UINT64 size = 0;  // of the manifest
  bool ok = false;
  string problem;           // what is wrong, when not ok
  long long badChunk = -1;  // the first chunk that differs (1 MiB each), when it can be named
  string chunkNote;         // why a bad disk's chunk cannot be named
};

struct SFileVerdict {
  string name;
  bool ok = false;
  string problem;
};

struct SBackupVerdict {  // NOLINT(bugprone-exception-escape): json's moves do not throw
  SBackupState state;
  std::vector<SDiskVerdict> disks;
  std::vector<SFileVerdict> files;
  bool StoredIntact() const;  // every stored disk and file as the manifest says
};

// Checks the backup in `folder`. False, with `error`, when there is nothing to check: not a folder,
// no readable manifest (a failed or incomplete folder's refusal is in `verdict.state`).
bool VerifyBackup(const string& folder, SBackupVerdict& verdict, string& error);

}  // namespace agent
