#pragma once
// Moves a disk in chunks with several requests in flight: worker threads each take the next chunk a
// source hands out, into a buffer of their own (aligned for O_DIRECT), and do the chunk's work (read,
// look for zeros, hash, write); the calling thread then receives the chunks in the disk's order (to
// chain their digests, count and show progress). At most `depth` chunks are out at once.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "agent/diskio/DiskRegions.h"
#include "disk/ChunkCheck.h"
#include "disk/DiskChecksum.h"
#include "host/HostTypes.h"

namespace agent {

struct SChunk {
  UINT64 offset = 0;
  UINT64 length = 0;     // at most kDiskChunk for a chunk that goes through `data`
  bool hole = false;     // the source's tag: a range that holds no data (its buffer unused)
  bool allData = false;  // the source's tag: every byte of the chunk lies in a data region
  char* data = nullptr;  // kDiskChunk bytes, aligned for O_DIRECT
  bool zero = false;     // set by the work: every byte read is zero
  SChunkDigest digest{};
  SChunkCheck check{};  // of the bytes moved, to check their read-back against
  UINT64 written = 0;   // a writer's: bytes of the chunk written as data (the rest was made zero)
};

// The chunks of a job, in order: fills offset, length and hole of the next one; false at the end.
// Called under the pipeline's lock (never twice at once).
using ChunkSource = std::function<bool(SChunk& chunk)>;
// Runs on a worker thread; false stops the pipeline with `error`.
using ChunkStep = std::function<bool(SChunk& chunk, string& error)>;

// The requests a disk transfer keeps in flight.
constexpr size_t kChunksInFlight = 4;

// Runs `work` on every chunk of `source` (`depth` at once) and `deliver` (when given) on each in order
// on the calling thread. Stops at the first failure (its error) or when `cancel` is set ("cancelled").
bool RunChunkPipeline(size_t depth, const ChunkSource& source, const ChunkStep& work, const ChunkStep& deliver,
                      const std::atomic<bool>* cancel, string& error);

// A disk (a block device or a file) open twice: for O_DIRECT, where the file system takes it, and
// buffered for whatever O_DIRECT refuses (a piece that is not aligned, a file system without it).
struct SDiskFile {
  SFd direct;
  SFd buffered;
  bool blockDevice = false;
  UINT64 size = 0;  // a device's from BLKGETSIZE64, a file's length
};

// Opens `path` with `flags` (O_RDONLY or O_RDWR; never created); false with `error` naming it.
bool OpenDiskFile(const string& path, int flags, SDiskFile& disk, string& error);
// Whole reads and writes at an offset, direct when aligned; false with errno set.
bool ReadDiskAt(const SDiskFile& disk, char* buffer, size_t length, UINT64 offset);
bool WriteDiskAt(const SDiskFile& disk, const char* buffer, size_t length, UINT64 offset);

// The chunks of the first `size` bytes of `disk` that hold data, each a whole aligned chunk of
// kDiskChunk (the last one as long as what is left): a file's holes (and what lies past its end) are
// skipped, a device is all data. The returned source keeps its cursor.
ChunkSource DataChunksOf(const SDiskFile& disk, UINT64 size);
// Reads such a chunk into its buffer (a file's bytes past its end as zeros) and sets its `zero`; false
// with `why` naming `shown` (the disk as messages show it), the offset and the system's error.
bool ReadChunkOf(const SDiskFile& disk, const string& shown, UINT64 size, SChunk& chunk, string& why);

// The chunked checksum of the first `size` bytes of `disk`, chunks read and hashed in parallel (a chunk
// of zeros takes the known digest); a WholeSha256 is hashed in order as before. `bytesRead` (when
// given) counts the bytes read. False with `error`.
bool ChecksumOfDisk(const SDiskFile& disk, const string& shown, UINT64 size, EChecksumScheme scheme,
                    SDiskChecksum& checksum, string& error, UINT64* bytesRead = nullptr);

// The checks of the chunks a transfer wrote (kDiskChunk each from offset 0, the last as long as what
// is left), to compare a read-back with: ZeroChecks gives those of a disk of zeros, whose entries the
// transfer replaces with the checks of the chunks it moved.
using ChunkChecks = std::vector<SChunkCheck>;
ChunkChecks ZeroChecks(UINT64 size);

// Reads back the first `size` bytes of `disk` (direct where it takes it, several chunks at once; a
// file's holes are not read and must be where `checks` has chunks of zeros) and compares every chunk
// with its check. False with `differs` set and `error` = "the chunk at N" for the first chunk that
// differs, or with `error` = the read's failure.
bool CheckReadBack(const SDiskFile& disk, const string& shown, UINT64 size, const ChunkChecks& checks, bool& differs,
                   string& error);

}  // namespace agent
