#pragma once
// Writes a stored disk back onto a device of the proxy: the restore's half of DiskCopy.
#include <atomic>
#include <string>

#include "host/HostTypes.h"

struct SDiskWriteResult {
  UINT64 bytesWritten = 0;  // bytes written to the target: the backup's data regions
  UINT64 bytesZeroed = 0;   // bytes of the backup's holes made zero on the target without writing them
};

// Writes the first `size` bytes of the backup file `source` (exactly `size` bytes long) into
// `target`, a block device or a regular file of at least `size` bytes. The backup's data regions are
// copied; its holes are made zero on the target (a punched hole on a file, BLKZEROOUT on a block
// device), so that old bytes never survive. The target is flushed and read back: its SHA-256 over
// `size` bytes must be `expectedSha256`. `cancel` stops the write (returns false).
bool WriteDiskFromBackup(const string& source, UINT64 size, const string& target, const string& expectedSha256,
                         SDiskWriteResult& result, string& error, const std::atomic<bool>* cancel = nullptr);
