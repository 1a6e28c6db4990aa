// Time of a backup mount against the number of volumes of the instance, and the cloud calls one
// backup makes per volume, in a sandbox of the simulated cloud on the real system clock.
//   mount_bench [repetitions=3]
//
// Three instances with 1, 8 and 32 volumes (each volume 1 GiB with 1 MiB of data); snapshots and
// replica volumes take 2 s to provision; the plug-in polls without a pause. Each repetition mounts
// (MountVM) and unmounts (UnmountVM) every size with a fresh plug-in object, as one agent job
// would; the sizes are interleaved so that drift hits them alike.
//
// The simulator settles resources on whole seconds of the host clock: a request made at second
// S + f is usable at S + 2. Every timed mount therefore starts just after a second boundary, so
// that each size sees the same rounding and T(N)/T(1) measures what N adds, not where in the
// second the job happened to start.
//
// Prints markdown tables: the mount times with T(8)/T(1) and T(32)/T(1) (target at most 1.15:
// all requests of a kind are outstanding together), and the cloud calls of one backup by
// operation, for a mount with its unmount and for a full backup that also opens, inspects and
// closes every disk (OpenVmdk/GetVmdkInfo/CloseVmdk, the replica attached to the proxy over the
// sandbox's iSCSI stand-in). Status queries are shown apart: polling without a pause spins on them.
// Exit status 1 when a job fails or leaves anything behind in the cloud.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/SimLeaks.h"
#include "bridge/sim/SimPopulate.h"
#include "bridge/sim/SimVolumeStore.h"
#include "host/EvDebug.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

namespace {

using Clock = std::chrono::steady_clock;
using Counters = std::map<std::string, int64_t>;

constexpr int kSizes[] = {1, 8, 32};
constexpr uint64_t kVolumeBytes = 1ull << 30;
constexpr size_t kDataBytes = 1 << 20;
constexpr int kProvisionSeconds = 2;
const std::set<std::string> kStatusQueries = {"GetSnapshotStatus", "GetVolumeStatus"};

double Seconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void Check(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

// The header every volume of the bench begins with, so that a disk read back names its source.
std::string VolumeHeader(const std::string& volumeId) { return "mount-bench volume " + volumeId + "\n"; }

// Fills the first MiB of a volume's bytes: its header, then pseudo-random bytes.
void WriteVolumeData(sim::CSimCloud& cloud, const std::string& volumeId, std::mt19937_64& random) {
  std::vector<char> data(kDataBytes);
  for (size_t i = 0; i + 8 <= data.size(); i += 8) {
    const uint64_t word = random();
    std::copy_n(reinterpret_cast<const char*>(&word), 8, data.begin() + static_cast<std::ptrdiff_t>(i));
  }
  const std::string header = VolumeHeader(volumeId);
  std::copy(header.begin(), header.end(), data.begin());
  const std::string path = sim::BytesFileOf(cloud, volumeId).path;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  Check(fd >= 0, "cannot open " + path);
  const bool written = ::pwrite(fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size());
  ::close(fd);
  Check(written, "cannot write " + path);
}

struct SInstance {
  std::string id, name;
  std::vector<std::string> volumes;  // boot volume first
};

// Three instances of the populated compartment, given 0, 7 and 31 data volumes through the bridge
// (a new volume each, attached paravirtualized), every volume with its data.
std::map<int, SInstance> ArrangeInstances(sim::CSimCloud& cloud) {
  sim::Populate(cloud, 1, static_cast<int64_t>(std::size(kSizes)));
  const auto [compartment, ad] = cloud.Read([](sim::CSimDb& db) {
    auto stmt = db.Prepare(
        "SELECT c.id, i.ad FROM compartments c JOIN instances i ON i.compartment_id = c.id "
        "WHERE c.name = 'populated-1' LIMIT 1");
    Check(stmt.Step(), "the populated compartment is missing");
    return std::make_pair(stmt.Text(0), stmt.Text(1));
  });
  OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  Check(bridge.Connect("sim://" + cloud.Dir(), "bench", ""), "connect: " + bridge.GetLastError());

  std::mt19937_64 random(42);
  std::map<int, SInstance> instances;
  int index = 0;
  for (int size : kSizes) {
    SInstance& instance = instances[size];
    instance.name = "populated-1-vm-" + std::to_string(++index);
    cloud.Read([&](sim::CSimDb& db) {
      auto stmt = db.Prepare("SELECT id, boot_volume_id FROM instances WHERE name = ?");
      stmt.BindAll(instance.name);
      Check(stmt.Step(), "no instance " + instance.name);
      instance.id = stmt.Text(0);
      instance.volumes.push_back(stmt.Text(1));
    });
    for (int v = 1; v < size; ++v) {
      VMInfoStructs::SDisk disk;
      disk.displayName = instance.name + "-data-" + std::to_string(v);
      disk.size = kVolumeBytes;
      disk.availabilityDomain = ad;
      Check(bridge.CreateVolume(disk, compartment), "CreateVolume: " + bridge.GetLastError());
      bool noFreeSlot = false;
      Check(bridge.AttachVolume(disk.volumeId, instance.id, noFreeSlot), "AttachVolume: " + bridge.GetLastError());
      instance.volumes.push_back(disk.volumeId);
    }
    for (const auto& volume : instance.volumes) WriteVolumeData(cloud, volume, random);
  }
  return instances;
}

std::set<std::string> Leaks(sim::CSimCloud& cloud) {
  std::set<std::string> out;
  for (const auto& leak : sim::ListLeaks(cloud)) out.insert(leak.kind + " " + leak.id + " " + leak.name);
  return out;
}

// Nothing of the job may remain: whatever the arrangement left is the baseline.
void CheckNothingLeft(sim::CSimCloud& cloud, const std::set<std::string>& baseline, const std::string& job) {
  std::set<std::string> extra;
  for (const auto& leak : Leaks(cloud))
    if (!baseline.count(leak)) extra.insert(leak);
  if (extra.empty()) return;
  std::string text = job + " left " + std::to_string(extra.size()) + " resource(s) behind:";
  for (const auto& leak : extra) text += "\n  " + leak;
  throw std::runtime_error(text);
}

void WaitForSecondBoundary() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  std::this_thread::sleep_until(ceil<seconds>(now) + milliseconds(2));
}

class CJob {
 public:
  CJob(const std::string& cloudUrl, const SInstance& instance, const std::string& mountPath, INT64 jobId)
      : plugin_(VSINST_ORACLE_CLOUD_INFRASTRUCTURE) {
    EvEvent::setJob(jobId, instance.name);
    Check(plugin_.Init(0) == 1, "Init failed");
    Check(plugin_.Connect(cloudUrl, "bench", "") == 1, "Connect failed: " + plugin_.GetLastVMErrorDetails());
    ctx_.vmName = instance.name;
    ctx_.vmGuid = instance.id;
    ctx_.mountPath = mountPath;
    expected_ = instance.volumes;
  }

  void Mount() {
    Check(plugin_.MountVM(ctx_) == 1, "MountVM of " + ctx_.vmName + " failed: error " +
                                          std::to_string(static_cast<int>(plugin_.GetLastVMError())) + " " +
                                          plugin_.GetLastVMErrorDetails());
    Check(ctx_.vmInfo.disks.size() == expected_.size(), "MountVM of " + ctx_.vmName + " reported " +
                                                            std::to_string(ctx_.vmInfo.disks.size()) + " disks, not " +
                                                            std::to_string(expected_.size()));
    for (const auto& disk : ctx_.vmInfo.disks)
      Check(!disk.snapshotId.empty() && !disk.targetVolume.empty(), "no snapshot or replica for " + disk.volumeId);
  }

  // What a backup does with the disks: open each one (its replica attached to the proxy), check
  // that the device holds the source volume's bytes, close it.
  void ReadDiskHeaders() {
    std::vector<VMInfoStructs::SMountInfoFull> entries;
    Check(plugin_.GetFullMountInfo(ctx_, entries) == 1, "GetFullMountInfo failed");
    size_t disks = 0;
    for (const auto& entry : entries) {
      if (entry.mountType != 1 || entry.disks.empty()) continue;
      ++disks;
      const VMInfoStructs::SDisk& item = entry.disks[0];
      VmdkHandle handle;
      Check(plugin_.OpenVmdk(ctx_.vmName, ctx_.vmGuid, item.guid, handle) == 1, "OpenVmdk of " + item.guid + " failed");
      VMInfoStructs::SDisk disk;
      Check(plugin_.GetVmdkInfo(handle, disk) == 1, "GetVmdkInfo of " + item.guid + " failed");
      Check(disk.size == kVolumeBytes, "disk " + item.guid + " reports " + std::to_string(disk.size) + " bytes");
      const std::string header = VolumeHeader(item.volumeId);
      std::string read(header.size(), '\0');
      const int fd = ::open(disk.name.c_str(), O_RDONLY | O_CLOEXEC);
      Check(fd >= 0, "cannot open the device " + disk.name);
      const ssize_t n = ::pread(fd, read.data(), read.size(), 0);
      ::close(fd);
      Check(n == static_cast<ssize_t>(read.size()) && read == header,
            "device " + disk.name + " does not hold " + item.volumeId);
      Check(plugin_.CloseVmdk(handle) == 1, "CloseVmdk of " + item.guid + " failed");
    }
    Check(disks == expected_.size(), "GetFullMountInfo listed " + std::to_string(disks) + " disks");
  }

  void Unmount() { Check(plugin_.UnmountVM(ctx_) == 1, "UnmountVM of " + ctx_.vmName + " failed"); }

 private:
  COracleCloudInfrastructureInfo plugin_;
  MountCtx ctx_;
  std::vector<std::string> expected_;
};

struct SRun {
  double mountSeconds = 0, unmountSeconds = 0;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int64_t Count(const Counters& counters, const std::string& op) {
  auto it = counters.find(op);
  return it == counters.end() ? 0 : it->second;
}

// Calls by operation: totals per size and what each added volume costs; the status queries of the
// waits apart, with how many each volume took (about the number of polling rounds).
void PrintCalls(const char* title, const std::map<int, Counters>& bySize, const std::map<int, double>& seconds) {
  std::set<std::string> ops;
  for (const auto& [size, counters] : bySize)
    for (const auto& [op, count] : counters) ops.insert(op);
  std::printf(
      "\n%s\n\n| operation | N=1 | N=8 | N=32 | per added volume, (C(32)-C(1))/31 |\n|---|---:|---:|---:|---:|\n",
      title);
  for (const auto& op : ops) {
    if (kStatusQueries.count(op)) continue;
    const int64_t c1 = Count(bySize.at(1), op), c8 = Count(bySize.at(8), op), c32 = Count(bySize.at(32), op);
    std::printf("| %s | %lld | %lld | %lld | %.2f |\n", op.c_str(), static_cast<long long>(c1),
                static_cast<long long>(c8), static_cast<long long>(c32), static_cast<double>(c32 - c1) / 31.0);
  }
  std::printf(
      "\n| status query (polling interval 0) | N=1 | N=8 | N=32 | per volume at N=32 | per second of job at N=32 "
      "|\n|---|---:|---:|---:|---:|---:|\n");
  for (const auto& op : kStatusQueries) {
    const int64_t c1 = Count(bySize.at(1), op), c8 = Count(bySize.at(8), op), c32 = Count(bySize.at(32), op);
    std::printf("| %s | %lld | %lld | %lld | %.0f | %.0f |\n", op.c_str(), static_cast<long long>(c1),
                static_cast<long long>(c8), static_cast<long long>(c32), static_cast<double>(c32) / 32.0,
                static_cast<double>(c32) / seconds.at(32));
  }
}

// The moments of a mount, from the plug-in's log (its lines carry the time in milliseconds).
struct SPhases {
  double snapshotsRequested = -1, snapshotsUsable = -1, replicasRequested = -1, replicasUsable = -1;
};

class CLogWatch {
 public:
  explicit CLogWatch(std::string path) : path_(std::move(path)) {}
  void Mark() {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path_, ec);
    offset_ = ec ? 0 : size;
    startMs_ =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
  }
  // Seconds from Mark() to the first line (after it) that contains each marker.
  SPhases Phases() const {
    SPhases phases;
    FILE* file = std::fopen(path_.c_str(), "r");
    if (!file) return phases;
    std::fseek(file, static_cast<long>(offset_), SEEK_SET);
    const std::pair<const char*, double*> markers[] = {
        {"Waiting for creation of snapshot for all volumes", &phases.snapshotsRequested},
        {"All snapshots have completed", &phases.snapshotsUsable},
        {"Waiting for creation of volumes from snapshots", &phases.replicasRequested},
        {"All replica volume creations have completed", &phases.replicasUsable},
    };
    std::vector<char> line(1 << 16);
    while (std::fgets(line.data(), static_cast<int>(line.size()), file)) {
      for (const auto& [marker, slot] : markers) {
        if (*slot >= 0 || !std::strstr(line.data(), marker)) continue;
        struct tm parts {};
        int millis = 0;
        if (!strptime(line.data(), "%Y-%m-%d %H:%M:%S", &parts) || std::sscanf(line.data() + 20, "%3d", &millis) != 1)
          continue;
        const int64_t ms = static_cast<int64_t>(timegm(&parts)) * 1000 + millis;
        *slot = static_cast<double>(ms - startMs_) / 1000.0;
      }
    }
    std::fclose(file);
    return phases;
  }

 private:
  std::string path_;
  uintmax_t offset_ = 0;
  int64_t startMs_ = 0;
};

int Run(int repetitions) {
  char pattern[] = "/tmp/mount-bench.XXXXXX";
  Check(::mkdtemp(pattern) != nullptr, "mkdtemp failed");
  const std::string base = pattern;
  struct SRemove {
    std::string dir;
    ~SRemove() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{base};

  const sim::SSandbox sandbox = sim::CreateSandbox(base + "/sandbox", sim::EFlavour::Infrastructure);
  benchutil::PointHostAtSandbox(sandbox.dir);
  const char* path = std::getenv("PATH");
  ::setenv("PATH", (sandbox.dir + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  TZPlatformInfo::SetValue("VirtualServer", "nOracleCloudOperationRetryInternvalTimeInMinutes", "0");
  const std::string cloudUrl = "sim://" + sandbox.cloudDir;

  sim::CSimCloud cloud(sandbox.cloudDir);
  const std::map<int, SInstance> instances = ArrangeInstances(cloud);
  const std::set<std::string> baseline = Leaks(cloud);
  sim::CSimFaults counters(cloud);
  INT64 lastJobId = 1000;
  // Every job has an id of its own and a mount folder named after it.
  auto newJob = [&](int size) {
    const INT64 jobId = ++lastJobId;
    return std::make_unique<CJob>(cloudUrl, instances.at(size), base + "/jobs/" + std::to_string(jobId), jobId);
  };

  // A first job warms the process (registry, files, caches) without provisioning time.
  {
    auto warmUp = newJob(1);
    warmUp->Mount();
    warmUp->Unmount();
    CheckNothingLeft(cloud, baseline, "the warm-up job");
  }
  for (const char* kind : {"snapshot", "volume"})
    cloud.SetMeta(std::string(sim::kMetaProvisionPrefix) + kind, std::to_string(kProvisionSeconds));

  std::map<int, std::vector<SRun>> runs;
  std::map<int, Counters> mountCalls;
  std::map<int, SPhases> phases;
  CLogWatch log(sandbox.dir + "/home/log/vsagent.log");
  for (int r = 0; r < repetitions; ++r) {
    for (int size : kSizes) {
      const std::string job = "mount of " + std::to_string(size) + " volume(s), repetition " + std::to_string(r + 1);
      counters.ResetCounters();
      auto mount = newJob(size);
      WaitForSecondBoundary();
      log.Mark();
      const auto start = Clock::now();
      mount->Mount();
      const auto mounted = Clock::now();
      phases[size] = log.Phases();
      mount->Unmount();
      const auto unmounted = Clock::now();
      mountCalls[size] = counters.Counters();
      runs[size].push_back({Seconds(start, mounted), Seconds(mounted, unmounted)});
      CheckNothingLeft(cloud, baseline, job);
      std::fprintf(stderr, "mount_bench: %s: %.3f s, unmount %.3f s\n", job.c_str(), runs[size].back().mountSeconds,
                   runs[size].back().unmountSeconds);
    }
  }

  std::map<int, Counters> backupCalls;
  std::map<int, double> backupSeconds;
  for (int size : kSizes) {
    counters.ResetCounters();
    auto backup = newJob(size);
    WaitForSecondBoundary();
    const auto start = Clock::now();
    backup->Mount();
    backup->ReadDiskHeaders();
    backup->Unmount();
    backupSeconds[size] = Seconds(start, Clock::now());
    backupCalls[size] = counters.Counters();
    CheckNothingLeft(cloud, baseline, "full backup of " + std::to_string(size) + " volume(s)");
  }

  std::map<int, double> median;
  for (int size : kSizes) {
    std::vector<double> mounts;
    for (const auto& run : runs[size]) mounts.push_back(run.mountSeconds);
    median[size] = Median(mounts);
  }
  std::printf(
      "### Backup mount time (provisioning %d s per snapshot and per replica, polling interval 0, "
      "%d repetition(s), median)\n\n",
      kProvisionSeconds, repetitions);
  std::printf(
      "| volumes N | T(N) mount, s | runs, s | unmount, s (median) | T(N)/T(1) | full backup with "
      "Open/Close per disk, s |\n|---:|---:|---|---:|---:|---:|\n");
  for (int size : kSizes) {
    std::string list;
    std::vector<double> unmounts;
    for (const auto& run : runs[size]) {
      char item[32];
      std::snprintf(item, sizeof item, "%s%.2f", list.empty() ? "" : ", ", run.mountSeconds);
      list += item;
      unmounts.push_back(run.unmountSeconds);
    }
    std::printf("| %d | %.3f | %s | %.3f | %.3f | %.3f |\n", size, median[size], list.c_str(), Median(unmounts),
                median[size] / median[1], backupSeconds[size]);
  }
  const double r8 = median[8] / median[1], r32 = median[32] / median[1];
  std::printf("\nT(8)/T(1) = %.3f, T(32)/T(1) = %.3f (target at most 1.15): %s\n", r8, r32,
              r8 <= 1.15 && r32 <= 1.15 ? "met" : "MISSED");

  std::printf(
      "\nWhere a mount's time goes (last repetition, seconds from the start of MountVM):\n\n"
      "| N | snapshot requests issued | snapshots usable | replica requests issued | replicas usable | "
      "MountVM returned |\n|---:|---:|---:|---:|---:|---:|\n");
  for (int size : kSizes) {
    const SPhases& p = phases[size];
    std::printf("| %d | %.3f | %.3f | %.3f | %.3f | %.3f |\n", size, p.snapshotsRequested, p.snapshotsUsable,
                p.replicasRequested, p.replicasUsable, runs[size].back().mountSeconds);
  }

  std::map<int, double> mountSeconds;
  for (int size : kSizes) mountSeconds[size] = runs[size].back().mountSeconds + runs[size].back().unmountSeconds;
  PrintCalls("### Cloud calls of one backup: MountVM + UnmountVM (last repetition)", mountCalls, mountSeconds);
  PrintCalls(
      "### Cloud calls of one full backup: MountVM, GetFullMountInfo, OpenVmdk/GetVmdkInfo/CloseVmdk per disk, "
      "UnmountVM",
      backupCalls, backupSeconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  try {
    return Run(repetitions);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mount_bench: %s\n", e.what());
    return 1;
  }
}
