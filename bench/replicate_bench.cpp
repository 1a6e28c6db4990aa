// An incremental sync against a full sync of the same backup, as the agent runs them.
//   replicate_bench [rounds=3] [MiB of data per added disk=64] [MiB per added disk=256]
//
// A sandbox's sample-web gets two more data volumes (four disks), each filled with MiB of random data
// from its start (disks large and full enough that moving data outweighs the cloud's fixed work make
// the figure one of the data path); it is backed up and replicated once (a full sync) to "bench-dr". Then, each round:
// 1% of the four disks' 1 MiB chunks (spread over the disks, 4 KiB of random bytes at the start of
// each) change, the instance is backed up again, and the new backup is synced incrementally, then
// fully (`--force-full`), both timed from outside and with the bytes the agent reports written. The
// tools are the built backup-agent and cloud-sim next to this program; the sandbox keeps its default
// provisioning times. Prints a markdown table; exit status 1 when a job fails, an incremental sync
// writes other than the changed chunks, or anything but the destination is left.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "bench/BenchUtil.h"

namespace {

using namespace benchutil;
using json = nlohmann::json;

constexpr uint64_t kChangeBytes = 4096;

std::string ToolsDir() { return std::filesystem::canonical("/proc/self/exe").parent_path().string(); }

// Where the tools' standard error goes (a file of the bench's temporary folder).
std::string g_errors = "/dev/null";

// Runs a built tool against the sandbox; its standard output, or throws with its errors when it fails.
std::string Run(const std::string& sandbox, const std::string& tool, std::vector<std::string> args) {
  args.insert(args.begin(), {ToolsDir() + "/" + tool, "--sandbox", sandbox});
  int pipeFds[2];
  Check(::pipe(pipeFds) == 0, "pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 1);
    const int errors = ::open(g_errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (errors >= 0) ::dup2(errors, 2);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::ifstream errors(g_errors);
  const std::string text((std::istreambuf_iterator<char>(errors)), std::istreambuf_iterator<char>());
  Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, tool + " " + args[3] + " failed: " + out + text);
  return out;
}

void WaitForNextSecond() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  std::this_thread::sleep_for(std::chrono::seconds(1) - (now % std::chrono::seconds(1)) + std::chrono::milliseconds(5));
}

// A file of `bytes` random bytes.
std::string RandomFile(const std::string& path, uint64_t bytes, std::mt19937_64& random) {
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  Check(fd >= 0, "cannot create " + path);
  WriteRandom(fd, 0, bytes, random);
  ::close(fd);
  return path;
}

struct SDisk {
  std::string volumeId;
  uint64_t size = 0;
};

struct SSync {
  double seconds = 0;
  uint64_t bytesWritten = 0;
  bool full = false;
};

SSync Replicate(const std::string& sandbox, const std::string& backup, bool forceFull) {
  WaitForNextSecond();  // the destination's volumes are named by the second
  std::vector<std::string> args = {"replicate", backup, "--to", "bench-dr", "--json"};
  if (forceFull) args.push_back("--force-full");
  const auto start = Clock::now();
  const json out = json::parse(Run(sandbox, "backup-agent", args));
  SSync sync;
  sync.seconds = SecondsSince(start);
  sync.bytesWritten = out["bytes_written"].get<uint64_t>();
  sync.full = out["full_sync"].get<bool>();
  return sync;
}

std::string Backup(const std::string& sandbox, const std::string& store) {
  const std::string out = Run(sandbox, "backup-agent", {"backup", "sample-web", "--store", store});
  std::string latest;
  for (const auto& entry : std::filesystem::directory_iterator(store)) latest = std::max(latest, entry.path().string());
  return latest;
}

}  // namespace

int main(int argc, char** argv) try {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const uint64_t dataBytes = (argc > 2 ? std::max(1, std::atoi(argv[2])) : 64) * kMiB;
  const uint64_t addedDiskBytes = (argc > 3 ? std::max(1, std::atoi(argv[3])) : 256) * kMiB;
  Check(dataBytes <= addedDiskBytes, "more data than disk");
  STempDir dir(std::filesystem::temp_directory_path().string(), "replicate-bench");
  Check(!dir.path.empty(), "no temporary folder");
  const std::string sandbox = dir.path + "/sandbox", store = dir.path + "/store";
  g_errors = dir.path + "/tool-errors.txt";
  Run(dir.path, "cloud-sim", {"init", sandbox});
  std::mt19937_64 random(7);
  const std::string data = RandomFile(dir.path + "/data", dataBytes, random);
  std::string web;
  for (const auto& instance : json::parse(Run(sandbox, "cloud-sim", {"ls", "instances", "--json"})))
    if (instance["name"] == "sample-web") web = instance["id"];
  for (int i = 0; i < 2; ++i) {
    std::string id = Run(sandbox, "cloud-sim", {"volume", "add", web, "--size", std::to_string(addedDiskBytes)});
    id.erase(id.find_last_not_of("\n") + 1);
    Run(sandbox, "cloud-sim", {"volume", "write", id, "--offset", "0", "--file", data});
  }
  std::string backup = Backup(sandbox, store);
  std::vector<SDisk> disks;
  uint64_t chunks = 0;
  const json manifest = json::parse(std::ifstream(backup + "/manifest.json"));
  for (const auto& disk : manifest["disks"]) {
    disks.push_back({disk["volume_id"], disk["size"]});
    chunks += (disks.back().size + kMiB - 1) / kMiB;
  }
  Check(disks.size() == 4, "sample-web does not have four disks");
  const SSync first = Replicate(sandbox, backup, false);
  Check(first.full, "the first sync was not a full one");

  const uint64_t changed = std::max<uint64_t>(1, chunks / 100);
  const std::string change = dir.path + "/change";
  std::vector<double> incrementalSeconds, fullSeconds;
  uint64_t incrementalBytes = 0, fullBytes = 0;
  for (int round = 0; round < rounds; ++round) {
    // Chunk c of the concatenated disks, spread evenly; each changes in its first 4 KiB.
    for (uint64_t n = 0; n < changed; ++n) {
      uint64_t chunk = (n * chunks / changed + static_cast<uint64_t>(round)) % chunks;
      for (const auto& disk : disks) {
        const uint64_t count = (disk.size + kMiB - 1) / kMiB;
        if (chunk >= count) {
          chunk -= count;
          continue;
        }
        RandomFile(change, kChangeBytes, random);
        Run(sandbox, "cloud-sim",
            {"volume", "write", disk.volumeId, "--offset", std::to_string(chunk * kMiB), "--file", change});
        break;
      }
    }
    backup = Backup(sandbox, store);
    const SSync incremental = Replicate(sandbox, backup, false);
    Check(!incremental.full, "the sync fell back to a full one");
    Check(incremental.bytesWritten <= changed * kMiB, "the incremental sync wrote more than the changed chunks");
    const SSync full = Replicate(sandbox, backup, true);
    incrementalSeconds.push_back(incremental.seconds);
    fullSeconds.push_back(full.seconds);
    incrementalBytes = incremental.bytesWritten;
    fullBytes = full.bytesWritten;
  }
  Run(sandbox, "cloud-sim", {"leaks", "--keep", "bench-dr"});

  std::printf("4 disks, %llu chunks of 1 MiB, %llu changed (1%%) per round; median of %d rounds\n\n",
              static_cast<unsigned long long>(chunks), static_cast<unsigned long long>(changed), rounds);
  std::printf("| sync | wall s | bytes written | changed chunks' bytes |\n|---|---|---|---|\n");
  std::printf("| incremental | %.2f | %llu | %llu |\n", Median(incrementalSeconds),
              static_cast<unsigned long long>(incrementalBytes), static_cast<unsigned long long>(changed * kMiB));
  std::printf("| full (`--force-full`) | %.2f | %llu | |\n", Median(fullSeconds),
              static_cast<unsigned long long>(fullBytes));
  const double ratio = Median(incrementalSeconds) / Median(fullSeconds);
  std::printf("\nincremental / full sync = %.2f (target at most 0.5): %s; load average (1 min) %.2f\n", ratio,
              ratio <= 0.5 ? "met" : "NOT met", LoadAverage());
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "replicate_bench: %s\n", e.what());
  return 1;
}
