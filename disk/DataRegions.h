#pragma once
// The walk over the data regions of a file or device (SEEK_DATA/SEEK_HOLE) and whole reads at an
// offset (disk/FileIo.h): how the agent and the simulated cloud read a disk without reading its holes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "disk/DiskChecksum.h"
#include "disk/FileIo.h"

// The next data region at or after `offset`: [start, end), cut at `size`. False at the end of the
// data. A file that cannot tell (a real block device) is all data.
bool NextDataRegion(int fd, uint64_t offset, uint64_t size, uint64_t& start, uint64_t& end);
// The checksum of the first `size` bytes of an open file, reading only its data regions; bytes past
// the file's end count as zeros. False (errno set) when a read fails.
bool ChecksumOfRange(int fd, uint64_t size, EChecksumScheme scheme, SDiskChecksum& checksum);
// The same for the file at `path`; false with `error` ("cannot open [..]: ..." or "read of [..]
// failed: ...") when it cannot be opened or read.
bool ChecksumOfFile(const std::string& path, uint64_t size, EChecksumScheme scheme, SDiskChecksum& checksum,
                    std::string& error);
