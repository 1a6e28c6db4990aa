#pragma once
// The pieces every disk transfer of the agent shares: a file descriptor closed at scope end, the
// walk over a file's data regions (SEEK_DATA/SEEK_HOLE), whole reads and writes at an offset, and a
// SHA-256 of a disk's logical content, holes counted as zeros.
#include <openssl/evp.h>

#include <memory>
#include <string>

#include "host/HostTypes.h"

constexpr size_t kDiskChunk = 1 << 20;

struct SDigest {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
  SDigest();
  void Update(const void* data, size_t size);
  void UpdateZeros(UINT64 count);
  string Hex();  // lower-case hex; once
};

struct SFd {
  int fd = -1;
  SFd() = default;
  explicit SFd(int descriptor) : fd(descriptor) {}
  ~SFd();
  SFd(const SFd&) = delete;
  SFd& operator=(const SFd&) = delete;
};

// The next data region at or after `offset`: [start, end), cut at `size`. False at the end of the
// data. A file that cannot tell (a real block device) is all data.
bool NextDataRegion(int fd, UINT64 offset, UINT64 size, UINT64& start, UINT64& end);
// The whole length or false (errno set; EIO for a read or write that ends early).
bool ReadFully(int fd, char* buffer, size_t length, UINT64 offset);
bool WriteFully(int fd, const char* buffer, size_t length, UINT64 offset);
// SHA-256 (hex) of the first `size` bytes of an open file, reading only its data regions.
bool Sha256OfRange(int fd, UINT64 size, string& hex);
