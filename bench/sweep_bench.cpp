// The sweep of orphaned roots that the first registration of a job runs (`_CleanupAllVMs`), through
// the plug-in against a sandbox: N backup roots left by jobs that died, each holding one snapshot
// that is gone already (the sweep asks the cloud whether it exists, counts it as deleted and
// unregisters it), swept by one new job. Prints the time, the time per root and the cloud calls the
// sweep made; no orphaned root may be left afterwards.
//
//   sweep_bench [roots...]      (default: 100 1000)
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchUtil.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "cleanup/OracleCloudCleaner.h"
#include "host/EvDebug.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

namespace {

using benchutil::Check;

// The plug-in with its sweep reachable.
struct CSweeper : COracleCloudInfrastructureInfo {
  CSweeper() : COracleCloudInfrastructureInfo(VSINST_ORACLE_CLOUD_INFRASTRUCTURE) {}
  using COracleCloudInfrastructureInfo::_CleanupAllVMs;
  using COracleCloudInfrastructureInfo::cleaner;
};

struct SResult {
  double seconds = 0;
  int64_t cloudCalls = 0;
};

SResult SweepOrphans(const sim::SSandbox& sandbox, int roots) {
  CSweeper plugin;
  Check(plugin.Init(0) == 1, "Init failed");
  Check(plugin.Connect("sim://" + sandbox.cloudDir, "bench", "") == 1,
        "Connect failed: " + plugin.GetLastVMErrorDetails());
  {
    // Jobs that died: their registry object is gone, so their roots are orphans.
    COracleCloudCleaner dead;
    Check(dead.Init(CSweeper::LocalVMGuid()), "the dead jobs' registry cannot be opened");
    for (int i = 0; i < roots; ++i) {
      const std::string root = "ocid1.instance.oc1.phx.dead" + std::to_string(i);
      Check(dead.RegisterVM(VM_CLEANER_MODE_BACKUP, root) &&
                dead.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, root,
                                      "ocid1.volumebackup.oc1.phx.gone" + std::to_string(i)),
            "cannot leave root " + root);
    }
  }
  Check(plugin.InitProxyVMInfo() && plugin.InitMapperAndCleaner(), "the sweeping job cannot start");
  sim::CSimCloud cloud(sandbox.cloudDir);
  sim::CSimFaults counters(cloud);
  counters.ResetCounters();
  const auto start = benchutil::Clock::now();
  Check(plugin._CleanupAllVMs(), "the sweep failed");
  SResult result;
  result.seconds = benchutil::SecondsSince(start);
  for (const auto& [op, count] : counters.Counters()) result.cloudCalls += count;
  std::vector<CleanerEntity> left;
  Check(plugin.cleaner.GetOrphanedRootEntityListByType(VM_CLEANER_MODE_BACKUP, VM_CLEANER_ENTITY_VM, "", left) &&
            left.empty(),
        std::to_string(left.size()) + " orphaned roots are left after the sweep");
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {100, 1000};
  EvLogSink::SetCapacity(0);
  benchutil::STempDir base("/tmp", "sweep-bench");
  if (base.path.empty()) return 1;
  // One sandbox for every size: the proxy's identity is detected once per process.
  const sim::SSandbox sandbox = sim::CreateSandbox(base.path + "/sandbox", sim::EFlavour::Infrastructure);
  benchutil::PointHostAtSandbox(sandbox.dir);
  TZPlatformInfo::SetValue("VirtualServer", "nOracleCloudOperationRetryInternvalTimeInMinutes", "0");
  std::printf("| orphaned roots | sweep | per root | cloud calls |\n|---:|---:|---:|---:|\n");
  try {
    for (int roots : sizes) {
      const SResult r = SweepOrphans(sandbox, roots);
      std::printf("| %d | %.3f s | %.2f ms | %lld |\n", roots, r.seconds, r.seconds * 1000 / roots,
                  static_cast<long long>(r.cloudCalls));
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sweep_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
