#include "agent/diskio/DiskCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "agent/diskio/ChunkPipeline.h"
#include "host/ErrnoText.h"

namespace agent {

bool CopyDiskSparse(const string& source, UINT64 size, const string& destination, SDiskCopyResult& result,
                    string& error, const std::atomic<bool>* cancel, const std::function<void(UINT64)>& progress) {
  SDiskFile in;
  if (!OpenDiskFile(source, O_RDONLY, in, error)) return false;
  // A device tells its own size; a file is read for the size reported.
  if (in.blockDevice) size = in.size;
  SFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.fd < 0 || ::ftruncate(out.fd, static_cast<off_t>(size)) != 0) {
    error = "cannot create [" + destination + "]: " + ErrnoText(errno);
    return false;
  }
  // Chunks are read, looked at and hashed on the pipeline's threads, several at once; a chunk of
  // zeros is left a hole of the stored file. Their digests are chained here, in order, and their
  // checks kept for the verify.
  CDiskDigest digest;
  ChunkChecks checks = ZeroChecks(size);
  UINT64 hashed = 0, read = 0;
  string digests;
  static const std::vector<char> zeros(kChecksumChunk, 0);
  const auto holes = [&](UINT64 to) {  // the digests of the chunks without data up to `to`
    for (UINT64 at = hashed; at < to; at += kChecksumChunk) {
      const size_t n = static_cast<size_t>(std::min<UINT64>(size - at, kChecksumChunk));
      const SChunkDigest zero = ChunkDigestOf(zeros.data(), n, true);
      digests.append(reinterpret_cast<const char*>(zero.data()), zero.size());
    }
  };
  const bool copied = RunChunkPipeline(
      kChunksInFlight, DataChunksOf(in, size),
      [&](SChunk& chunk, string& why) {
        const size_t n = static_cast<size_t>(chunk.length);
        if (!ReadChunkOf(in, source, size, chunk, why)) return false;
        chunk.digest = ChunkDigestOf(chunk.data, n, chunk.zero);
        chunk.check = ChunkCheckOf(chunk.data, n, chunk.zero);
        if (!chunk.zero && !WriteFully(out.fd, chunk.data, n, chunk.offset)) {
          why = "write of [" + destination + "] failed: " + ErrnoText(errno);
          return false;
        }
        return true;
      },
      [&](SChunk& chunk, string&) {
        digest.Zeros(chunk.offset - hashed);
        digest.AddChunk(chunk.digest);
        holes(chunk.offset);
        digests.append(reinterpret_cast<const char*>(chunk.digest.data()), chunk.digest.size());
        checks[chunk.offset / kDiskChunk] = chunk.check;
        hashed = chunk.offset + chunk.length;
        read += chunk.length;
        if (progress) progress(hashed);
        return true;
      },
      cancel, error);
  if (!copied) return false;
  digest.Zeros(size - hashed);
  holes(size);
  if (::fsync(out.fd) != 0) {
    error = "sync of [" + destination + "] failed: " + ErrnoText(errno);
    return false;
  }
  if (progress) progress(size);
  result.size = size;
  result.bytesRead = read;
  result.checksum = digest.Finish();
  result.checks = std::move(checks);
  result.digests = std::move(digests);
  return true;
}

namespace {

// The length of the file at `path`; `failure` starts the error when it cannot be found.
bool FileSize(const string& path, const char* failure, UINT64& size, string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = failure + (" [" + path + "]: ") + ErrnoText(errno);
    return false;
  }
  size = static_cast<UINT64>(st.st_size);
  return true;
}

}  // namespace

bool Sha256OfFile(const string& path, string& hex, string& error) {
  SDiskChecksum checksum;
  UINT64 size = 0;
  if (!FileSize(path, "cannot open", size, error) ||
      !ChecksumOfFile(path, size, EChecksumScheme::WholeSha256, checksum, error))
    return false;
  hex = checksum.hex;
  return true;
}

bool VerifyStoredCopy(const string& path, const SDiskCopyResult& copied, string& error) {
  UINT64 size = 0;
  if (!FileSize(path, "cannot read back", size, error)) return false;
  if (size != copied.size) {
    error = "[" + path + "] holds " + std::to_string(size) + " bytes, not the " + std::to_string(copied.size) + " read";
    return false;
  }
  SDiskFile file;
  if (!OpenDiskFile(path, O_RDONLY, file, error)) return false;
  // The copy was flushed: what the page cache kept of it goes, so that even a buffered read (a file
  // system without O_DIRECT) reads the storage.
  ::posix_fadvise(file.buffered.fd, 0, 0, POSIX_FADV_DONTNEED);
  if (!copied.checks.empty()) {
    // Every stored byte against the check of the byte read: a change between the read and the
    // storage shows, at a small part of the cost of hashing it all again (the checksum was made from
    // the very buffers the checks were).
    bool differs = false;
    string why;
    if (CheckReadBack(file, path, size, copied.checks, differs, why)) return true;
    error = differs ? "[" + path + "] does not hold what was read: " + why + " differs" : why;
    return false;
  }
  SDiskChecksum stored;
  if (!ChecksumOfDisk(file, path, size, copied.checksum.scheme, stored, error)) return false;
  if (stored != copied.checksum) {
    error = "[" + path + "] does not hold what was read: " + stored.Shown() + ", read " + copied.checksum.hex;
    return false;
  }
  return true;
}

}  // namespace agent
