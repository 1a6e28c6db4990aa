#pragma once
// The checksum of a disk's logical content, holes counted as zeros, as the agent stores it with a
// backup and `cloud-sim volume checksum` prints it for a volume.
//
// Two schemes:
// - ChunkedSha256 (what a backup stores today): the SHA-256 of the SHA-256 digests of the disk's
//   consecutive 1 MiB chunks, the last chunk as long as what is left. An all-zero chunk has a known
//   digest, so a run of holes costs one short update per chunk instead of hashing its zeros: the
//   cost follows the data, not the disk's size.
// - WholeSha256: the SHA-256 of the whole content, which backups of older agents carry.
//
// A disk's record (a manifest's or a replication state's) names its scheme by the key that holds the
// hex: "chunked_sha256" or "sha256".
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

constexpr size_t kChecksumChunk = 1 << 20;

enum class EChecksumScheme { ChunkedSha256, WholeSha256 };

struct SDiskChecksum {
  EChecksumScheme scheme = EChecksumScheme::ChunkedSha256;
  std::string hex;  // lower case
  bool operator==(const SDiskChecksum&) const = default;
  // The key of a record that holds a checksum of this scheme.
  const char* Key() const;
  // "chunked_sha256 <hex>", for messages.
  std::string Shown() const;
};

// The SHA-256 of one chunk as the chunked scheme hashes it.
using SChunkDigest = std::array<unsigned char, 32>;

// True when all `size` bytes are zero.
bool IsAllZero(const void* data, size_t size);
// The digest of one chunk of at most kChecksumChunk bytes; `allZero` (IsAllZero of it) lets a whole
// chunk of zeros take the known digest without hashing it. Chunks hashed apart (on several threads)
// are added in order with CDiskDigest::AddChunk.
SChunkDigest ChunkDigestOf(const void* data, size_t size, bool allZero);

// Feeds a disk's bytes in order: Update() for data, Zeros() for a run of zeros (a hole).
class CDiskDigest {
 public:
  explicit CDiskDigest(EChecksumScheme scheme = EChecksumScheme::ChunkedSha256);
  void Update(const void* data, size_t size);
  void Zeros(uint64_t count);
  // ChunkedSha256 only: the digest of the next chunk (ChunkDigestOf), at a chunk boundary; only the
  // disk's last chunk may be short.
  void AddChunk(const SChunkDigest& digest);
  // Once, after the last byte.
  SDiskChecksum Finish();

 private:
  using Ctx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
  void EndChunk();

  EChecksumScheme scheme_;
  Ctx outer_;  // WholeSha256: of the bytes; ChunkedSha256: of the chunks' digests
  Ctx chunk_;  // ChunkedSha256: of the chunk being fed
  size_t inChunk_ = 0;
};

// The lower-case hex of `length` bytes.
std::string HexOf(const unsigned char* bytes, size_t length);
