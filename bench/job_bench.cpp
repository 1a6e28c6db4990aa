// Whole jobs of backup-agent processes on sandboxes, three tables:
// - memory: peak resident size of a backup and a restore of 8 disks by disk size (the six disks
//   added hold 512 KiB of data each, the rest holes); it must not grow with the disks' size;
// - disks: a whole backup and a restore of 1 and of 8 disks of 1 GiB, each holding 64 MiB of data;
// - a 50 GiB boot volume holding 256 MiB of data: backup and restore time and bytes, and what the
//   checksum of the stored disk costs in each scheme (the whole SHA-256 hashed every zero).
// The peak of each process comes from wait4()'s rusage; times are wall times of the processes.
//
//   job_bench [memory|disks|large]...      (default: all three)
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchUtil.h"

namespace {

using benchutil::Check;
using benchutil::kMiB;
using benchutil::RunTool;
using benchutil::SRun;
using nlohmann::json;

constexpr uint64_t kGiB = 1024 * kMiB;

// A sandbox whose sample-web instance the jobs back up and restore.
class CSandbox {
 public:
  CSandbox(const std::string& prefix, uint64_t bootMiB) : base_("/tmp", prefix) {
    Check(!base_.path.empty(), "mkdtemp failed");
    dir_ = base_.path + "/sandbox";
    RunTool(base_.path, "cloud-sim", {"init", dir_, "--volume-mib", std::to_string(bootMiB)});
    benchutil::PointHostAtSandbox(dir_);
    for (const auto& row : json::parse(Sim({"ls", "instances", "--json"})))
      if (row["name"] == "sample-web") instance_ = row["id"];
    for (const auto& row : json::parse(Sim({"ls", "volumes", "--json"}))) {
      if (row["name"] == "sample-web-data") dataVolume_ = row["id"];
      if (row["name"] == "sample-web (Boot Volume)") bootVolume_ = row["id"];
    }
  }

  std::string Sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--sandbox", dir_});
    return RunTool(base_.path, "cloud-sim", args).output;
  }
  const std::string& BootVolume() const { return bootVolume_; }
  // Leaves the instance with its boot volume only.
  void DetachDataVolume() { Sim({"volume", "detach", dataVolume_}); }
  std::string AddVolume(uint64_t bytes) {
    const std::string out = Sim({"volume", "add", instance_, "--size", std::to_string(bytes)});
    return out.substr(0, out.find('\n'));
  }
  void Write(const std::string& volume, uint64_t offset, const std::string& file) {
    Sim({"volume", "write", volume, "--offset", std::to_string(offset), "--file", file});
  }
  // `bytes` of incompressible data in a file of the bench's folder.
  std::string RandomFile(uint64_t bytes) {
    const std::string path = base_.path + "/data-" + std::to_string(bytes);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Check(fd >= 0, "cannot create " + path);
    std::mt19937_64 random(5);
    benchutil::WriteRandom(fd, 0, bytes, random);
    ::close(fd);
    return path;
  }
  SRun Backup() {
    return RunTool(base_.path, "backup-agent",
                   {"--sandbox", dir_, "backup", "sample-web", "--store", Store(), "--job-id", "7"});
  }
  SRun Restore() {
    return RunTool(base_.path, "backup-agent",
                   {"--sandbox", dir_, "restore", Store() + "/7-sample-web", "--as", "web-r"});
  }
  std::string Store() const { return base_.path + "/store"; }
  json Manifest() const {
    std::ifstream in(Store() + "/7-sample-web/manifest.json");
    return json::parse(in);
  }

 private:
  benchutil::STempDir base_;
  std::string dir_, instance_, dataVolume_, bootVolume_;
};

struct SBytes {
  uint64_t logical = 0, read = 0;    // a backup's: the disks' sizes, what was read of them
  uint64_t written = 0, zeroed = 0;  // a restore's
};

SBytes BackupBytes(const json& manifest) {
  SBytes bytes;
  for (const auto& disk : manifest["disks"]) {
    bytes.logical += disk["size"].get<uint64_t>();
    bytes.read += disk["bytes_read"].get<uint64_t>();
  }
  return bytes;
}

// From the restore's lines "disk [..] written to ..: N bytes written, M zeroed, verified".
SBytes RestoreBytes(const std::string& output) {
  SBytes bytes;
  for (size_t at = output.find(" written to "); at != std::string::npos; at = output.find(" written to ", at + 1)) {
    unsigned long long written = 0, zeroed = 0;
    const size_t colon = output.find(": ", at);
    Check(colon != std::string::npos &&
              std::sscanf(output.c_str() + colon, ": %llu bytes written, %llu zeroed", &written, &zeroed) == 2,
          "unexpected restore output: " + output);
    bytes.written += written;
    bytes.zeroed += zeroed;
  }
  return bytes;
}

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / kMiB; }

void MemoryRow(uint64_t diskMiB) {
  CSandbox sandbox("job-bench", diskMiB);
  std::vector<std::string> volumes;
  for (int i = 0; i < 6; ++i) volumes.push_back(sandbox.AddVolume(diskMiB * kMiB));
  const std::string data = sandbox.RandomFile(512 << 10);
  for (const auto& volume : volumes) sandbox.Write(volume, 0, data);
  const SRun backup = sandbox.Backup();
  const SRun restore = sandbox.Restore();
  std::printf("| %llu MiB | %ld KiB | %.2f s | %ld KiB | %.2f s |\n", static_cast<unsigned long long>(diskMiB),
              backup.peakKiB, backup.seconds, restore.peakKiB, restore.seconds);
  std::fflush(stdout);
}

// 1 disk: the boot volume alone; 8: the boot volume, its data volume and six more, all of 1 GiB.
void DisksRow(int disks) {
  CSandbox sandbox("job-bench", 1024);
  std::vector<std::string> volumes = {sandbox.BootVolume()};
  if (disks == 1) sandbox.DetachDataVolume();
  for (int i = 2; i < disks; ++i) volumes.push_back(sandbox.AddVolume(kGiB));
  const std::string data = sandbox.RandomFile(64 * kMiB);
  for (const auto& volume : volumes) sandbox.Write(volume, 256 * kMiB, data);
  const SRun backup = sandbox.Backup();
  const SBytes stored = BackupBytes(sandbox.Manifest());
  const SRun restore = sandbox.Restore();
  const SBytes restored = RestoreBytes(restore.output);
  Check(static_cast<int>(sandbox.Manifest()["disks"].size()) == disks, "the backup holds another number of disks");
  std::printf("| %d | %.0f MiB | %.0f MiB | %.2f s | %.0f MiB/s | %.2f s | %.0f MiB | %.0f MiB |\n", disks,
              MiB(stored.logical), MiB(stored.read), backup.seconds, MiB(stored.read) / backup.seconds, restore.seconds,
              MiB(restored.written), MiB(restored.zeroed));
  std::fflush(stdout);
}

double ChecksumSeconds(const std::string& path, uint64_t size, EChecksumScheme scheme) {
  SDiskChecksum checksum;
  std::string error;
  const auto start = benchutil::Clock::now();
  Check(ChecksumOfFile(path, size, scheme, checksum, error), error);
  return benchutil::SecondsSince(start);
}

void Large() {
  CSandbox sandbox("job-bench-large", 50 * 1024);
  sandbox.DetachDataVolume();
  const std::string data = sandbox.RandomFile(64 * kMiB);
  for (uint64_t offset : {1 * kGiB, 13 * kGiB, 26 * kGiB, 40 * kGiB}) sandbox.Write(sandbox.BootVolume(), offset, data);
  const SRun backup = sandbox.Backup();
  const json manifest = sandbox.Manifest();
  const SBytes stored = BackupBytes(manifest);
  const SRun restore = sandbox.Restore();
  const SBytes restored = RestoreBytes(restore.output);
  const std::string file = sandbox.Store() + "/7-sample-web/disks/" + manifest["disks"][0]["file"].get<std::string>();
  const double chunked = ChecksumSeconds(file, stored.logical, EChecksumScheme::ChunkedSha256);
  const double whole = ChecksumSeconds(file, stored.logical, EChecksumScheme::WholeSha256);
  std::printf(
      "| | |\n|---|---:|\n| logical size | %.0f MiB |\n| data (4 runs of 64 MiB, the sandbox's 3 MiB) | %.0f MiB |\n"
      "| backup: wall time | %.2f s |\n| backup: bytes read from the volume | %.0f MiB |\n"
      "| restore: wall time (instance, volumes and all) | %.2f s |\n| restore: bytes written | %.0f MiB |\n"
      "| restore: bytes zeroed without writing | %.0f MiB |\n"
      "| checksum of the stored disk, chunked (what a job computes, three times) | %.2f s |\n"
      "| the same as one whole SHA-256 (what older agents computed) | %.2f s |\n",
      MiB(stored.logical), MiB(stored.read), backup.seconds, MiB(stored.read), restore.seconds, MiB(restored.written),
      MiB(restored.zeroed), chunked, whole);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> tables(argv + 1, argv + argc);
  if (tables.empty()) tables = {"memory", "disks", "large"};
  try {
    for (const auto& table : tables) {
      if (table == "memory") {
        std::printf(
            "### Peak resident size of a job of 8 disks\n\n"
            "| disk size | backup peak RSS | backup | restore peak RSS | restore |\n|---:|---:|---:|---:|---:|\n");
        for (uint64_t size : {256, 4096}) MemoryRow(size);
      } else if (table == "disks") {
        std::printf(
            "\n### Whole jobs of 1 and 8 disks of 1 GiB, 64 MiB of data each\n\n"
            "| disks | logical | read | backup | read rate | restore | written | zeroed |\n"
            "|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        DisksRow(1);
        DisksRow(8);
      } else if (table == "large") {
        std::printf("\n### A 50 GiB boot volume holding 256 MiB of data\n\n");
        Large();
      } else {
        std::fprintf(stderr, "job_bench: unknown table [%s]: memory, disks or large\n", table.c_str());
        return 2;
      }
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "job_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
