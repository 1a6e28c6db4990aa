// The data path of a replication's sync, without the cloud: four disks synced whole, then with 1% of
// their chunks changed synced incrementally, both ways an incremental sync has (by the chunk digests
// the state keeps, and by comparison with the backup last synced, as a state without digests does),
// and the simulator's making of the destination volumes from the integrity snapshots.
//   sync_bench [rounds=3] [MiB of data per disk=128] [MiB per disk=256]
//
// Each disk is a sparse file with its data (random bytes) spread over it; the new backup is a copy
// with 1% of all chunks changed (4 KiB of random bytes at their start, spread over the disks). The
// destination volumes are loop devices, as attached volumes are: each bound to its file (empty for a
// full sync, the simulator's copy of the disk last synced for an incremental one) before its step and
// released after it, outside the timing. Before each timed run the page cache of every file involved
// is dropped (POSIX_FADV_DONTNEED), so that the bytes read come from the disk. Prints a markdown table:
// wall time (median), bytes read from the backups and bytes written to the destination, and the
// incremental sync's time against the full one's (target at most 0.5); exit status 1 when a sync
// fails or writes other than the changed chunks.
#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "agent/diskio/DiskWrite.h"
#include "agent/diskio/SyncChunks.h"
#include "bench/BenchUtil.h"
#include "bridge/sim/VolumeFiles.h"

using namespace agent;

namespace {

using namespace benchutil;

constexpr int kDisks = 4;
constexpr uint64_t kChangeBytes = 4096;

void DropCache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

struct SDisk {
  std::string base, next, target;       // the backup last synced, the new one, the destination volume's file
  std::unique_ptr<CLoopDevice> volume;  // the destination volume, bound to `target` for a step
  SDiskChecksum baseSum, nextSum;
  std::string baseDigests;
};

struct SResult {
  std::vector<double> seconds;
  uint64_t read = 0, written = 0;
};

// Times `step` on every disk, its destination volume (when `bound`) a loop device of its file.
template <typename Step>
void Time(std::vector<SDisk>& disks, SResult& result, bool bound, const Step& step) {
  for (auto& disk : disks) {
    for (const auto& path : {disk.base, disk.next, disk.target}) DropCache(path);
    if (bound) disk.volume = std::make_unique<CLoopDevice>(disk.target);
  }
  result.read = result.written = 0;
  const auto start = Clock::now();
  for (auto& disk : disks) step(disk, result);
  result.seconds.push_back(SecondsSince(start));
  for (auto& disk : disks) disk.volume.reset();
}

}  // namespace

int main(int argc, char** argv) try {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const uint64_t dataBytes = (argc > 2 ? std::max(1, std::atoi(argv[2])) : 128) * kMiB;
  const uint64_t size = (argc > 3 ? std::max(1, std::atoi(argv[3])) : 256) * kMiB;
  Check(dataBytes <= size, "more data than disk");
  STempDir dir(std::filesystem::temp_directory_path().string(), "sync-bench");
  Check(!dir.path.empty(), "no temporary folder");
  std::mt19937_64 random(7);
  std::vector<SDisk> disks(kDisks);
  const uint64_t chunks = size / kMiB, dataChunks = dataBytes / kMiB;
  for (int i = 0; i < kDisks; ++i) {
    SDisk& disk = disks[i];
    const std::string stem = dir.path + "/disk" + std::to_string(i);
    disk.base = stem + ".base", disk.next = stem + ".next", disk.target = stem + ".volume";
    const int fd = ::open(disk.base.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    Check(fd >= 0 && ::ftruncate(fd, static_cast<off_t>(size)) == 0, "cannot create " + disk.base);
    for (uint64_t c = 0; c < dataChunks; ++c) WriteRandom(fd, c * chunks / dataChunks * kMiB, kMiB, random);
    ::close(fd);
  }
  // 1% of all chunks, spread over the disks.
  const uint64_t changed = std::max<uint64_t>(1, kDisks * chunks / 100);
  std::vector<std::vector<uint64_t>> changes(kDisks);
  for (uint64_t n = 0; n < changed; ++n) {
    const uint64_t chunk = n * kDisks * chunks / changed;
    changes[chunk / chunks].push_back(chunk % chunks);
  }
  std::string error;
  for (int i = 0; i < kDisks; ++i) {
    SDisk& disk = disks[i];
    sim::CopySparseFile(disk.base, disk.next);
    const int fd = ::open(disk.next.c_str(), O_WRONLY | O_CLOEXEC);
    for (const uint64_t chunk : changes[i]) WriteRandom(fd, chunk * kMiB, kChangeBytes, random);
    ::close(fd);
    disk.baseSum = DiskChecksumOf(disk.base, size);
    disk.nextSum = DiskChecksumOf(disk.next, size);
    Check(DigestsOfStoredDisk(disk.base, size, disk.baseDigests, error), error);
  }

  SResult full, clone, byDigest, byBase;
  for (int round = 0; round < rounds; ++round) {
    // A full sync: empty volumes written whole, then the digests the state keeps.
    for (auto& disk : disks) {
      std::filesystem::remove(disk.target);
      sim::CreateSparseFile(disk.target, size);
    }
    Time(disks, full, true, [&](SDisk& disk, SResult& result) {
      SDiskWriteResult written;
      std::string digests;
      Check(WriteDiskFromBackup(disk.next, size, disk.volume->Path(), disk.nextSum, written, error) &&
                DigestsOfStoredDisk(disk.next, size, digests, error),
            error);
      result.written += written.bytesWritten;
    });
    // The simulator makes the destination volumes from the integrity snapshots of the last sync.
    for (auto& disk : disks) std::filesystem::remove(disk.target);
    Time(disks, clone, false, [&](SDisk& disk, SResult&) { sim::CopySparseFile(disk.base, disk.target); });
    Time(disks, byDigest, true, [&](SDisk& disk, SResult& result) {
      SSyncWriteResult written;
      std::string digests;
      Check(WriteChangedChunksByDigest(disk.next, size, disk.volume->Path(), disk.nextSum, disk.baseDigests, digests,
                                       written, error),
            error);
      result.read += written.bytesRead;
      result.written += written.bytesWritten;
    });
    for (auto& disk : disks) {
      std::filesystem::remove(disk.target);
      sim::CopySparseFile(disk.base, disk.target);
    }
    Time(disks, byBase, true, [&](SDisk& disk, SResult& result) {
      SDiskWriteResult written;
      Check(WriteChangedChunks(disk.base, disk.baseSum, disk.next, size, disk.volume->Path(), disk.nextSum, written,
                               error),
            error);
      result.written += written.bytesWritten;
    });
  }
  Check(byDigest.written == changed * kMiB && byBase.written == changed * kMiB,
        "an incremental sync wrote other chunks");
  const uint64_t data = kDisks * dataBytes;
  std::printf("%d disks of %llu MiB, %llu MiB of data each; %llu of %llu chunks changed (1%%); median of %d rounds\n\n",
              kDisks, static_cast<unsigned long long>(size / kMiB), static_cast<unsigned long long>(dataBytes / kMiB),
              static_cast<unsigned long long>(changed), static_cast<unsigned long long>(kDisks * chunks), rounds);
  std::printf("| step | wall s | of the full sync | backup bytes read | bytes written |\n|---|---|---|---|---|\n");
  const double whole = Median(full.seconds);
  const auto row = [&](const char* name, const SResult& r, const std::string& read) {
    std::printf("| %s | %.3f | %.2f | %s | %llu |\n", name, Median(r.seconds), Median(r.seconds) / whole, read.c_str(),
                static_cast<unsigned long long>(r.written));
  };
  row("full sync (write whole, verify, digests)", full, std::to_string(2 * data) + " (twice the data)");
  row("incremental by chunk digests (the state's)", byDigest, std::to_string(byDigest.read));
  row("incremental by the backup last synced (a state without digests)", byBase,
      std::to_string(2 * data) + " (both backups)");
  row("simulator: volumes from the integrity snapshots", clone, "");
  const double ratio = Median(byDigest.seconds) / whole;
  std::printf("\nincremental sync by digests / full sync = %.2f (target at most 0.5): %s; load average (1 min) %.2f\n",
              ratio, ratio <= 0.5 ? "met" : "NOT met", LoadAverage());
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "sync_bench: %s\n", e.what());
  return 1;
}
