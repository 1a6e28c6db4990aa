#pragma once
// A file descriptor closed at scope end, and whole reads and writes at an offset: what every
// transfer of a disk's bytes stands on.
#include <cstddef>
#include <cstdint>

struct SFd {
  int fd = -1;
  SFd() = default;
  explicit SFd(int descriptor) : fd(descriptor) {}
  ~SFd();
  SFd(const SFd&) = delete;
  SFd& operator=(const SFd&) = delete;
};

// The whole length or false (errno set; EIO for a read that ends early).
bool ReadFully(int fd, char* buffer, size_t length, uint64_t offset);
// The whole length or false (errno set; EIO for a write that ends early).
bool WriteFully(int fd, const char* buffer, size_t length, uint64_t offset);
