#pragma once
// The chunk digests of a stored disk (ChunkDigests.h) in a file of the backup folder's "digests"
// folder, named after the disk's file and listed in the disk's manifest record ("chunk_digests"):
// with them a verify names the first chunk that changed.
#include <nlohmann/json.hpp>
#include <string>

#include "host/HostTypes.h"

namespace agent {

// The name of the digests file of the stored disk file `diskFile`.
string ChunkDigestFileName(const string& diskFile);

// Writes `digests` into BACKUP_DIR/digests (made when missing), under ChunkDigestFileName(diskFile).
bool StoreChunkDigests(const string& backupDir, const string& diskFile, const string& digests, string& error);

// The digests a manifest's disk record lists. False with `error` empty when it lists none (a backup
// of an older agent), with `error` set when the listed file cannot be read or is not a bare name.
bool ReadChunkDigests(const string& backupDir, const nlohmann::json& record, string& digests, string& error);

}  // namespace agent
