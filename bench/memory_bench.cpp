// Peak resident size of the agent's jobs, which must not grow with the size of the disks: for each
// disk size, a sandbox whose instance has 8 disks of about that size (the six added hold 512 KiB of
// data each, the rest holes)
// is backed up and the backup restored by backup-agent processes; the peak of each process comes
// from wait4()'s rusage. Also prints each job's wall time.
//
//   memory_bench [disk MiB...]      (default: 256 4096)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchUtil.h"

namespace {

using benchutil::Check;

struct SRun {
  int status = -1;
  long peakKiB = 0;
  double seconds = 0;
  std::string output;
};

// Runs a built tool beside this program with `args`; its output in a file of `dir`.
SRun RunTool(const std::string& dir, const std::string& tool, const std::vector<std::string>& args) {
  const std::string bin = std::filesystem::canonical("/proc/self/exe").parent_path() / tool;
  const std::string log = dir + "/" + tool + ".out";
  std::fflush(nullptr);
  const auto start = benchutil::Clock::now();
  const pid_t pid = ::fork();
  Check(pid >= 0, "fork failed");
  if (pid == 0) {
    std::vector<char*> argv = {const_cast<char*>(bin.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr)) ::_exit(127);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  SRun run;
  struct rusage usage {};
  Check(::wait4(pid, &run.status, 0, &usage) == pid, "wait4 failed");
  run.seconds = benchutil::SecondsSince(start);
  run.peakKiB = usage.ru_maxrss;
  std::ifstream in(log);
  run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::string command = tool;
  for (const auto& a : args) command += " " + a.substr(0, 80);
  Check(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0, command + " failed: " + run.output);
  return run;
}

void Measure(uint64_t diskMiB) {
  benchutil::STempDir base("/tmp", "memory-bench");
  Check(!base.path.empty(), "mkdtemp failed");
  const std::string sandbox = base.path + "/sandbox";
  // Boot volume of diskMiB, one data volume of half; six more data volumes make eight disks.
  RunTool(base.path, "cloud-sim", {"init", sandbox, "--volume-mib", std::to_string(diskMiB)});
  benchutil::PointHostAtSandbox(sandbox);
  std::string instance;
  for (const auto& row : nlohmann::json::parse(RunTool(base.path, "cloud-sim", {"--sandbox", sandbox, "ls", "instances",
                                                                               "--json"}).output))
    if (row["name"] == "sample-web") instance = row["id"];
  std::vector<std::string> volumes;
  for (int i = 0; i < 6; ++i) {
    const SRun added = RunTool(base.path, "cloud-sim", {"--sandbox", sandbox, "volume", "add", instance, "--size",
                                                         std::to_string(diskMiB << 20)});
    volumes.push_back(added.output.substr(0, added.output.find('\n')));
  }
  for (const auto& volume : volumes)
    for (uint64_t offset = 0; offset < (512 << 10); offset += 64 << 10)
      RunTool(base.path, "cloud-sim", {"--sandbox", sandbox, "volume", "write", volume, "--offset",
                                       std::to_string(offset), "--text", std::string(64 << 10, 'd')});
  const SRun backup = RunTool(base.path, "backup-agent", {"--sandbox", sandbox, "backup", "sample-web", "--store",
                                                          base.path + "/store", "--job-id", "7"});
  const SRun restore = RunTool(base.path, "backup-agent", {"--sandbox", sandbox, "restore",
                                                           base.path + "/store/7-sample-web", "--as", "web-r"});
  std::printf("| %llu MiB | %ld KiB | %.2f s | %ld KiB | %.2f s |\n", static_cast<unsigned long long>(diskMiB),
              backup.peakKiB, backup.seconds, restore.peakKiB, restore.seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {256, 4096};
  std::printf("| disk size (8 disks) | backup peak RSS | backup | restore peak RSS | restore |\n"
              "|---:|---:|---:|---:|---:|\n");
  try {
    for (uint64_t size : sizes) Measure(size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "memory_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
