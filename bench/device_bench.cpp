// The agent's data path on kernel block devices (loop devices bound to files of the bench's own), each
// figure against its target and measured in one run:
//   device_bench [full] [sparse] [streams] [--reps N=3] [--files DIR=/dev/shm] [--store DIR=/dev/shm]
//                [--full-mib N=1024] [--sparse-gib N=50] [--stream-mib N=256] [--direct-io]
//
// full:    backup of a fully written device (copy: read, checksum, store; then the verify, which reads
//          the stored copy back) against the slower of `dd iflag=direct bs=4M` and `openssl dgst
//          -sha256` of the same device; then the restore of that backup onto a device of the same
//          kind holding other bytes (write, flush, read back, checksum) against `dd oflag=direct
//          bs=4M` of the same data. Target at least 0.8 of the reference's rate for both.
// sparse:  a 50 GiB device holding 256 MiB of data (four runs of 64 MiB): the store's allocated size
//          (target within 1% of the data), the backup's wall time and bytes read; its restore onto a
//          device whose bytes in the backup's holes are old data (which must read as zeros after),
//          against `dd oflag=direct bs=4M` of the data chunks.
// streams: 1, 4 and 8 fully written devices backed up at once (one stream each, as a job with the
//          proxy's stream limit does): wall time against one device's.
//
// The devices' files live in --files (tmpfs by default: the devices cost what the data path costs, not
// what the machine's disk does; with --direct-io the devices read and write their files direct, and
// cost what the storage under --files costs); the stores in --store. Every device is bound for its
// section only and released at its end. A read-back pass of the restored device (the reads and checks
// the restore makes of it, done again on their own) is timed apart: what verifying costs by itself.
// Before a buffered reader (openssl) the device's page cache is dropped. Prints markdown tables with
// the machine's load average; exit status 1 when a copy, verify or restore fails or stores other than
// the data.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "agent/diskio/ChunkPipeline.h"
#include "agent/diskio/DiskCopy.h"
#include "agent/diskio/DiskWrite.h"
#include "bench/BenchUtil.h"

using namespace agent;

namespace {

using namespace benchutil;

constexpr uint64_t kGiB = 1024 * kMiB;

struct SOptions {
  int reps = 3;
  std::string files = "/dev/shm", store = "/dev/shm";
  uint64_t fullMiB = 1024, sparseGiB = 50, streamMiB = 256;
};

// A file of `size` bytes, holes but for `runs` of random bytes ([offset, length)), flushed.
void MakeDiskFile(const std::string& path, uint64_t size, const std::vector<std::pair<uint64_t, uint64_t>>& runs,
                  uint64_t seed) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0 && ::ftruncate(fd, static_cast<off_t>(size)) == 0, "cannot create " + path);
  std::mt19937_64 random(seed);
  for (const auto& [offset, length] : runs) WriteRandom(fd, offset, length, random);
  Check(::fsync(fd) == 0, "fsync failed");
  ::close(fd);
}

void MakeFullFile(const std::string& path, uint64_t size, uint64_t seed) {
  MakeDiskFile(path, size, {{0, size}}, seed);
}

// Writes 4 KiB of other bytes every `every` bytes of the device: a restore that left them would not verify.
void Spoil(const std::string& device, uint64_t size, uint64_t every) {
  const int fd = ::open(device.c_str(), O_WRONLY | O_CLOEXEC);
  Check(fd >= 0, "cannot open " + device);
  const std::string junk(4096, '\x5a');
  for (uint64_t at = 0; at < size; at += every) Check(WriteFully(fd, junk.data(), junk.size(), at), "write failed");
  Check(::fsync(fd) == 0, "fsync failed");
  ::close(fd);
}

// A backup of one disk as the agent's stream does it: the copy, then the verify of the stored copy.
struct SBackup {
  double copy = 0, verify = 0, cpu = 0;
  SDiskCopyResult result;
};

SBackup Backup(const std::string& device, const std::string& store) {
  std::filesystem::remove(store);
  SBackup backup;
  std::string error;
  const double cpu = CpuSeconds();
  auto start = Clock::now();
  Check(CopyDiskSparse(device, 0, store, backup.result, error), "copy of " + device + ": " + error);
  backup.copy = SecondsSince(start);
  start = Clock::now();
  Check(VerifyStoredCopy(store, backup.result, error), "verify of " + store + ": " + error);
  backup.verify = SecondsSince(start);
  backup.cpu = CpuSeconds() - cpu;
  return backup;
}

// A read-back pass of a restored device on its own: the device read whole and each chunk compared
// with the check of the stored disk's. Its wall time; its processor time in `cpuSeconds`.
double ReadBack(const std::string& device, const std::string& stored, uint64_t size, double* cpuSeconds = nullptr) {
  SDiskFile file, store;
  std::string error;
  // The stored disk's checks, as the restore makes them while it writes.
  Check(OpenDiskFile(stored, O_RDONLY, store, error), error);
  ChunkChecks checks = ZeroChecks(size);
  Check(RunChunkPipeline(
            kChunksInFlight, DataChunksOf(store, size),
            [&](SChunk& chunk, string& why) {
              if (!ReadChunkOf(store, stored, size, chunk, why)) return false;
              checks[chunk.offset / kDiskChunk] = ChunkCheckOf(chunk.data, chunk.length, chunk.zero);
              return true;
            },
            nullptr, nullptr, error),
        error);
  bool differs = false;
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  Check(OpenDiskFile(device, O_RDONLY, file, error) && CheckReadBack(file, device, size, checks, differs, error),
        "read-back: " + error);
  if (cpuSeconds) *cpuSeconds = CpuSeconds() - cpu;
  return SecondsSince(start);
}

double MiBps(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / kMiB / seconds; }

void Verdict(const char* what, double ratio, const char* target, bool met) {
  std::printf("\n%s = %.2f (target %s): %s\n", what, ratio, target, met ? "met" : "NOT met");
}

void Load(const char* when) { std::printf("load average (1 min) %s: %.2f\n", when, LoadAverage()); }

void Full(const SOptions& options) {
  const uint64_t size = options.fullMiB * kMiB;
  STempDir files(options.files, "device-bench"), store(options.store, "device-bench-store");
  Check(!files.path.empty() && !store.path.empty(), "no working folders");
  const std::string sourceFile = files.path + "/source.img", targetFile = files.path + "/target.img";
  const std::string stored = store.path + "/disk.img";
  MakeFullFile(sourceFile, size, 7);
  MakeFullFile(targetFile, size, 8);
  const SDiskChecksum expected = DiskChecksumOf(sourceFile, size);
  CLoopDevice source(sourceFile), target(targetFile);
  std::printf("## Backup and restore of a fully written %llu MiB loop device (%d runs, medians)\n\n",
              static_cast<unsigned long long>(options.fullMiB), options.reps);
  Load("before");
  std::vector<double> ddRead, openssl, copy, verify, backup, ddWrite, restore, readBack, writing;
  std::vector<double> ddReadCpu, opensslCpu, backupCpu, ddWriteCpu, restoreCpu, readBackCpu;  // processor seconds
  double cpu = 0;
  for (int run = 0; run < options.reps; ++run) {
    ddRead.push_back(
        TimeCommand({"dd", "if=" + source.Path(), "of=/dev/null", "bs=4M", "iflag=direct", "status=none"}, &cpu));
    ddReadCpu.push_back(cpu);
    source.DropCache();
    openssl.push_back(TimeCommand({"openssl", "dgst", "-sha256", source.Path()}, &cpu));
    opensslCpu.push_back(cpu);
    const SBackup b = Backup(source.Path(), stored);
    Check(b.result.checksum == expected && b.result.size == size, "the backup's checksum is not the device's");
    copy.push_back(b.copy);
    verify.push_back(b.verify);
    backup.push_back(b.copy + b.verify);
    backupCpu.push_back(b.cpu);
    Spoil(target.Path(), size, 16 * kMiB);
    ddWrite.push_back(
        TimeCommand({"dd", "if=" + stored, "of=" + target.Path(), "bs=4M", "oflag=direct", "status=none"}, &cpu));
    ddWriteCpu.push_back(cpu);
    Spoil(target.Path(), size, 16 * kMiB);
    SDiskWriteResult written;
    std::string error;
    cpu = CpuSeconds();
    const auto start = Clock::now();
    Check(WriteDiskFromBackup(stored, size, target.Path(), expected, written, error), "restore: " + error);
    restore.push_back(SecondsSince(start));
    restoreCpu.push_back(CpuSeconds() - cpu);
    readBack.push_back(ReadBack(target.Path(), stored, size, &cpu));
    readBackCpu.push_back(cpu);
    writing.push_back(restore.back() - readBack.back());
    Check(written.bytesWritten == size, "the restore did not write the backup's data");
  }
  Load("after");
  std::printf("\n| step | s | MiB/s | processor s (the process's; not the loop device's) |\n|---|---:|---:|---:|\n");
  const auto row = [&](const char* name, const std::vector<double>& seconds, const std::vector<double>& cpus) {
    std::printf("| %s | %.3f | %.0f | %s |\n", name, Median(seconds), MiBps(size, Median(seconds)),
                cpus.empty() ? "" : std::to_string(Median(cpus)).substr(0, 5).c_str());
  };
  row("`dd if=DEV of=/dev/null bs=4M iflag=direct`", ddRead, ddReadCpu);
  row("`openssl dgst -sha256 DEV`", openssl, opensslCpu);
  row("backup: copy (read, checksum, store)", copy, {});
  row("backup: verify (read the stored copy back, check each chunk)", verify, {});
  row("**backup: whole (copy + verify)**", backup, backupCpu);
  row("`dd if=STORED of=DEV bs=4M oflag=direct`", ddWrite, ddWriteCpu);
  row("**restore: whole (write and hash, flush, read back, check each chunk)**", restore, restoreCpu);
  row("a read-back pass of the restored device alone (timed apart)", readBack, readBackCpu);
  row("restore less that pass (about its writing)", writing, {});
  const double reference = std::max(Median(ddRead), Median(openssl));
  const double backupRatio = reference / Median(backup), restoreRatio = Median(ddWrite) / Median(restore);
  Verdict("backup rate / slower of dd and openssl", backupRatio, "at least 0.8", backupRatio >= 0.8);
  Verdict("restore rate / dd oflag=direct", restoreRatio, "at least 0.8", restoreRatio >= 0.8);
  std::printf("(the restore less a read-back pass / dd oflag=direct = %.2f)\n", Median(ddWrite) / Median(writing));
  std::printf("\n");
}

void Sparse(const SOptions& options) {
  const uint64_t size = options.sparseGiB * kGiB, run = 64 * kMiB;
  STempDir files(options.files, "device-bench"), store(options.store, "device-bench-store");
  Check(!files.path.empty() && !store.path.empty(), "no working folders");
  const std::string sourceFile = files.path + "/source.img", targetFile = files.path + "/target.img";
  const std::string stored = store.path + "/disk.img";
  // Four runs of data spread over the disk; the target holds old bytes half-way between them.
  std::vector<std::pair<uint64_t, uint64_t>> data, old;
  for (uint64_t i = 0; i < 4; ++i) {
    data.emplace_back(i * size / 4 / kMiB * kMiB, run);
    old.emplace_back((2 * i + 1) * size / 8 / kMiB * kMiB, run);
  }
  MakeDiskFile(sourceFile, size, data, 7);
  MakeDiskFile(targetFile, size, old, 9);
  const SDiskChecksum expected = DiskChecksumOf(sourceFile, size);
  CLoopDevice source(sourceFile), target(targetFile);
  std::printf("## A %llu GiB loop device holding %llu MiB of data (one run)\n\n",
              static_cast<unsigned long long>(options.sparseGiB), static_cast<unsigned long long>(4 * run / kMiB));
  Load("before");
  const SBackup b = Backup(source.Path(), stored);
  Check(b.result.checksum == expected, "the backup's checksum is not the device's");
  double ddSeconds = 0;
  for (const auto& [offset, length] : data)
    ddSeconds +=
        TimeCommand({"dd", "if=" + stored, "of=" + target.Path(), "bs=4M", "oflag=direct", "status=none",
                     "skip=" + std::to_string(offset / (4 * kMiB)), "seek=" + std::to_string(offset / (4 * kMiB)),
                     "count=" + std::to_string(length / (4 * kMiB))});
  SDiskWriteResult written;
  std::string error;
  const auto start = Clock::now();
  Check(WriteDiskFromBackup(stored, size, target.Path(), expected, written, error), "restore: " + error);
  const double restore = SecondsSince(start);
  const double readBack = ReadBack(target.Path(), stored, size);
  Load("after");
  const uint64_t dataBytes = 4 * run, allocated = AllocatedOf(stored);
  const double off = std::abs(static_cast<double>(allocated) - static_cast<double>(dataBytes)) / dataBytes;
  std::printf("\n| | |\n|---|---:|\n");
  std::printf("| backup: copy | %.2f s |\n| backup: verify | %.2f s |\n| backup: bytes read from the device | %llu |\n",
              b.copy, b.verify, static_cast<unsigned long long>(b.result.bytesRead));
  std::printf("| store: allocated | %llu (data %llu) |\n", static_cast<unsigned long long>(allocated),
              static_cast<unsigned long long>(dataBytes));
  std::printf("| `dd oflag=direct bs=4M` of the data chunks | %.3f s |\n", ddSeconds);
  std::printf("| restore: whole (write the data, zero the rest, flush, read back the device) | %.2f s |\n", restore);
  std::printf("| a read-back pass of the restored device alone (timed apart) | %.2f s |\n", readBack);
  std::printf("| restore less that pass (about its writing) | %.3f s |\n", restore - readBack);
  std::printf("| restore: bytes written / made zero | %llu / %llu |\n",
              static_cast<unsigned long long>(written.bytesWritten),
              static_cast<unsigned long long>(written.bytesZeroed));
  std::printf("| target's file allocated after the restore | %llu |\n",
              static_cast<unsigned long long>(AllocatedOf(targetFile)));
  Verdict("store's allocated size off the data by", off, "at most 0.01", off <= 0.01);
  Verdict("restore rate / dd oflag=direct of the data chunks", ddSeconds / restore, "at least 0.8",
          ddSeconds / restore >= 0.8);
  std::printf("(the restore less a read-back pass / dd of the data chunks = %.2f)\n", ddSeconds / (restore - readBack));
  std::printf("\n");
}

void Streams(const SOptions& options) {
  const uint64_t size = options.streamMiB * kMiB;
  constexpr int kMost = 8;
  STempDir files(options.files, "device-bench"), store(options.store, "device-bench-store");
  Check(!files.path.empty() && !store.path.empty(), "no working folders");
  std::vector<std::unique_ptr<CLoopDevice>> devices;
  for (int i = 0; i < kMost; ++i) {
    const std::string file = files.path + "/disk" + std::to_string(i) + ".img";
    MakeFullFile(file, size, 20 + i);
    devices.push_back(std::make_unique<CLoopDevice>(file));
  }
  std::printf("## Disks of one job at once: %d streams of fully written %llu MiB loop devices (%d runs, medians)\n\n",
              kMost, static_cast<unsigned long long>(options.streamMiB), options.reps);
  Load("before");
  std::vector<std::pair<int, double>> times;
  for (const int n : {1, 4, 8}) {
    std::vector<double> seconds;
    for (int run = 0; run < options.reps; ++run) {
      std::vector<std::thread> streams;
      const auto start = Clock::now();
      for (int i = 0; i < n; ++i)
        streams.emplace_back([&, i] { Backup(devices[i]->Path(), store.path + "/disk" + std::to_string(i) + ".img"); });
      for (auto& stream : streams) stream.join();
      seconds.push_back(SecondsSince(start));
    }
    times.emplace_back(n, Median(seconds));
  }
  Load("after");
  std::printf(
      "\n| disks | wall s | T(N)/T(1) | per disk, of one disk's time | MiB/s, all disks "
      "|\n|---:|---:|---:|---:|---:|\n");
  for (const auto& [n, seconds] : times)
    std::printf("| %d | %.2f | %.2f | %.2f | %.0f |\n", n, seconds, seconds / times[0].second,
                seconds / n / times[0].second, MiBps(n * size, seconds));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) try {
  SOptions options;
  std::vector<std::string> sections;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      Check(i + 1 < argc, arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--reps")
      options.reps = std::max(1, std::stoi(value()));
    else if (arg == "--files")
      options.files = value();
    else if (arg == "--store")
      options.store = value();
    else if (arg == "--full-mib")
      options.fullMiB = std::stoull(value());
    else if (arg == "--sparse-gib")
      options.sparseGiB = std::stoull(value());
    else if (arg == "--direct-io")
      g_loopDirectIo = true;
    else if (arg == "--stream-mib")
      options.streamMiB = std::stoull(value());
    else
      sections.push_back(arg);
  }
  if (sections.empty()) sections = {"full", "sparse", "streams"};
  Check(::access("/dev/loop-control", R_OK | W_OK) == 0, "no /dev/loop-control on this machine");
  for (const auto& section : sections) {
    if (section == "full")
      Full(options);
    else if (section == "sparse")
      Sparse(options);
    else if (section == "streams")
      Streams(options);
    else
      Check(false, "unknown section " + section);
    std::fflush(stdout);
  }
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "device_bench: %s\n", e.what());
  return 1;
}
