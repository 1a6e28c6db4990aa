#pragma once
// What a replication carries from one sync to the next, one file per destination under the agent's
// home: the destination instance, the source it replicates, the backup folder last synced, and per
// synced disk its destination volume, that volume's integrity snapshot and the disk's SHA-256 as that
// backup stored it, with (a chunked checksum's) the digests of its 1 MiB chunks in a file of their own
// beside the state, named by that checksum, so that the next sync finds the changed chunks from the
// new backup alone. A sync records its new destination as pending once it is launched, before Post
// hands it over, and makes it the destination once Post succeeded; a sync killed in between leaves
// both, and the next one tells which is whole (SettlePendingDestination in ReplicateCommand.cpp).
// A job holds the destination's lock file while it runs.
#include <string>
#include <vector>

#include "disk/DiskChecksum.h"
#include "host/CFileLock.h"
#include "host/HostTypes.h"

namespace agent {

struct SReplicatedDisk {
  string indexName;
  string displayName;
  string volumeId;         // the destination volume (SDisk.createdVolumeId)
  string snapshotId;       // its integrity snapshot (SDisk.snapshotId)
  SDiskChecksum checksum;  // of the disk in the backup last synced
  // The disk's size and the digests of its chunks (ChunkDigests.h); empty when the state has none
  // (an older agent's, or a whole SHA-256) or its file is gone or does not hash to `checksum`.
  UINT64 size = 0;
  string digests;
};

// One destination instance with its volumes and integrity snapshots.
struct SReplicatedGeneration {
  string instanceId;
  string backupDir;   // the backup folder synced into it, absolute
  string sourceName;  // the instance the backup is of (empty in files of older agents)
  string sourceId;
  std::vector<SReplicatedDisk> disks;

  const SReplicatedDisk* Find(const string& indexName) const;
};

struct SReplicationState : SReplicatedGeneration {
  string destination;  // the destination instance's name
  // The new destination of a sync that did not record its end; instanceId empty when none.
  SReplicatedGeneration pending;
  // What a generation replaced by a recovery left: removed at the end of the next successful sync.
  std::vector<string> retiredInstances, retiredVolumes, retiredSnapshots;
};

// "<home>/replication/<name>.json": the destination's name made safe for a file name, with a hash of
// the name added when that changed it (so that two names never share a file).
string ReplicationStatePath(const string& destination);

// Reads the state of `destination`; without a state file `found` is false. A state file that is a
// link or not a regular file, cannot be read, is malformed or names another destination is an error.
bool LoadReplicationState(const string& destination, SReplicationState& state, bool& found, string& error);
// The state file's text for `destination`; `error` says why it is refused.
bool ParseReplicationState(const string& text, const string& destination, SReplicationState& state, string& error);
// Replaces the state file of `state.destination` atomically: a temporary file in the same folder,
// flushed, renamed over the old file (a link there is replaced, never followed), the folder flushed.
// The chunk digests of its disks are written first, each file once (its name is the checksum they
// hash to); digest files that neither generation names any more (a replaced generation's, or those a
// killed sync wrote) are removed after the state was replaced.
bool SaveReplicationState(const SReplicationState& state, string& error);

// The destination's lock (flock on "<name>.lock" beside its state file), held until the object ends.
class CReplicationLock {
 public:
  // Takes the lock without waiting: false with a message when another job holds it. Makes the
  // replication folder when missing; a link in its place is refused.
  bool Acquire(const string& destination, string& error);

 private:
  CFileLock lock_;
};

}  // namespace agent
