// The disk checksum is what stored backups, replication states and the simulated cloud agree on: its
// value for a layout must follow its definition exactly, whichever way the bytes are fed.
#include <openssl/evp.h>

#include "HostTestUtil.h"
#include "disk/DataRegions.h"

namespace {

constexpr size_t kMiB = 1 << 20;

std::string Sha256(const std::string& bytes) {
  std::string digest(32, '\0');
  EVP_Digest(bytes.data(), bytes.size(), reinterpret_cast<unsigned char*>(digest.data()), nullptr, EVP_sha256(),
             nullptr);
  return digest;
}
std::string Hex(const std::string& raw) {
  return HexOf(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

// The definitions, over the logical bytes: SHA-256 of the 1 MiB chunks' SHA-256 digests (the last
// chunk short), and the whole SHA-256.
std::string ChunkedReference(const std::string& logical) {
  std::string digests;
  for (size_t at = 0; at < logical.size(); at += kMiB) digests += Sha256(logical.substr(at, kMiB));
  return Hex(Sha256(digests));
}

}  // namespace

// Sparse files of several layouts (holes that start and end inside chunks, whole hole chunks, a
// short last chunk, data past a hole at the end, a file shorter than the disk): the checksum read
// through the data regions equals the definition over the logical bytes, in both schemes.
TEST(DiskChecksum, FollowsItsDefinitionWhateverTheHolesAre) {
  const struct {
    size_t size, fileSize;  // the disk's and the file's (shorter: the rest reads as zeros)
    std::vector<std::pair<size_t, std::string>> data;
  } layouts[] = {
      {0, 0, {}},
      {1, 1, {{0, "\x01"}}},
      {kMiB, kMiB, {}},
      {3 * kMiB + 4096, 3 * kMiB + 4096, {{kMiB - 1500, std::string(3000, 'x')}, {3 * kMiB + 10, "tail"}}},
      {5 * kMiB + 1, 5 * kMiB + 1, {{5 * kMiB, "z"}}},
      {4 * kMiB, 2 * kMiB, {{7, "head"}}},
  };
  hosttest::TempDir dir;
  for (const auto& l : layouts) {
    std::string logical = hosttest::SparseFile(dir / "disk.img", l.fileSize, l.data);
    logical.resize(l.size, '\0');
    const std::string label = std::to_string(l.size) + "/" + std::to_string(l.data.size());
    EXPECT_EQ(hosttest::DiskChecksumOf(dir / "disk.img", l.size),
              (SDiskChecksum{EChecksumScheme::ChunkedSha256, ChunkedReference(logical)}))
        << label;
    EXPECT_EQ(hosttest::DiskChecksumOf(dir / "disk.img", l.size, EChecksumScheme::WholeSha256),
              (SDiskChecksum{EChecksumScheme::WholeSha256, Hex(Sha256(logical))}))
        << label;
    // Fed as bytes, in pieces that cut across chunks, the digest is the same.
    CDiskDigest fed;
    for (size_t at = 0; at < logical.size(); at += 777 * 1024)
      fed.Update(logical.data() + at, std::min<size_t>(777 * 1024, logical.size() - at));
    EXPECT_EQ(fed.Finish().hex, ChunkedReference(logical)) << label;
  }
}
