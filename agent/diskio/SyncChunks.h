#pragma once
// A replication's incremental write by chunk digests: the destination volume, rebuilt from the
// integrity snapshot of the disk last synced, gets only the chunks of the new backup whose digests
// differ from those the last sync recorded; neither the backup last synced nor the volume's other
// chunks are read.
#include <atomic>
#include <string>

#include "agent/diskio/DiskWrite.h"

namespace agent {

// The chunk digests (ChunkDigests.h) of the first `size` bytes of the stored disk at `path`, reading
// its data regions only (a chunk without data costs its known digest).
bool DigestsOfStoredDisk(const string& path, UINT64 size, string& digests, string& error);

// Brings `target`, which holds the disk whose chunk digests are `baseDigests` (of a disk of `size`
// bytes), to the stored disk `source` (exactly `size` bytes long, checksum `expected`, a chunked
// one): each chunk of the source is read and hashed, and one whose digest differs is written (one
// without data is made zero as ZeroRange does). The written chunks are flushed and read back, each
// must hash to its digest, and the source's digests must hash to `expected`. `digests` receives the
// source's digests; `result.bytesRead` counts what was read of the source.
struct SSyncWriteResult : SDiskWriteResult {
  UINT64 bytesRead = 0;
  UINT64 chunksWritten = 0;  // data chunks written and chunks made zero
};
bool WriteChangedChunksByDigest(const string& source, UINT64 size, const string& target, const SDiskChecksum& expected,
                                const string& baseDigests, string& digests, SSyncWriteResult& result, string& error,
                                const std::atomic<bool>* cancel = nullptr);

}  // namespace agent
