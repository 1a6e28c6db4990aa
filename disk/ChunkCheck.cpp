#include "disk/ChunkCheck.h"

#include <nmmintrin.h>

#include <cstring>
#include <vector>

#include "disk/DiskChecksum.h"

namespace {

// CRC32C (Castagnoli, reflected) a byte at a time, where the processor has no instruction for it.
uint32_t SoftwareCrc32c(uint32_t crc, const unsigned char* at, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0x82f63b78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ at[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

// The four lanes: [k * lane, (k + 1) * lane) for k < 3 and the rest for the last, `lane` a multiple of 8.
__attribute__((target("sse4.2"))) SChunkCheck HardwareLanes(const unsigned char* at, size_t size) {
  const size_t lane = size / 4 / 8 * 8;
  uint64_t c0 = ~0u, c1 = ~0u, c2 = ~0u, c3 = ~0u;
  const unsigned char *p0 = at, *p1 = at + lane, *p2 = at + 2 * lane, *p3 = at + 3 * lane;
  for (size_t i = 0; i < lane; i += 8) {
    uint64_t w0, w1, w2, w3;
    std::memcpy(&w0, p0 + i, 8);
    std::memcpy(&w1, p1 + i, 8);
    std::memcpy(&w2, p2 + i, 8);
    std::memcpy(&w3, p3 + i, 8);
    c0 = _mm_crc32_u64(c0, w0);
    c1 = _mm_crc32_u64(c1, w1);
    c2 = _mm_crc32_u64(c2, w2);
    c3 = _mm_crc32_u64(c3, w3);
  }
  uint32_t last = static_cast<uint32_t>(c3);
  for (size_t i = 4 * lane; i < size; ++i) last = _mm_crc32_u8(last, at[i]);
  return {~static_cast<uint32_t>(c0), ~static_cast<uint32_t>(c1), ~static_cast<uint32_t>(c2), ~last};
}

SChunkCheck SoftwareLanes(const unsigned char* at, size_t size) {
  const size_t lane = size / 4 / 8 * 8;
  SChunkCheck check{};
  for (size_t k = 0; k < 4; ++k) {
    const size_t n = k < 3 ? lane : size - 3 * lane;
    check[k] = ~SoftwareCrc32c(~0u, at + k * lane, n);
  }
  return check;
}

SChunkCheck Lanes(const void* data, size_t size) {
  static const bool hardware = __builtin_cpu_supports("sse4.2");
  const auto* at = static_cast<const unsigned char*>(data);
  return hardware ? HardwareLanes(at, size) : SoftwareLanes(at, size);
}

}  // namespace

SChunkCheck ChunkCheckOf(const void* data, size_t size, bool allZero) {
  if (allZero && size == kChecksumChunk) {
    static const SChunkCheck zeros = [] {
      const std::vector<char> bytes(kChecksumChunk, 0);
      return Lanes(bytes.data(), bytes.size());
    }();
    return zeros;
  }
  return Lanes(data, size);
}
