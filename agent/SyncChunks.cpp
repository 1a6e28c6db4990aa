#include "agent/SyncChunks.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "agent/ChunkDigests.h"

namespace {

// The raw digest of `n` bytes.
string DigestOf(const char* data, size_t n) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data, n, out, &length, EVP_sha256(), nullptr);
  return string(reinterpret_cast<const char*>(out), length);
}

// The digest of a chunk of `n` zeros; a whole chunk's is computed once.
string ZeroDigest(size_t n) {
  static const std::vector<char> zeros(kChecksumChunk, 0);
  static const string whole = DigestOf(zeros.data(), kChecksumChunk);
  return n == kChecksumChunk ? whole : DigestOf(zeros.data(), n);
}

// Reads chunk by chunk the stored disk open as `fd`: `buffer` holds the chunk's bytes unless `empty`.
struct SChunkReader {
  int fd;
  UINT64 size;
  std::vector<char> buffer = std::vector<char>(kChecksumChunk);
  UINT64 bytesRead = 0;

  // The digest of the chunk at `offset` (`n` bytes long).
  bool Digest(UINT64 offset, size_t n, string& digest, bool& empty) {
    UINT64 start = 0, end = 0;
    empty = !NextDataRegion(fd, offset, offset + n, start, end);
    if (empty) {
      digest = ZeroDigest(n);
      return true;
    }
    if (!ReadChunk(fd, offset, n, buffer.data(), empty)) return false;
    bytesRead += n;
    digest = DigestOf(buffer.data(), n);
    return true;
  }
};

size_t ChunkLength(UINT64 size, UINT64 offset) {
  return static_cast<size_t>(std::min<UINT64>(size - offset, kChecksumChunk));
}

// Reads back the chunks at `offsets` of the flushed target: each must hash to its digest in `digests`.
bool ReadBack(int fd, const string& target, UINT64 size, const std::vector<UINT64>& offsets, const string& digests,
              string& error) {
  std::vector<char> buffer(kChecksumChunk);
  for (const UINT64 offset : offsets) {
    const size_t n = ChunkLength(size, offset);
    // From the device, not from what the page cache kept of the write.
    ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(n), POSIX_FADV_DONTNEED);
    bool empty = false;
    if (!ReadChunk(fd, offset, n, buffer.data(), empty)) {
      error = "read back of [" + target + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
      return false;
    }
    const UINT64 index = offset / kChecksumChunk;
    if (DigestOf(buffer.data(), n) != digests.substr(index * kChunkDigestBytes, kChunkDigestBytes)) {
      error = "the read-back of [" + target + "] differs from the stored disk in the chunk at " + std::to_string(offset);
      return false;
    }
  }
  return true;
}

}  // namespace

bool DigestsOfStoredDisk(const string& path, UINT64 size, string& digests, string& error) {
  SFd in;
  if (!OpenStoredDisk(path, size, in, error)) return false;
  SChunkReader reader{in.fd, size};
  digests.clear();
  for (UINT64 offset = 0; offset < size; offset += kChecksumChunk) {
    string digest;
    bool empty = false;
    if (!reader.Digest(offset, ChunkLength(size, offset), digest, empty)) {
      error = "read of [" + path + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
      return false;
    }
    digests += digest;
  }
  return true;
}

bool WriteChangedChunksByDigest(const string& source, UINT64 size, const string& target, const SDiskChecksum& expected,
                                const string& baseDigests, string& digests, SSyncWriteResult& result, string& error,
                                const std::atomic<bool>* cancel) {
  result = SSyncWriteResult();
  digests.clear();
  if (baseDigests.size() != ChunkCount(size) * kChunkDigestBytes) {
    error = "the chunk digests of the disk last synced are of " + std::to_string(baseDigests.size() / kChunkDigestBytes) +
            " chunks, the disk has " + std::to_string(ChunkCount(size));
    return false;
  }
  SFd in;
  SDiskFile out;
  if (!OpenStoredDisk(source, size, in, error) || !OpenTarget(target, size, out, error)) return false;
  SChunkReader reader{in.fd, size};
  std::vector<UINT64> written;
  for (UINT64 offset = 0; offset < size; offset += kChecksumChunk) {
    if (cancel && cancel->load()) {
      error = "cancelled";
      return false;
    }
    const size_t n = ChunkLength(size, offset);
    string digest;
    bool empty = false;
    if (!reader.Digest(offset, n, digest, empty)) {
      error = "read of [" + source + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
      return false;
    }
    digests += digest;
    if (baseDigests.compare(offset / kChecksumChunk * kChunkDigestBytes, kChunkDigestBytes, digest) == 0) continue;
    const bool done = empty ? ZeroRange(out.buffered.fd, out.blockDevice, offset, n, result)
                            : WriteFully(out.buffered.fd, reader.buffer.data(), n, offset);
    if (!done) {
      error = "write of [" + target + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
      return false;
    }
    if (!empty) result.bytesWritten += n;
    written.push_back(offset);
  }
  result.bytesRead = reader.bytesRead;
  result.chunksWritten = written.size();
  if (!DigestsMatch(digests, size, expected)) {
    error = "the stored disk [" + source + "] is damaged: its data does not hash to the manifest's " + expected.Shown();
    return false;
  }
  if (::fsync(out.buffered.fd) != 0) {
    error = "flush of [" + target + "] failed: " + strerror(errno);
    return false;
  }
  return ReadBack(out.buffered.fd, target, size, written, digests, error);
}
