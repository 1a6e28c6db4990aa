#pragma once
// SHA-256 of a volume's (or snapshot's) bytes over its whole logical size, holes read as zeros,
// so that equal contents give equal sums however sparse each file is.
// Header only: the bridge library does not link the crypto library; cloud-sim and the tests,
// which include this, do.
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bridge/sim/SimVolumeStore.h"

namespace sim {

inline std::string Sha256OfSparseFile(const std::string& path, uint64_t logicalSize) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw CSimError("Cannot open [" + path + "]: " + std::strerror(errno));
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw CSimError("SHA-256 is not available");
  std::vector<char> buffer(1 << 20);
  const std::vector<char> zeros(1 << 20, 0);
  auto hashZeros = [&](uint64_t count) {
    while (count > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
      EVP_DigestUpdate(ctx.get(), zeros.data(), n);
      count -= n;
    }
  };
  off_t fileSize = ::lseek(fd, 0, SEEK_END);
  uint64_t end = std::min<uint64_t>(logicalSize, fileSize < 0 ? 0 : static_cast<uint64_t>(fileSize));
  uint64_t at = 0;
  while (at < end) {
    off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    uint64_t dataAt = data < 0 ? end : std::min<uint64_t>(static_cast<uint64_t>(data), end);
    hashZeros(dataAt - at);
    at = dataAt;
    if (at >= end) break;
    off_t hole = ::lseek(fd, static_cast<off_t>(at), SEEK_HOLE);
    uint64_t holeAt = hole < 0 ? end : std::min<uint64_t>(static_cast<uint64_t>(hole), end);
    while (at < holeAt) {
      size_t chunk = static_cast<size_t>(std::min<uint64_t>(holeAt - at, buffer.size()));
      ssize_t n = ::pread(fd, buffer.data(), chunk, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw CSimError("Cannot read [" + path + "]: " + std::strerror(errno));
      EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
      at += static_cast<uint64_t>(n);
    }
  }
  // A file shorter than the volume reads as zeros up to its logical size.
  hashZeros(logicalSize - at);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  std::string hex;
  char two[3];
  for (unsigned int i = 0; i < length; ++i) {
    snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

// The checksum of the volume or snapshot with the id `id`: of its first `count` bytes, or of all
// of them when `count` is 0. Refused when it has fewer.
inline std::string VolumeSha256(CSimCloud& cloud, const std::string& id, uint64_t count = 0) {
  SBytesFile bytes = BytesFileOf(cloud, id);
  if (count > bytes.size) {
    throw CSimRefused("[" + id + "] holds " + std::to_string(bytes.size) + " bytes, fewer than " +
                      std::to_string(count));
  }
  return Sha256OfSparseFile(bytes.path, count > 0 ? count : bytes.size);
}

}  // namespace sim
