// Scale of discovery: a cloud of C compartments x M instances. For several sizes, in a child
// process each (so that peak memory is the size's own), through the plug-in: list every instance,
// browse one compartment, refresh the host cache. Prints one line per size: times and the growth
// of the peak resident memory while listing.
//   discovery_bench [compartments=20] [instances per compartment=500]
// The sizes run are 1/4, 1/2 and all of the compartments.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench/BenchUtil.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimPopulate.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

namespace {

class CBenchPlugin : public COracleCloudInfrastructureInfo {
 public:
  CBenchPlugin() : COracleCloudInfrastructureInfo(VSINST_ORACLE_CLOUD_INFRASTRUCTURE) {}
  using COracleCloudInfrastructureInfo::_RefreshHostInfoCache;
  using COracleCloudInfrastructureInfo::hostInfoCache;
};

long PeakKiB() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

template <class F>
double Millis(F&& body) {
  auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

int RunSize(const std::string& base, long compartments, long instances) {
  const std::string dir = base + "/sandbox-" + std::to_string(compartments);
  sim::SSandbox sandbox = sim::CreateSandbox(dir, sim::EFlavour::Infrastructure);
  {
    sim::CSimCloud cloud(sandbox.cloudDir);
    sim::Populate(cloud, compartments, instances);
  }
  benchutil::PointHostAtSandbox(dir);
  EvDebug::SetMaxLevel(0);

  CBenchPlugin plugin;
  if (!plugin.Init(0) || !plugin.Connect("sim://" + sandbox.cloudDir, "bench", "")) {
    std::fprintf(stderr, "connect failed: %s\n", plugin.GetLastVMErrorDetails().c_str());
    return 1;
  }
  std::vector<VMInfoStructs::SHostInfo> hosts;
  plugin.GetHostInfoList(hosts, 0, 0, nullptr, VMInfoStructs::FILTER_TYPE_NONE);
  std::string compartment;
  for (const auto& h : hosts)
    if (h.name.rfind("populated-", 0) == 0) compartment = h.guid;

  const long before = PeakKiB();
  std::vector<VMInfoStructs::SVMInfo> all;
  double listMs = Millis([&] { plugin.GetVMInfoList(all, 0, 0, nullptr, VMInfoStructs::FILTER_TYPE_NONE); });
  const long listGrowth = PeakKiB() - before;

  std::vector<VMInfoStructs::SInventoryInfo> entries;
  VMInfoStructs::SInventoryInfo node;
  double browseMs = Millis([&] { plugin.BrowseInventory("VMs\\" + compartment, node, entries, 0, 0); });
  double refreshMs = Millis([&] { plugin._RefreshHostInfoCache(0, 0); });

  std::printf(
      "%6ld instances (%ld x %ld): list %8.1f ms (%zu), browse one compartment %7.1f ms (%zu), "
      "refresh host cache %6.1f ms (%zu hosts), peak memory growth while listing %6ld KiB (%.2f KiB each)\n",
      compartments * instances, compartments, instances, listMs, all.size(), browseMs, entries.size(), refreshMs,
      plugin.hostInfoCache.size(), listGrowth,
      all.empty() ? 0.0 : static_cast<double>(listGrowth) / static_cast<double>(all.size()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const long compartments = argc > 1 ? std::atol(argv[1]) : 20;
  const long instances = argc > 2 ? std::atol(argv[2]) : 500;
  char pattern[] = "/tmp/discovery-bench.XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string base = pattern;
  int result = 0;
  for (long size : {std::max(1L, compartments / 4), std::max(1L, compartments / 2), compartments}) {
    std::fflush(stdout);
    pid_t child = ::fork();
    if (child == 0) {
      int code = RunSize(base, size, instances);
      std::fflush(stdout);
      ::_exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result = 1;
  }
  std::filesystem::remove_all(base);
  return result;
}
