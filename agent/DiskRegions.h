#pragma once
// The pieces every disk transfer of the agent shares: a file descriptor closed at scope end, whole
// writes at an offset, and (from disk/) the walk over a file's data regions, whole reads and the
// disk checksum.
#include <string>

#include "disk/DataRegions.h"
#include "host/HostTypes.h"

// The bytes a transfer moves at once.
constexpr size_t kDiskChunk = 1 << 20;

struct SFd {
  int fd = -1;
  SFd() = default;
  explicit SFd(int descriptor) : fd(descriptor) {}
  ~SFd();
  SFd(const SFd&) = delete;
  SFd& operator=(const SFd&) = delete;
};

// The whole length or false (errno set; EIO for a write that ends early).
bool WriteFully(int fd, const char* buffer, size_t length, UINT64 offset);
// The SHA-256 (hex) of a byte string.
string Sha256Hex(const string& bytes);
