#include "agent/diskio/ChunkPipeline.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "host/ErrnoText.h"
#include "host/Mutex.h"

namespace agent {

namespace {

// O_DIRECT wants the buffer, the offset and the length aligned to the device's logical block; a page
// covers every device we meet.
constexpr size_t kDirectAlignment = 4096;

bool Aligned(UINT64 value) { return value % kDirectAlignment == 0; }

struct SFreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using AlignedBuffer = std::unique_ptr<char, SFreeDeleter>;

AlignedBuffer NewAlignedBuffer() {
  void* p = nullptr;
  if (::posix_memalign(&p, kDirectAlignment, kDiskChunk) != 0) return nullptr;
  return AlignedBuffer(static_cast<char*>(p));
}

// A direct transfer where it can be one, else (or when the file system refuses it) a buffered one.
template <typename Transfer>
bool DirectOrBuffered(const SDiskFile& disk, UINT64 offset, size_t length, const void* buffer, Transfer transfer) {
  if (disk.direct.fd >= 0 && Aligned(offset) && Aligned(length) && Aligned(reinterpret_cast<uintptr_t>(buffer))) {
    if (transfer(disk.direct.fd)) return true;
    if (errno != EINVAL) return false;
  }
  return transfer(disk.buffered.fd);
}

enum class EState { Free, Busy, Done };

// A chunk in flight: its buffer, and how far the pipeline has taken it.
struct SSlot {
  AlignedBuffer buffer;
  SChunk chunk;
  EState state = EState::Free;
  UINT64 sequence = 0;
};

// `depth` slots, each with its buffer.
bool MakeSlots(size_t depth, std::vector<SSlot>& slots, string& error) {
  slots.resize(depth);
  for (auto& slot : slots)
    if (!(slot.buffer = NewAlignedBuffer())) {
      error = "out of memory for the transfer's buffers";
      return false;
    }
  return true;
}

}  // namespace

bool RunChunkPipeline(size_t depth, const ChunkSource& source, const ChunkStep& work, const ChunkStep& deliver,
                      const std::atomic<bool>* cancel, string& error) {
  depth = std::max<size_t>(depth, 1);
  std::vector<SSlot> slots;
  if (!MakeSlots(depth, slots, error)) return false;
  // Guards the slots' states and the counters below; locals, so the analysis cannot name them.
  Mutex mutex;
  std::condition_variable changed;
  UINT64 next = 0, end = 0;  // the sequence number handed out next; the count once the source is done
  bool sourceDone = false, stopped = false;
  string failure;
  auto stop = [&](const string& why) {
    {
      MutexLock lock(mutex);
      if (!stopped) failure = why;
      stopped = true;
    }
    changed.notify_all();
  };
  // A chunk's slot is the one its sequence number names: it is free once the chunk `depth` before it
  // was delivered, so chunks are handed out, and received, in order.
  auto worker = [&] {
    while (true) {
      SSlot* slot = nullptr;
      {
        MutexLock lock(mutex);
        while (!stopped && !sourceDone && slots[next % depth].state != EState::Free) lock.Wait(changed);
        if (stopped || sourceDone) return;
        slot = &slots[next % depth];
        slot->chunk = SChunk();
        slot->chunk.data = slot->buffer.get();
        if (!source(slot->chunk)) {
          sourceDone = true;
          end = next;
          changed.notify_all();
          return;
        }
        slot->sequence = next++;
        slot->state = EState::Busy;
      }
      string why;
      if (!work(slot->chunk, why)) return stop(why);
      {
        MutexLock lock(mutex);
        slot->state = EState::Done;
      }
      changed.notify_all();
    }
  };
  std::vector<std::thread> workers;
  try {
    for (size_t i = 0; i < depth; ++i) workers.emplace_back(worker);
  } catch (const std::system_error& e) {
    stop(string("cannot start the transfer's threads: ") + e.what());
  }
  for (UINT64 sequence = 0;; ++sequence) {
    SSlot& slot = slots[sequence % depth];
    {
      MutexLock lock(mutex);
      while (!stopped && !(sourceDone && sequence == end) && !(slot.state == EState::Done && slot.sequence == sequence))
        lock.Wait(changed);
      if (stopped || (sourceDone && sequence == end)) break;
    }
    string why;
    if (cancel && cancel->load()) {
      stop("cancelled");
      break;
    }
    if (deliver && !deliver(slot.chunk, why)) {
      stop(why);
      break;
    }
    {
      MutexLock lock(mutex);
      slot.state = EState::Free;
    }
    changed.notify_all();
  }
  for (auto& thread : workers) thread.join();
  if (stopped) error = failure;
  return !stopped;
}

bool OpenDiskFile(const string& path, int flags, SDiskFile& disk, string& error) {
  disk.buffered.fd = ::open(path.c_str(), flags | O_CLOEXEC);
  struct stat st;
  if (disk.buffered.fd < 0 || ::fstat(disk.buffered.fd, &st) != 0) {
    error = "cannot open [" + path + "]: " + ErrnoText(errno);
    return false;
  }
  disk.blockDevice = S_ISBLK(st.st_mode);
  if (disk.blockDevice) {
    if (::ioctl(disk.buffered.fd, BLKGETSIZE64, &disk.size) != 0) {
      error = "cannot read the size of [" + path + "]: " + ErrnoText(errno);
      return false;
    }
  } else if (S_ISREG(st.st_mode)) {
    disk.size = static_cast<UINT64>(st.st_size);
  } else {
    error = "[" + path + "] is neither a block device nor a file";
    return false;
  }
  // A file system that refuses O_DIRECT (tmpfs) leaves the buffered descriptor alone.
  disk.direct.fd = ::open(path.c_str(), flags | O_CLOEXEC | O_DIRECT);
  return true;
}

bool ReadDiskAt(const SDiskFile& disk, char* buffer, size_t length, UINT64 offset) {
  return DirectOrBuffered(disk, offset, length, buffer, [&](int fd) { return ReadFully(fd, buffer, length, offset); });
}

bool WriteDiskAt(const SDiskFile& disk, const char* buffer, size_t length, UINT64 offset) {
  return DirectOrBuffered(disk, offset, length, buffer, [&](int fd) { return WriteFully(fd, buffer, length, offset); });
}

namespace {

// The bytes of `disk` that hold its content up to `size`: a file's length (bytes past it are zeros).
UINT64 Readable(const SDiskFile& disk, UINT64 size) { return disk.blockDevice ? size : std::min(size, disk.size); }

}  // namespace

ChunkSource DataChunksOf(const SDiskFile& disk, UINT64 size) {
  // The next chunk to look at, and the end of the data region it lies in (a file system may take
  // time in proportion to a region's length to find its end: it is looked for once per region).
  struct SCursor {
    UINT64 next = 0, regionEnd = 0;
  };
  auto cursor = std::make_shared<SCursor>();
  const int fd = disk.buffered.fd;
  const UINT64 readable = Readable(disk, size);
  return [cursor, fd, size, readable](SChunk& chunk) {
    if (cursor->next >= readable) return false;
    UINT64 start = cursor->next;
    if (start >= cursor->regionEnd && !NextDataRegion(fd, cursor->next, readable, start, cursor->regionEnd))
      return false;
    chunk.offset = start / kDiskChunk * kDiskChunk;
    chunk.length = std::min<UINT64>(kDiskChunk, size - chunk.offset);
    cursor->next = chunk.offset + chunk.length;
    return true;
  };
}

bool ReadChunkOf(const SDiskFile& disk, const string& shown, UINT64 size, SChunk& chunk, string& why) {
  const size_t n = static_cast<size_t>(chunk.length);
  const size_t held = static_cast<size_t>(std::min<UINT64>(n, Readable(disk, size) - chunk.offset));
  std::memset(chunk.data + held, 0, n - held);
  if (!ReadDiskAt(disk, chunk.data, held, chunk.offset)) {
    why = "read of [" + shown + "] failed at " + std::to_string(chunk.offset) + ": " + ErrnoText(errno);
    return false;
  }
  chunk.zero = IsAllZero(chunk.data, n);
  return true;
}

bool ChecksumOfDisk(const SDiskFile& disk, const string& shown, UINT64 size, EChecksumScheme scheme,
                    SDiskChecksum& checksum, string& error, UINT64* bytesRead) {
  if (scheme != EChecksumScheme::ChunkedSha256) {
    if (ChecksumOfRange(disk.buffered.fd, size, scheme, checksum)) return true;
    error = "read of [" + shown + "] failed: " + ErrnoText(errno);
    return false;
  }
  CDiskDigest digest(scheme);
  UINT64 hashed = 0;
  const bool done = RunChunkPipeline(
      kChunksInFlight, DataChunksOf(disk, size),
      [&](SChunk& chunk, string& why) {
        if (!ReadChunkOf(disk, shown, size, chunk, why)) return false;
        chunk.digest = ChunkDigestOf(chunk.data, static_cast<size_t>(chunk.length), chunk.zero);
        return true;
      },
      [&](SChunk& chunk, string&) {
        digest.Zeros(chunk.offset - hashed);
        digest.AddChunk(chunk.digest);
        hashed = chunk.offset + chunk.length;
        if (bytesRead) *bytesRead += chunk.length;
        return true;
      },
      nullptr, error);
  if (!done) return false;
  digest.Zeros(size - hashed);
  checksum = digest.Finish();
  return true;
}

namespace {

// The check of `n` zeros: a whole chunk's is known, a shorter one (a disk's last) computed.
SChunkCheck ZeroCheck(size_t n) {
  if (n == kDiskChunk) return ChunkCheckOf(nullptr, n, true);
  const std::vector<char> zeros(n, 0);
  return ChunkCheckOf(zeros.data(), n);
}

}  // namespace

ChunkChecks ZeroChecks(UINT64 size) {
  const UINT64 count = (size + kDiskChunk - 1) / kDiskChunk;
  ChunkChecks checks(static_cast<size_t>(count), ZeroCheck(kDiskChunk));
  if (size % kDiskChunk) checks.back() = ZeroCheck(static_cast<size_t>(size % kDiskChunk));
  return checks;
}

bool CheckReadBack(const SDiskFile& disk, const string& shown, UINT64 size, const ChunkChecks& checks, bool& differs,
                   string& error) {
  differs = false;
  const UINT64 count = (size + kDiskChunk - 1) / kDiskChunk;
  if (checks.size() != count) {
    error = "the checks are of " + std::to_string(checks.size()) + " chunks, the disk has " + std::to_string(count);
    return false;
  }
  const SChunkCheck zeros = ZeroCheck(kDiskChunk);
  // A chunk that was not read (a hole of the file) reads as zeros: it must be one.
  auto unread = [&](UINT64 from, UINT64 to) {
    for (UINT64 offset = from; offset < to; offset += kDiskChunk) {
      const size_t n = static_cast<size_t>(std::min<UINT64>(kDiskChunk, size - offset));
      if (checks[offset / kDiskChunk] != (n == kDiskChunk ? zeros : ZeroCheck(n))) return offset;
    }
    return to;
  };
  UINT64 next = 0;                  // the end of the chunks delivered
  std::atomic<UINT64> first{size};  // a chunk found to differ
  string failure;
  const bool done = RunChunkPipeline(
      kChunksInFlight, DataChunksOf(disk, size),
      [&](SChunk& chunk, string& why) {
        if (!ReadChunkOf(disk, shown, size, chunk, why)) return false;
        if (ChunkCheckOf(chunk.data, static_cast<size_t>(chunk.length), chunk.zero) ==
            checks[chunk.offset / kDiskChunk])
          return true;
        why = "the chunk at " + std::to_string(chunk.offset);
        first = chunk.offset;
        return false;
      },
      [&](SChunk& chunk, string& why) {
        const UINT64 bad = unread(next, chunk.offset);
        if (bad < chunk.offset) {
          why = "the chunk at " + std::to_string(bad);
          first = bad;
          return false;
        }
        next = chunk.offset + chunk.length;
        return true;
      },
      nullptr, failure);
  const UINT64 bad = done ? unread(next, size) : first.load();
  if (bad < size) {
    differs = true;
    error = "the chunk at " + std::to_string(bad);
    return false;
  }
  if (!done) error = failure;
  return done;
}

}  // namespace agent
