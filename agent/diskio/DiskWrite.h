#pragma once
// Writes a stored disk back onto a device of the proxy: the restore's half of DiskCopy, whole or
// (a replication's incremental sync) only the chunks that changed since the disk it last wrote.
#include <atomic>
#include <string>

#include "agent/diskio/ChunkPipeline.h"
#include "agent/diskio/DiskRegions.h"
#include "disk/DiskChecksum.h"
#include "host/HostTypes.h"

namespace agent {

struct SDiskWriteResult {
  UINT64 bytesWritten = 0;  // bytes written to the target: the backup's data regions
  UINT64 bytesZeroed = 0;   // bytes of the backup's holes made zero on the target without writing them
};

// Makes [offset, offset + length) of the target (open as `fd`) read as zeros without writing them: a
// hole punched in a file; on a device the zeroing that may unmap the range, else BLKZEROOUT. A target
// that can do neither gets zeros written, counted as written bytes. False (errno set) when that fails.
bool ZeroRange(int fd, bool blockDevice, UINT64 offset, UINT64 length, SDiskWriteResult& result);

// Opens the device the plug-in attached (never created), which must hold at least `size` bytes.
bool OpenTarget(const string& target, UINT64 size, SDiskFile& out, string& error);

// Reads `n` bytes at `offset`, holes as zeros; `empty` tells that the range holds no data at all.
bool ReadChunk(int fd, UINT64 offset, size_t n, char* buffer, bool& empty);

// Opens the stored disk at `path` for reading: a regular file (never through a symbolic link) of
// exactly `size` bytes. On refusal `error` names the file and the cause (missing, a link, not a
// regular file, its length against the manifest's, or the system's error).
bool OpenStoredDisk(const string& path, UINT64 size, SFd& in, string& error);

// Flushes `target` (open as `fd`) and reads it back: its checksum over `size` bytes must be
// `expected`. A target that differs has the stored disk `source` (open as `sourceFd`) read too, to
// name the side that is wrong: the stored disk, when its data no longer has the manifest's checksum,
// else the target's read-back.
bool VerifyWrittenDisk(int fd, const string& target, int sourceFd, const string& source, UINT64 size,
                       const SDiskChecksum& expected, string& error);

// Writes the first `size` bytes of the backup file `source` (exactly `size` bytes long) into
// `target`, a block device or a regular file of at least `size` bytes, several pieces at once (direct
// where the target takes it). The backup's data regions are copied; its holes, and data that is all
// zeros, are made zero on the target without writing zeros (a punched hole on a file, BLKZEROOUT on a
// block device), so that old bytes never survive; a target known fresh and empty (`targetEmpty`: a
// new blank volume, never one made from an image) is left alone there. Either way they count as
// zeroed. A chunked checksum is checked from the chunks as they are written (a stored disk that does
// not make it is damaged), each piece read back from the device as soon as it is written (every byte
// of a device) and compared with what was written, and the target flushed at the end; a whole
// SHA-256 is checked by VerifyWrittenDisk after the writes. `cancel` stops the write (returns false).
bool WriteDiskFromBackup(const string& source, UINT64 size, const string& target, const SDiskChecksum& expected,
                         SDiskWriteResult& result, string& error, const std::atomic<bool>* cancel = nullptr,
                         bool targetEmpty = false);

// Brings `target`, which holds the disk of the backup file `base` (checksum `baseChecksum`), to the
// disk of the backup file `source`: both files (each exactly `size` bytes long) are compared chunk by
// chunk (kDiskChunk bytes, holes read as zeros) and only the chunks that differ are written (a chunk
// that became a hole is made zero as above). A base that does not hash to `baseChecksum` fails: the
// changes were taken against the wrong bytes. Then VerifyWrittenDisk.
bool WriteChangedChunks(const string& base, const SDiskChecksum& baseChecksum, const string& source, UINT64 size,
                        const string& target, const SDiskChecksum& expected, SDiskWriteResult& result, string& error,
                        const std::atomic<bool>* cancel = nullptr);

}  // namespace agent
