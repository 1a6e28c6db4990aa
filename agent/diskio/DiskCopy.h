#pragma once
// Copies a disk device (or any file) into a store file, reading only the regions that hold data (a
// file's; a device is all data) with several reads in flight, direct where the file system takes it.
// A chunk of zeros is stored as a hole: the store holds the data, not the disk's size. The disk
// checksum is of its logical content, holes as zeros.
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "disk/ChunkCheck.h"
#include "disk/DiskChecksum.h"
#include "host/HostTypes.h"

namespace agent {

struct SDiskCopyResult {
  UINT64 size = 0;       // logical bytes
  UINT64 bytesRead = 0;  // bytes actually read from the source
  SDiskChecksum checksum;
  std::vector<SChunkCheck> checks;  // of every chunk stored (ChunkPipeline.h), for the verify
  string digests;                   // of every 1 MiB chunk, holes included (ChunkDigests.h), stored with the disk
};

// A block device's size is its own (BLKGETSIZE64); a file is read for `size` bytes.
// progress(bytesDoneOfLogicalSize) is called now and then; `cancel` stops the copy (returns false).
bool CopyDiskSparse(const string& source, UINT64 size, const string& destination, SDiskCopyResult& result,
                    string& error, const std::atomic<bool>* cancel = nullptr,
                    const std::function<void(UINT64)>& progress = nullptr);

// SHA-256 (hex) of a whole file.
bool Sha256OfFile(const string& path, string& hex, string& error);

// Reads a stored copy back (direct where its file system takes it: from the storage, not from what the
// page cache kept of the copy's writes): its size must be the copy's, and each chunk must have the
// check of the chunk the copy read, so that it holds the bytes the copy's checksum was made of. A
// result without checks has the stored copy's checksum computed and compared instead.
bool VerifyStoredCopy(const string& path, const SDiskCopyResult& copied, string& error);

}  // namespace agent
