#include "agent/diskio/SyncChunks.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "agent/diskio/ChunkDigests.h"
#include "agent/diskio/ProgressHook.h"
#include "host/ErrnoText.h"

namespace agent {

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

// The stored disk open as `in`, read through the chunk pipeline (its data regions only, buffered:
// the backup is read, not checked).
bool StoredDiskFile(const SFd& in, const string& shown, UINT64 size, SDiskFile& file, string& error) {
  file.buffered.fd = ::fcntl(in.fd, F_DUPFD_CLOEXEC, 0);
  file.size = size;
  if (file.buffered.fd >= 0) return true;
  error = "cannot read [" + shown + "]: " + ErrnoText(errno);
  return false;
}

// Runs `onData(chunk)` on the pipeline's threads for every chunk of the stored disk that holds data,
// after its digest (which a chunk of zeros takes known) is set; then, in the disk's order, the digests
// of all chunks (holes included) are appended to `digests` and `inOrder(offset, n, chunk)` called for
// each chunk, `chunk` null for one without data. Adds what was read to `bytesRead`.
template <typename OnData, typename InOrder>
bool DigestChunks(const SDiskFile& in, const string& shown, UINT64 size, string& digests, UINT64& bytesRead,
                  const OnData& onData, const InOrder& inOrder, const std::atomic<bool>* cancel, string& error) {
  digests.clear();
  digests.reserve(ChunkCount(size) * kChunkDigestBytes);
  UINT64 next = 0;
  auto holes = [&](UINT64 to, string& why) {
    for (; next < to; next += kChecksumChunk) {
      const size_t n = static_cast<size_t>(std::min<UINT64>(size - next, kChecksumChunk));
      digests += ZeroDigest(n);
      if (!inOrder(next, n, nullptr, why)) return false;
    }
    return true;
  };
  const bool done = RunChunkPipeline(
      kChunksInFlight, DataChunksOf(in, size),
      [&](SChunk& chunk, string& why) {
        if (!ReadChunkOf(in, shown, size, chunk, why)) return false;
        chunk.digest = ChunkDigestOf(chunk.data, static_cast<size_t>(chunk.length), chunk.zero);
        return onData(chunk, why);
      },
      [&](SChunk& chunk, string& why) {
        if (!holes(chunk.offset, why)) return false;
        digests.append(reinterpret_cast<const char*>(chunk.digest.data()), chunk.digest.size());
        next = chunk.offset + chunk.length;
        bytesRead += chunk.length;
        return inOrder(chunk.offset, static_cast<size_t>(chunk.length), &chunk, why);
      },
      cancel, error);
  return done && holes(size, error);
}

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
      error = "read back of [" + target + "] failed at " + std::to_string(offset) + ": " + ErrnoText(errno);
      return false;
    }
    const UINT64 index = offset / kChecksumChunk;
    if (DigestOf(buffer.data(), n) != digests.substr(index * kChunkDigestBytes, kChunkDigestBytes)) {
      error =
          "the read-back of [" + target + "] differs from the stored disk in the chunk at " + std::to_string(offset);
      return false;
    }
  }
  return true;
}

}  // namespace

bool DigestsOfStoredDisk(const string& path, UINT64 size, string& digests, string& error) {
  SFd in;
  SDiskFile file;
  if (!OpenStoredDisk(path, size, in, error) || !StoredDiskFile(in, path, size, file, error)) return false;
  UINT64 read = 0;
  return DigestChunks(
      file, path, size, digests, read, [](SChunk&, string&) { return true; },
      [](UINT64, size_t, const SChunk*, string&) { return true; }, nullptr, error);
}

bool WriteChangedChunksByDigest(const string& source, UINT64 size, const string& target, const SDiskChecksum& expected,
                                const string& baseDigests, string& digests, SSyncWriteResult& result, string& error,
                                const std::atomic<bool>* cancel) {
  result = SSyncWriteResult();
  digests.clear();
  if (baseDigests.size() != ChunkCount(size) * kChunkDigestBytes) {
    error = "the chunk digests of the disk last synced are of " +
            std::to_string(baseDigests.size() / kChunkDigestBytes) + " chunks, the disk has " +
            std::to_string(ChunkCount(size));
    return false;
  }
  SFd in;
  SDiskFile file, out;
  if (!OpenStoredDisk(source, size, in, error) || !StoredDiskFile(in, source, size, file, error) ||
      !OpenTarget(target, size, out, error))
    return false;
  auto unchanged = [&](UINT64 offset, const char* digest) {
    return baseDigests.compare(offset / kChecksumChunk * kChunkDigestBytes, kChunkDigestBytes, digest,
                               kChunkDigestBytes) == 0;
  };
  // Data chunks are hashed and, when changed, written on the pipeline's threads; a chunk without
  // data that had some is made zero in order.
  std::vector<UINT64> written;
  const bool copied = DigestChunks(
      file, source, size, digests, result.bytesRead,
      [&](SChunk& chunk, string& why) {
        if (unchanged(chunk.offset, reinterpret_cast<const char*>(chunk.digest.data()))) return true;
        if (!WriteFully(out.buffered.fd, chunk.data, static_cast<size_t>(chunk.length), chunk.offset)) {
          why = "write of [" + target + "] failed at " + std::to_string(chunk.offset) + ": " + ErrnoText(errno);
          return false;
        }
        chunk.written = chunk.length;
        return true;
      },
      [&](UINT64 offset, size_t n, const SChunk* chunk, string& why) {
        CProgressHook::Report(offset + n);
        if (chunk) {
          if (chunk->written) written.push_back(offset);
          result.bytesWritten += chunk->written;
          return true;
        }
        if (unchanged(offset, ZeroDigest(n).data())) return true;
        if (!ZeroRange(out.buffered.fd, out.blockDevice, offset, n, result)) {
          why = "write of [" + target + "] failed at " + std::to_string(offset) + ": " + ErrnoText(errno);
          return false;
        }
        written.push_back(offset);
        return true;
      },
      cancel, error);
  if (!copied) return false;
  result.chunksWritten = written.size();
  if (!DigestsMatch(digests, size, expected)) {
    error = "the stored disk [" + source + "] is damaged: its data does not hash to the manifest's " + expected.Shown();
    return false;
  }
  if (::fsync(out.buffered.fd) != 0) {
    error = "flush of [" + target + "] failed: " + ErrnoText(errno);
    return false;
  }
  return ReadBack(out.buffered.fd, target, size, written, digests, error);
}

}  // namespace agent
