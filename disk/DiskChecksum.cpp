#include "disk/DiskChecksum.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

using Digest = SChunkDigest;

const std::vector<char>& ZeroBytes() {
  static const std::vector<char> zeros(kChecksumChunk, 0);
  return zeros;
}

// SHA-256 of a whole chunk of zeros, the digest of every hole-only chunk.
const Digest& ZeroChunkDigest() {
  static const Digest digest = [] {
    Digest d{};
    unsigned int length = 0;
    EVP_Digest(ZeroBytes().data(), kChecksumChunk, d.data(), &length, EVP_sha256(), nullptr);
    return d;
  }();
  return digest;
}

void Init(EVP_MD_CTX* ctx) {
  if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) throw std::runtime_error("SHA-256 is not available");
}

}  // namespace

bool IsAllZero(const void* data, size_t size) {
  const unsigned char* at = static_cast<const unsigned char*>(data);
  // Every byte equals the first, and the first is zero.
  return size == 0 || (at[0] == 0 && std::memcmp(at, at + 1, size - 1) == 0);
}

SChunkDigest ChunkDigestOf(const void* data, size_t size, bool allZero) {
  if (allZero && size == kChecksumChunk) return ZeroChunkDigest();
  Digest d{};
  unsigned int length = 0;
  EVP_Digest(data, size, d.data(), &length, EVP_sha256(), nullptr);
  return d;
}

void CDiskDigest::AddChunk(const SChunkDigest& digest) {
  if (scheme_ != EChecksumScheme::ChunkedSha256 || inChunk_ != 0)
    throw std::logic_error("a chunk's digest is added at a chunk boundary of the chunked scheme");
  EVP_DigestUpdate(outer_.get(), digest.data(), digest.size());
}

const char* SDiskChecksum::Key() const {
  return scheme == EChecksumScheme::ChunkedSha256 ? "chunked_sha256" : "sha256";
}

std::string SDiskChecksum::Shown() const { return std::string(Key()) + " " + hex; }

CDiskDigest::CDiskDigest(EChecksumScheme scheme)
    : scheme_(scheme), outer_(EVP_MD_CTX_new(), &EVP_MD_CTX_free), chunk_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
  Init(outer_.get());
  Init(chunk_.get());
}

void CDiskDigest::EndChunk() {
  Digest d{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(chunk_.get(), d.data(), &length);
  EVP_DigestUpdate(outer_.get(), d.data(), d.size());
  Init(chunk_.get());
  inChunk_ = 0;
}

void CDiskDigest::Update(const void* data, size_t size) {
  if (scheme_ == EChecksumScheme::WholeSha256) {
    EVP_DigestUpdate(outer_.get(), data, size);
    return;
  }
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const size_t n = std::min(size, kChecksumChunk - inChunk_);
    EVP_DigestUpdate(chunk_.get(), at, n);
    inChunk_ += n;
    at += n;
    size -= n;
    if (inChunk_ == kChecksumChunk) EndChunk();
  }
}

void CDiskDigest::Zeros(uint64_t count) {
  // Whole chunks of zeros take their known digest; the zeros around them are hashed as bytes.
  while (count > 0) {
    if (scheme_ == EChecksumScheme::ChunkedSha256 && inChunk_ == 0 && count >= kChecksumChunk) {
      EVP_DigestUpdate(outer_.get(), ZeroChunkDigest().data(), ZeroChunkDigest().size());
      count -= kChecksumChunk;
      continue;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, kChecksumChunk - inChunk_));
    Update(ZeroBytes().data(), n);
    count -= n;
  }
}

SDiskChecksum CDiskDigest::Finish() {
  if (scheme_ == EChecksumScheme::ChunkedSha256 && inChunk_ > 0) EndChunk();
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(outer_.get(), d, &length);
  return {scheme_, HexOf(d, length)};
}

std::string HexOf(const unsigned char* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}
