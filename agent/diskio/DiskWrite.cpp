#include "agent/diskio/DiskWrite.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "agent/diskio/ChunkPipeline.h"
#include "agent/diskio/DiskRegions.h"
#include "agent/diskio/ProgressHook.h"
#include "host/ErrnoText.h"

namespace agent {

// Makes [offset, offset + length) of the target read as zeros without writing them: a hole punched
// in a file; on a device the zeroing that may unmap the range (a thin device, or a loop device's file,
// stays thin), else BLKZEROOUT (which keeps the range allocated; a device may write the zeros
// itself). A target that can do neither gets zeros written, counted as written bytes.
bool ZeroRange(int fd, bool blockDevice, UINT64 offset, UINT64 length, SDiskWriteResult& result) {
  if (length == 0) return true;
  int rc = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                       static_cast<off_t>(length));
  if (rc != 0 && blockDevice && errno == EOPNOTSUPP) {
    uint64_t range[2] = {offset, length};
    rc = ::ioctl(fd, BLKZEROOUT, range);
  }
  if (rc == 0) {
    result.bytesZeroed += length;
    return true;
  }
  // A device that cannot zero a range (or not one of this alignment) gets the zeros written.
  if (errno != EOPNOTSUPP && errno != ENOTTY && errno != EINVAL) return false;
  static const std::vector<char> zeros(kDiskChunk, 0);
  for (UINT64 done = 0; done < length;) {
    size_t n = static_cast<size_t>(std::min<UINT64>(length - done, kDiskChunk));
    if (!WriteFully(fd, zeros.data(), n, offset + done)) return false;
    done += n;
    result.bytesWritten += n;
  }
  return true;
}

// Opens the device the plug-in attached (never created), which must hold at least `size` bytes.
bool OpenTarget(const string& target, UINT64 size, SDiskFile& out, string& error) {
  if (!OpenDiskFile(target, O_RDWR, out, error)) return false;
  if (out.size < size) {
    error = "[" + target + "] holds " + std::to_string(out.size) + " bytes, fewer than the " + std::to_string(size) +
            " of the disk";
    return false;
  }
  return true;
}

namespace {

// Where the next piece of a stored disk starts, and the data region [start, end) around or after it,
// looked for once per region (past the last one, both are the disk's size).
struct SRegionCursor {
  UINT64 next = 0, start = 0, end = 0;
  void FindRegion(int fd, UINT64 size) {
    if (next >= end && !NextDataRegion(fd, next, size, start, end)) start = end = size;
  }
};

// The pieces of a stored disk a restore writes, in order: its holes whole, its data cut at chunk
// boundaries.
ChunkSource StoredPieces(int fd, UINT64 size) {
  auto cursor = std::make_shared<SRegionCursor>();
  return [cursor, fd, size](SChunk& chunk) {
    const UINT64 at = cursor->next;
    if (at >= size) return false;
    cursor->FindRegion(fd, size);
    chunk.offset = at;
    chunk.hole = cursor->start > at;
    chunk.length = chunk.hole ? cursor->start - at : std::min(cursor->end, (at / kDiskChunk + 1) * kDiskChunk) - at;
    cursor->next += chunk.length;
    return true;
  };
}

// The longest run of chunks without data a restore makes zero and reads back as one piece: several
// such pieces are in flight at once.
constexpr UINT64 kHolePiece = 64 * kDiskChunk;

// The chunks of a stored disk a restore of a chunked checksum writes, in order, each at a chunk
// boundary: a chunk that holds data (tagged when it is data throughout), or a run of chunks that hold
// none (a hole, at most kHolePiece long).
ChunkSource StoredChunks(int fd, UINT64 size) {
  auto cursor = std::make_shared<SRegionCursor>();
  return [cursor, fd, size](SChunk& chunk) {
    const UINT64 at = cursor->next;
    if (at >= size) return false;
    cursor->FindRegion(fd, size);
    const UINT64 dataChunk = std::max(at, cursor->start / kDiskChunk * kDiskChunk);
    chunk.offset = at;
    chunk.hole = dataChunk > at;
    chunk.length = chunk.hole ? std::min(dataChunk - at, kHolePiece) : std::min<UINT64>(kDiskChunk, size - at);
    chunk.allData = !chunk.hole && cursor->start <= at && cursor->end >= at + chunk.length;
    cursor->next += chunk.length;
    return true;
  };
}

// Where the stored disk (open as `fd`) has data in [offset, end): each region, or the whole range
// when `allData`, passed to `region(start, end)`, which may fail.
template <typename Region>
bool ForEachDataRegion(int fd, UINT64 offset, UINT64 end, bool allData, const Region& region) {
  if (allData) return region(offset, end);
  for (UINT64 at = offset, start = 0, stop = 0; at < end && NextDataRegion(fd, at, end, start, stop); at = stop)
    if (!region(start, stop)) return false;
  return true;
}

}  // namespace

// Reads `n` bytes at `offset`, holes as zeros; `empty` tells that the range holds no data at all.
bool ReadChunk(int fd, UINT64 offset, size_t n, char* buffer, bool& empty) {
  UINT64 start = 0, end = 0;
  empty = !NextDataRegion(fd, offset, offset + n, start, end);
  if (!empty) return ReadFully(fd, buffer, n, offset);
  std::memset(buffer, 0, n);
  return true;
}

bool VerifyWrittenDisk(int fd, const string& target, int sourceFd, const string& source, UINT64 size,
                       const SDiskChecksum& expected, string& error) {
  if (::fsync(fd) != 0) {
    error = "flush of [" + target + "] failed: " + ErrnoText(errno);
    return false;
  }
  // Read back from the device (direct where it can be), not from what the page cache kept of the
  // writes. A device cannot tell its holes: every byte of it is read, but only data is hashed.
  ::posix_fadvise(fd, 0, static_cast<off_t>(size), POSIX_FADV_DONTNEED);
  SDiskChecksum written, stored;
  SDiskFile readBack;
  string why;
  if (!OpenDiskFile(target, O_RDONLY, readBack, why) ||
      !ChecksumOfDisk(readBack, target, size, expected.scheme, written, why)) {
    error = "read back of [" + target + "] failed: " + why;
    return false;
  }
  if (written == expected) return true;
  if (!ChecksumOfRange(sourceFd, size, expected.scheme, stored)) {
    error = "[" + target + "] differs from the manifest and the stored disk [" + source +
            "] cannot be read: " + ErrnoText(errno);
  } else if (stored != expected) {
    error = "the stored disk [" + source + "] is damaged: its data has " + stored.Shown() + ", the manifest " +
            expected.hex;
  } else {
    error = "the read-back of [" + target + "] differs from the stored disk: " + written.Shown() + ", stored " +
            expected.hex;
  }
  return false;
}

bool OpenStoredDisk(const string& path, UINT64 size, SFd& in, string& error) {
  // Never a link (whose target is not the backup's) nor a pipe, whose open would wait for a writer.
  in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  const string shown = "the stored disk [" + path + "]";
  if (in.fd < 0 || ::fstat(in.fd, &st) != 0) {
    error = shown + (errno == ENOENT  ? string(" is missing")
                     : errno == ELOOP ? string(" is a symbolic link")
                                      : string(" cannot be opened: ") + ErrnoText(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = shown + " is not a regular file";
    return false;
  }
  if (static_cast<UINT64>(st.st_size) != size) {
    error =
        shown + " holds " + std::to_string(st.st_size) + " bytes, not the " + std::to_string(size) + " of the manifest";
    return false;
  }
  return true;
}

namespace {

// Reads back [offset, offset + length) of the target into `buffer` (kDiskChunk bytes) a chunk at a
// time, from the device: direct reads go to it (after the kernel wrote back any buffered write of the
// range); a piece O_DIRECT cannot take is flushed and dropped from the page cache first. `check(data,
// n)` says whether each piece read is right.
template <typename Check>
bool ReadBackRange(const SDiskFile& out, UINT64 offset, UINT64 length, char* buffer, const Check& check,
                   bool& differs) {
  if (out.direct.fd < 0 || offset % 4096 || length % 4096) {
    if (::fdatasync(out.buffered.fd) != 0) return false;
    ::posix_fadvise(out.buffered.fd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
  }
  for (UINT64 at = offset; at < offset + length; at += kDiskChunk) {
    const size_t n = static_cast<size_t>(std::min<UINT64>(kDiskChunk, offset + length - at));
    if (!ReadDiskAt(out, buffer, n, at)) return false;
    if (!check(buffer, n)) {
      differs = true;
      return false;
    }
  }
  return true;
}

// A chunked restore's end, once every chunk was written and read back: the chained digests must make
// `expected` (else the stored disk is damaged), the target is flushed, and no piece may have read back
// different (`firstDiffering` is the disk's size when none did).
bool FinishChunkedRestore(const SDiskChecksum& written, const SDiskChecksum& expected, const string& source,
                          const SDiskFile& out, const string& target, UINT64 firstDiffering, UINT64 size,
                          string& error) {
  if (written != expected) {
    error = "the stored disk [" + source + "] is damaged: its data has " + written.Shown() + ", the manifest " +
            expected.hex;
    return false;
  }
  if (::fsync(out.buffered.fd) != 0) {
    error = "flush of [" + target + "] failed: " + ErrnoText(errno);
    return false;
  }
  if (firstDiffering == size) return true;
  error = "the read-back of [" + target + "] differs from the stored disk in the piece at " +
          std::to_string(firstDiffering);
  return false;
}

// The restore of a backup with a chunked checksum: each chunk of the stored disk is read, hashed and
// written on the pipeline's threads (its data regions written, the rest made zero as ZeroRange does;
// nothing where the target is known empty), then read back from the device into the same buffer and
// compared with the check of what was written; a run without data is made zero and read back, and
// must read as zeros. The digests are chained in order and must make `expected` (else the stored disk
// is damaged); the target is flushed at the end. Every byte of the target is read back (a device
// cannot tell its holes) while the next chunks are written, and the data hashed once.
bool WriteChunkedBackup(const SFd& in, const string& source, UINT64 size, const SDiskFile& out, const string& target,
                        const SDiskChecksum& expected, SDiskWriteResult& result, string& error,
                        const std::atomic<bool>* cancel, bool targetEmpty) {
  CDiskDigest digest;
  std::atomic<UINT64> firstDiffering{size};  // the offset of the first piece whose read-back differs
  // Makes [offset, offset + length) zero on the target; the bytes it had to write count in `written`.
  auto zero = [&](UINT64 offset, UINT64 length, UINT64& written) {
    if (targetEmpty || length == 0) return true;
    SDiskWriteResult zeroed;
    if (!ZeroRange(out.buffered.fd, out.blockDevice, offset, length, zeroed)) return false;
    written += zeroed.bytesWritten;
    return true;
  };
  const bool copied = RunChunkPipeline(
      kChunksInFlight, StoredChunks(in.fd, size),
      [&](SChunk& chunk, string& why) {
        const size_t n = static_cast<size_t>(chunk.length);
        const auto zeroFailed = [&] {
          why = "zeroing [" + target + "] at " + std::to_string(chunk.offset) + " failed: " + ErrnoText(errno);
          return false;
        };
        // The piece as the target now holds it, against what was written; one that differs is noted
        // and the restore goes on (the whole disk is written, and the first piece that differs named).
        const auto readBack = [&](const auto& check) {
          bool differs = false;
          if (ReadBackRange(out, chunk.offset, chunk.length, chunk.data, check, differs)) return true;
          if (differs) {
            for (UINT64 seen = firstDiffering.load();
                 chunk.offset < seen && !firstDiffering.compare_exchange_weak(seen, chunk.offset);) {
            }
            return true;
          }
          why = "read back of [" + target + "] failed at " + std::to_string(chunk.offset) + ": " + ErrnoText(errno);
          return false;
        };
        const auto zeros = [](const char* data, size_t length) { return IsAllZero(data, length); };
        if (chunk.hole) return (zero(chunk.offset, chunk.length, chunk.written) || zeroFailed()) && readBack(zeros);
        if (!ReadFully(in.fd, chunk.data, n, chunk.offset)) {
          why = "read of [" + source + "] failed at " + std::to_string(chunk.offset) + ": " + ErrnoText(errno);
          return false;
        }
        chunk.zero = IsAllZero(chunk.data, n);
        chunk.digest = ChunkDigestOf(chunk.data, n, chunk.zero);
        if (chunk.zero) return (zero(chunk.offset, chunk.length, chunk.written) || zeroFailed()) && readBack(zeros);
        const SChunkCheck check = ChunkCheckOf(chunk.data, n);
        // The stored disk's data regions are written (zeros among them made zero), its holes made zero.
        UINT64 done = chunk.offset;
        const bool wrote =
            ForEachDataRegion(in.fd, chunk.offset, chunk.offset + n, chunk.allData, [&](UINT64 start, UINT64 end) {
              if (!zero(done, start - done, chunk.written)) return zeroFailed();
              done = end;
              const char* bytes = chunk.data + (start - chunk.offset);
              const size_t length = static_cast<size_t>(end - start);
              if (IsAllZero(bytes, length)) return zero(start, length, chunk.written) || zeroFailed();
              if (WriteDiskAt(out, bytes, length, start)) {
                chunk.written += length;
                return true;
              }
              why = "write of [" + target + "] failed at " + std::to_string(start) + ": " + ErrnoText(errno);
              return false;
            });
        return wrote && (zero(done, chunk.offset + n - done, chunk.written) || zeroFailed()) &&
               readBack([&](const char* data, size_t length) { return ChunkCheckOf(data, length) == check; });
      },
      [&](SChunk& chunk, string&) {
        if (chunk.hole)
          digest.Zeros(chunk.length);
        else
          digest.AddChunk(chunk.digest);
        result.bytesWritten += chunk.written;
        result.bytesZeroed += chunk.length - chunk.written;
        CProgressHook::Report(chunk.offset + chunk.length);
        return true;
      },
      cancel, error);
  return copied &&
         FinishChunkedRestore(digest.Finish(), expected, source, out, target, firstDiffering.load(), size, error);
}

}  // namespace

bool WriteDiskFromBackup(const string& source, UINT64 size, const string& target, const SDiskChecksum& expected,
                         SDiskWriteResult& result, string& error, const std::atomic<bool>* cancel, bool targetEmpty) {
  result = SDiskWriteResult();
  SFd in;
  SDiskFile out;
  if (!OpenStoredDisk(source, size, in, error) || !OpenTarget(target, size, out, error)) return false;
  if (expected.scheme == EChecksumScheme::ChunkedSha256)
    return WriteChunkedBackup(in, source, size, out, target, expected, result, error, cancel, targetEmpty);
  // A whole SHA-256 (an older agent's backup) is hashed in order: the pieces are written, then read back.
  // Pieces are read and written on the pipeline's threads, several at once and in any order; a
  // piece of zeros is made zero on the target (nothing to do on a target known empty).
  const bool written = RunChunkPipeline(
      kChunksInFlight, StoredPieces(in.fd, size),
      [&](SChunk& chunk, string& why) {
        const size_t n = static_cast<size_t>(chunk.length);
        if (!chunk.hole) {
          if (!ReadFully(in.fd, chunk.data, n, chunk.offset)) {
            why = "read of [" + source + "] failed at " + std::to_string(chunk.offset) + ": " + ErrnoText(errno);
            return false;
          }
          chunk.zero = IsAllZero(chunk.data, n);
        }
        if (!chunk.hole && !chunk.zero) {
          if (!WriteDiskAt(out, chunk.data, n, chunk.offset)) {
            why = "write of [" + target + "] failed at " + std::to_string(chunk.offset) + ": " + ErrnoText(errno);
            return false;
          }
          chunk.written = chunk.length;
          return true;
        }
        if (targetEmpty) return true;
        SDiskWriteResult zeroed;
        if (!ZeroRange(out.buffered.fd, out.blockDevice, chunk.offset, chunk.length, zeroed)) {
          why = "zeroing [" + target + "] at " + std::to_string(chunk.offset) + " failed: " + ErrnoText(errno);
          return false;
        }
        chunk.written = zeroed.bytesWritten;
        return true;
      },
      [&](SChunk& chunk, string&) {
        result.bytesWritten += chunk.written;
        result.bytesZeroed += chunk.length - chunk.written;
        CProgressHook::Report(chunk.offset + chunk.length);
        return true;
      },
      cancel, error);
  if (!written) return false;
  return VerifyWrittenDisk(out.buffered.fd, target, in.fd, source, size, expected, error);
}

bool WriteChangedChunks(const string& base, const SDiskChecksum& baseChecksum, const string& source, UINT64 size,
                        const string& target, const SDiskChecksum& expected, SDiskWriteResult& result, string& error,
                        const std::atomic<bool>* cancel) {
  result = SDiskWriteResult();
  SFd old, in;
  SDiskFile out;
  if (!OpenStoredDisk(base, size, old, error) || !OpenStoredDisk(source, size, in, error) ||
      !OpenTarget(target, size, out, error))
    return false;
  const bool blockDevice = out.blockDevice;
  std::vector<char> before(kDiskChunk), after(kDiskChunk);
  CDiskDigest baseDigest(baseChecksum.scheme);
  for (UINT64 offset = 0; offset < size; offset += kDiskChunk) {
    if (cancel && cancel->load()) {
      error = "cancelled";
      return false;
    }
    const size_t n = static_cast<size_t>(std::min<UINT64>(size - offset, kDiskChunk));
    bool beforeEmpty = false, afterEmpty = false;
    if (!ReadChunk(old.fd, offset, n, before.data(), beforeEmpty) ||
        !ReadChunk(in.fd, offset, n, after.data(), afterEmpty)) {
      error =
          "read of [" + base + "] or [" + source + "] failed at " + std::to_string(offset) + ": " + ErrnoText(errno);
      return false;
    }
    if (beforeEmpty && afterEmpty) {
      baseDigest.Zeros(n);
      continue;
    }
    baseDigest.Update(before.data(), n);
    if (std::memcmp(before.data(), after.data(), n) == 0) continue;
    const bool done = afterEmpty ? ZeroRange(out.buffered.fd, blockDevice, offset, n, result)
                                 : WriteFully(out.buffered.fd, after.data(), n, offset);
    if (!done) {
      error = "write of [" + target + "] failed at " + std::to_string(offset) + ": " + ErrnoText(errno);
      return false;
    }
    if (!afterEmpty) result.bytesWritten += n;
  }
  // The target was made from the disk last synced: a base that is no longer that disk means the
  // changes were taken against the wrong bytes.
  if (baseDigest.Finish() != baseChecksum) {
    error = "[" + base + "] is not the disk last synced (its checksum changed)";
    return false;
  }
  return VerifyWrittenDisk(out.buffered.fd, target, in.fd, source, size, expected, error);
}

}  // namespace agent
