// Time of an instance restore against its number of disks, phase by phase, and the agent's disk
// writer against `cp --sparse=always`; or, with `conversion`, the time of a conversion restore step
// by step.
//   restore_bench [repetitions=3] [MiB=512]
//   restore_bench conversion [repetitions=3]
//
// Restore: instances of 1, 4 and 8 disks are restored from stored disks (one sparse backup file of
// 64 MiB with two data runs of 1 MiB per disk) under a new name each, through the plug-in's phases
// as the agent drives them: InitRestoreVM, each disk written into the device the plug-in attached
// (WriteDiskFromBackup, verified by its SHA-256), PreRestoreVM, RestoreVM, PostRestoreVM. Volumes
// and instances take 2 s to provision, the plug-in polls without a pause. Every restore starts just
// after a second boundary (the simulator settles on whole seconds of the host clock); the sizes are
// interleaved. After each restore nothing but the restored instance, its boot volume and its data
// volumes may remain in the cloud.
//
// Disk writing: WriteDiskFromBackup of a fully written backup file of MiB into a fresh file against
// `cp --sparse=always` of the same backup file to a fresh file, warm page cache, median of three
// runs after a warm-up each; the writer also flushes and reads its target back from the device for
// the checksum, so cp is also shown followed by `sync FILE`, and bench-local loops show the
// writer's steps apart. Then the bytes the writer writes for a sparse backup (256 MiB with three
// data runs of 512 KiB) into a target full of old bytes.
//
// Conversion: instances of 1 and 4 disks restored as machines of another hypervisor (no source
// image, bucket "image-import", "Auto Select" for a machine of 2 CPUs and 30000 MB, guest "Oracle
// Linux 8"), the same phases; images, volumes and instances take 2 s to provision and the import is
// queried at the sandbox's interval (0). InitRestoreVM is timed from outside and its steps (the
// stub disk, its upload, the import, the volumes, their attachment to the proxy) are read from the
// millisecond timestamps of the plug-in's own log lines. Each restore must end with the shape
// VM.Standard2.2 and leave neither the temporary image nor its object behind.
//
// Prints markdown tables; exit status 1 when a restore or a write fails or leaves anything behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "agent/diskio/DiskRegions.h"
#include "agent/diskio/DiskWrite.h"
#include "bench/BenchUtil.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/SimLeaks.h"
#include "host/EvDebug.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

using namespace agent;

namespace {

using namespace benchutil;
using Counters = std::map<std::string, int64_t>;

constexpr int kSizes[] = {1, 4, 8};
constexpr int kMaxDisks = 8;
constexpr int kProvisionSeconds = 2;
constexpr uint64_t kStoredDiskBytes = 64 * kMiB;
constexpr uint64_t kStoredRunOffsets[] = {0, 32 * kMiB};
constexpr uint64_t kStoredRunBytes = kMiB;
constexpr uint64_t kSparseBytes = 256 * kMiB;
constexpr uint64_t kSparseRunBytes = 512 * 1024;
constexpr uint64_t kSparseRunOffsets[] = {1 * kMiB, 100 * kMiB, kSparseBytes - kSparseRunBytes};
const char* const kPhases[] = {"InitRestoreVM", "write disks", "PreRestoreVM", "RestoreVM", "PostRestoreVM"};
constexpr size_t kPhaseCount = std::size(kPhases);
const std::set<std::string> kStatusQueries = {"GetSnapshotStatus", "GetVolumeStatus", "GetInstanceStatus",
                                              "IsImageImportOperationCompleted"};
constexpr int kConversionSizes[] = {1, 4, 8};
constexpr const char* kConversionBucket = "image-import";
constexpr int kConversionCpus = 2;
constexpr int kConversionMemoryMB = 30000;
constexpr const char* kConversionShape = "VM.Standard2.2";  // 2 CPUs, 30720 MB: the least that covers it

// A file of `size` bytes holding pseudo-random data at `runs` (each `runBytes` long), holes
// elsewhere; flushed, so that no write-back runs during the measurements.
void MakeFile(const std::string& path, uint64_t size, const std::vector<uint64_t>& runs, uint64_t runBytes,
              uint64_t seed) {
  SFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Check(fd.fd >= 0 && ::ftruncate(fd.fd, static_cast<off_t>(size)) == 0, "cannot create " + path);
  std::mt19937_64 random(seed);
  for (uint64_t offset : runs) WriteRandom(fd.fd, offset, runBytes, random);
  Check(::fsync(fd.fd) == 0, "fsync failed");
}

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st {};
  Check(::stat(path.c_str(), &st) == 0, "cannot stat " + path);
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

struct SStored {
  std::string path;
  SDiskChecksum checksum;
};

// What the restores need of the sample instance: where it lives and what it was launched from.
struct SSource {
  std::string compartment, ad, shape, image, subnet;
};

SSource ReadSource(sim::CSimCloud& cloud) {
  return cloud.Read([](sim::CSimDb& db) {
    auto stmt = db.Prepare(
        "SELECT i.compartment_id, i.ad, i.shape, i.image_id, n.subnet_id FROM instances i "
        "JOIN vnics n ON n.instance_id = i.id WHERE i.name = 'sample-web' LIMIT 1");
    Check(stmt.Step(), "the sample instance is missing");
    return SSource{stmt.Text(0), stmt.Text(1), stmt.Text(2), stmt.Text(3), stmt.Text(4)};
  });
}

// The context the agent builds from a stored backup of `disks` disks, the first one the boot disk.
// A conversion is what the agent builds for a machine of another hypervisor: no source image, a
// bucket for the temporary image and the machine's figures for the automatic shape.
RestoreCtx MakeCtx(const SSource& source, const std::string& name, int disks, const std::string& resultsDir,
                   bool conversion) {
  RestoreCtx ctx;
  ctx.restoreType = RESTORE_TYPE_FULL_INSTANCE;
  ctx.vmName = name;
  ctx.originalVmName = "sample-web";
  ctx.compartmentId = source.compartment;
  ctx.availabilityDomain = source.ad;
  ctx.vmSize = ctx.sourceVmSize = source.shape;
  ctx.sourceImageId = source.image;
  ctx.sourceRegionKey = "PHX";
  ctx.jobResultsDir = resultsDir;
  ctx.powerOnAfterRestore = false;
  VMInfoStructs::SVMNetworkCard card;
  card.name = "eth0";
  card.subnetId = source.subnet;
  card.isPrimary = true;
  ctx.networkCards.push_back(card);
  if (conversion) {
    ctx.isConversion = true;
    ctx.sourceImageId.clear();
    ctx.bucketName = kConversionBucket;
    ctx.vmSize = "Auto Select";
    ctx.guestOs = "Oracle Linux 8";
    ctx.vmInfo.name = ctx.originalVmName;
    ctx.vmInfo.cpuCount = kConversionCpus;
    ctx.vmInfo.memoryMB = kConversionMemoryMB;
  }
  for (int i = 0; i < disks; ++i) {
    VMInfoStructs::SDisk disk;
    disk.isBootDisk = i == 0;
    disk.displayName = i == 0 ? name + " (Boot Volume)" : name + "-data-" + std::to_string(i);
    disk.indexName = disk.displayName + "_" + std::to_string(i);
    disk.selectedForRestore = 1;
    disk.size = kStoredDiskBytes;
    ctx.disks.push_back(disk);
  }
  return ctx;
}

int64_t WallMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

struct SRestoreRun {
  double phase[kPhaseCount] = {};
  double total = 0;
  uint64_t bytesWritten = 0, bytesZeroed = 0;
  // InitRestoreVM's start and end on the clock of the log lines (milliseconds since the epoch).
  int64_t initStartMs = 0, initEndMs = 0;
};

// One restore job with a plug-in object of its own, as one agent process runs it.
SRestoreRun RestoreJob(const std::string& cloudUrl, const RestoreCtx& ctx, const std::vector<SStored>& stored,
                       INT64 jobId) {
  COracleCloudInfrastructureInfo plugin(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EvEvent::setJob(jobId, ctx.vmName);
  Check(plugin.Init(0) == 1, "Init failed");
  Check(plugin.Connect(cloudUrl, "bench", "") == 1, "Connect failed: " + plugin.GetLastVMErrorDetails());
  auto failed = [&](const char* phase) {
    std::string text = std::string(phase) + " of " + ctx.vmName + " failed: error " +
                       std::to_string(static_cast<int>(plugin.GetLastVMError())) + " " + plugin.GetLastVMErrorDetails();
    plugin.CleanupRestoreVM(ctx);
    return std::runtime_error(text);
  };
  SRestoreRun run;
  const auto start = Clock::now();
  auto phase = Clock::now();
  auto endPhase = [&](size_t index) {
    run.phase[index] = SecondsSince(phase);
    phase = Clock::now();
  };
  run.initStartMs = WallMs();
  if (plugin.InitRestoreVM(ctx) != 1) throw failed("InitRestoreVM");
  run.initEndMs = WallMs();
  endPhase(0);
  Check(ctx.disks.size() == stored.size(), "the plug-in reports a different number of disks");
  for (size_t i = 0; i < ctx.disks.size(); ++i) {
    SDiskWriteResult written;
    string error;
    if (!WriteDiskFromBackup(stored[i].path, kStoredDiskBytes, ctx.disks[i].name, stored[i].checksum, written, error)) {
      plugin.CleanupRestoreVM(ctx);
      throw std::runtime_error("writing disk " + std::to_string(i) + " of " + ctx.vmName + " failed: " + error);
    }
    run.bytesWritten += written.bytesWritten;
    run.bytesZeroed += written.bytesZeroed;
  }
  endPhase(1);
  if (plugin.PreRestoreVM(ctx) != 1) throw failed("PreRestoreVM");
  endPhase(2);
  if (plugin.RestoreVM(ctx) != 1) throw failed("RestoreVM");
  endPhase(3);
  if (plugin.PostRestoreVM(ctx) != 1) throw failed("PostRestoreVM");
  endPhase(4);
  run.total = SecondsSince(start);
  return run;
}

std::set<std::string> Leaks(sim::CSimCloud& cloud, const std::vector<std::string>& keep) {
  std::set<std::string> out;
  for (const auto& leak : sim::ListLeaks(cloud, keep)) out.insert(leak.kind + " " + leak.id + " " + leak.name);
  return out;
}

// The restored instance is the job's result, with its volumes; nothing else of the job may remain.
void CheckNothingLeft(sim::CSimCloud& cloud, const std::set<std::string>& baseline,
                      const std::vector<std::string>& restored, const std::string& job) {
  std::set<std::string> extra;
  for (const auto& leak : Leaks(cloud, restored))
    if (!baseline.count(leak)) extra.insert(leak);
  if (extra.empty()) return;
  std::string text = job + " left " + std::to_string(extra.size()) + " resource(s) behind:";
  for (const auto& leak : extra) text += "\n  " + leak;
  throw std::runtime_error(text);
}

// The restored instance runs from the boot volume with every data volume attached.
void CheckRestored(sim::CSimCloud& cloud, const RestoreCtx& ctx) {
  const auto [bootVolume, attached] = cloud.Read([&](sim::CSimDb& db) {
    auto stmt = db.Prepare("SELECT boot_volume_id FROM instances WHERE id = ?");
    stmt.BindAll(ctx.createdVmGuid);
    Check(stmt.Step(), "no restored instance " + ctx.createdVmGuid);
    const std::string boot = stmt.Text(0);
    auto volumes = db.Prepare("SELECT volume_id FROM attachments WHERE instance_id = ? AND state = 'ATTACHED'");
    volumes.BindAll(ctx.createdVmGuid);
    std::set<std::string> ids;
    while (volumes.Step()) ids.insert(volumes.Text(0));
    return std::make_pair(boot, ids);
  });
  for (const auto& disk : ctx.disks) {
    const bool found = disk.isBootDisk ? bootVolume == disk.createdVolumeId : attached.count(disk.createdVolumeId) > 0;
    Check(found, ctx.vmName + ": volume " + disk.createdVolumeId + " is not the instance's");
  }
}

void WaitForSecondBoundary() {
  using namespace std::chrono;
  std::this_thread::sleep_until(ceil<seconds>(system_clock::now()) + milliseconds(2));
}

int64_t Count(const Counters& counters, const std::string& op) {
  auto it = counters.find(op);
  return it == counters.end() ? 0 : it->second;
}

// The sandbox the restores run in, the stored disks they restore and the checks after each: the
// restored instance is whole and nothing else of its job remains.
struct SRestoreLab {
  std::string base, cloudUrl, logPath;
  sim::SSandbox sandbox;
  std::unique_ptr<sim::CSimCloud> cloud;
  SSource source;
  std::vector<SStored> stored;
  std::set<std::string> baseline;
  std::vector<std::string> restored;
  INT64 lastJobId = 2000;

  explicit SRestoreLab(const std::string& folder) : base(folder) {
    sandbox = sim::CreateSandbox(base + "/sandbox", sim::EFlavour::Infrastructure);
    benchutil::PointHostAtSandbox(sandbox.dir);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (sandbox.dir + "/bin:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    EvDebug::SetLogDirectory(sandbox.dir + "/home/log");
    logPath = sandbox.dir + "/home/log/vsagent.log";
    for (const char* key :
         {"nOracleCloudOperationRetryInternvalTimeInMinutes", "nImageImportCompletionQueryIntervalInMinutes"}) {
      UINT64 interval = 1;
      Check(TZPlatformInfo::getNumber("VirtualServer", key, &interval) && interval == 0,
            std::string("the sandbox's platform.ini does not set ") + key + " to 0");
    }
    cloudUrl = "sim://" + sandbox.cloudDir;
    cloud = std::make_unique<sim::CSimCloud>(sandbox.cloudDir);
    source = ReadSource(*cloud);
    stored.resize(kMaxDisks);
    for (int i = 0; i < kMaxDisks; ++i) {
      stored[i].path = base + "/stored-disk-" + std::to_string(i) + ".img";
      MakeFile(stored[i].path, kStoredDiskBytes, {std::begin(kStoredRunOffsets), std::end(kStoredRunOffsets)},
               kStoredRunBytes, 100 + static_cast<uint64_t>(i));
      stored[i].checksum = DiskChecksumOf(stored[i].path, kStoredDiskBytes);
    }
    baseline = Leaks(*cloud, {});
  }

  void SetProvisionSeconds(std::initializer_list<const char*> kinds, int seconds) {
    for (const char* kind : kinds)
      cloud->SetMeta(std::string(sim::kMetaProvisionPrefix) + kind, std::to_string(seconds));
  }

  // One restore of `size` disks under a new name; `ctx` is left as the plug-in filled it.
  SRestoreRun Restore(int size, const std::string& label, bool conversion, RestoreCtx* filled = nullptr) {
    const INT64 jobId = ++lastJobId;
    const std::string name = "restored-" + std::to_string(jobId);
    const std::string results = base + "/jobs/" + std::to_string(jobId);
    std::filesystem::create_directories(results);
    const RestoreCtx ctx = MakeCtx(source, name, size, results, conversion);
    WaitForSecondBoundary();
    const SRestoreRun run =
        RestoreJob(cloudUrl, ctx, std::vector<SStored>(stored.begin(), stored.begin() + size), jobId);
    restored.push_back(name);
    CheckRestored(*cloud, ctx);
    CheckNothingLeft(*cloud, baseline, restored, label);
    Check(!std::filesystem::exists(results), label + " left its results folder");
    if (filled) *filled = ctx;
    return run;
  }
};

void RunRestores(const std::string& base, int repetitions) {
  SRestoreLab lab(base);
  sim::CSimFaults counters(*lab.cloud);
  // A first restore warms the process (registry, files, caches) without provisioning time.
  lab.Restore(1, "the warm-up restore", false);
  lab.SetProvisionSeconds({"volume", "instance"}, kProvisionSeconds);

  std::map<int, std::vector<SRestoreRun>> runs;
  std::map<int, Counters> calls;
  for (int r = 0; r < repetitions; ++r) {
    for (int size : kSizes) {
      const std::string label = "restore of " + std::to_string(size) + " disk(s), repetition " + std::to_string(r + 1);
      counters.ResetCounters();
      runs[size].push_back(lab.Restore(size, label, false));
      calls[size] = counters.Counters();
      const SRestoreRun& run = runs[size].back();
      std::fprintf(stderr, "restore_bench: %s: %.3f s (Init %.3f, write %.3f, Pre %.3f, Restore %.3f, Post %.3f)\n",
                   label.c_str(), run.total, run.phase[0], run.phase[1], run.phase[2], run.phase[3], run.phase[4]);
    }
  }

  std::map<int, double> total;
  std::printf(
      "### Restore time by phase (provisioning %d s per volume and per instance, polling interval 0, "
      "%d repetition(s), median; stored disks of %llu MiB with 2 MiB of data)\n\n",
      kProvisionSeconds, repetitions, static_cast<unsigned long long>(kStoredDiskBytes / kMiB));
  std::printf("| disks N |");
  for (const char* name : kPhases) std::printf(" %s, s |", name);
  std::printf(" T(N), s | runs, s | T(N)/T(1) | bytes written / zeroed per disk |\n|---:|");
  for (size_t p = 0; p < kPhaseCount; ++p) std::printf("---:|");
  std::printf("---:|---|---:|---|\n");
  for (int size : kSizes) {
    std::vector<double> totals;
    std::string list;
    for (const auto& run : runs[size]) {
      totals.push_back(run.total);
      char item[32];
      std::snprintf(item, sizeof item, "%s%.2f", list.empty() ? "" : ", ", run.total);
      list += item;
    }
    total[size] = Median(totals);
    std::printf("| %d |", size);
    for (size_t p = 0; p < kPhaseCount; ++p) {
      std::vector<double> values;
      for (const auto& run : runs[size]) values.push_back(run.phase[p]);
      std::printf(" %.3f |", Median(values));
    }
    const SRestoreRun& last = runs[size].back();
    std::printf(" %.3f | %s | %.3f | %llu / %llu |\n", total[size], list.c_str(), total[size] / total[1],
                static_cast<unsigned long long>(last.bytesWritten / static_cast<uint64_t>(size)),
                static_cast<unsigned long long>(last.bytesZeroed / static_cast<uint64_t>(size)));
  }
  std::printf("\nT(4)/T(1) = %.3f, T(8)/T(1) = %.3f\n", total[4] / total[1], total[8] / total[1]);

  std::set<std::string> ops;
  for (const auto& [size, counters] : calls)
    for (const auto& [op, count] : counters) ops.insert(op);
  std::printf(
      "\n### Cloud calls of one restore (last repetition)\n\n| operation | N=1 | N=4 | N=8 | per added disk, "
      "(C(8)-C(1))/7 |\n|---|---:|---:|---:|---:|\n");
  for (const auto& op : ops) {
    const int64_t c1 = Count(calls[1], op), c4 = Count(calls[4], op), c8 = Count(calls[8], op);
    std::printf("| %s%s | %lld | %lld | %lld | %.2f |\n", op.c_str(), kStatusQueries.count(op) ? " (status query)" : "",
                static_cast<long long>(c1), static_cast<long long>(c4), static_cast<long long>(c8),
                static_cast<double>(c8 - c1) / 7.0);
  }
}

// The steps of a conversion restore. InitRestoreVM's are read from the plug-in's log lines; the
// others are the phases timed from outside.
enum EConversionStep {
  kBeforeImage,
  kStubDisk,
  kUpload,
  kImport,
  kObjectRemoved,
  kTemporaryImage,
  kBootLaunch,
  kBootTermination,
  kDataVolumes,
  kVolumes,
  kAttach,
  kInit,
  kWrite,
  kPre,
  kRestore,
  kPost,
  kTotal,
  kConversionStepCount
};
const char* const kConversionSteps[kConversionStepCount] = {"InitRestoreVM up to the image (restore root, checks)",
                                                            "stub disk (disk tool, file read)",
                                                            "its upload to the bucket",
                                                            "import (request, queries until available)",
                                                            "storage object deleted",
                                                            "**temporary image, all of the above four**",
                                                            "boot volume: smallest shape, temporary instance launched",
                                                            "boot volume: temporary instance terminated",
                                                            "data volumes, side by side (with the boot volume)",
                                                            "**volumes, all**",
                                                            "volumes attached to the proxy",
                                                            "**InitRestoreVM**",
                                                            "**write disks**",
                                                            "**PreRestoreVM** (detach, shape, temporary image deleted)",
                                                            "**RestoreVM**",
                                                            "**PostRestoreVM**",
                                                            "**total**"};

struct SConversionRun {
  double step[kConversionStepCount] = {};
  bool hasData = false;
};

// The time of the first log line at or after `from` ms that holds `marker` (and `also`).
int64_t MarkerMs(const std::vector<SLogLine>& lines, const std::string& marker, int64_t from,
                 const std::string& also = "") {
  for (const auto& line : lines)
    if (line.ms >= from && line.text.find(marker) != std::string::npos && line.text.find(also) != std::string::npos)
      return line.ms;
  throw std::runtime_error("the plug-in's log has no line [" + marker + "]" + (also.empty() ? "" : " [" + also + "]"));
}

SConversionRun ConversionSteps(const SRestoreRun& run, const RestoreCtx& ctx, const std::vector<SLogLine>& lines) {
  auto seconds = [](int64_t from, int64_t to) { return static_cast<double>(to - from) / 1000.0; };
  const int64_t start = run.initStartMs;
  const int64_t attempt = MarkerMs(lines, "Attempting to create temporary image", start);
  const int64_t object = MarkerMs(lines, "Virtual Disk Object Name:  [", attempt);
  const int64_t imageName = MarkerMs(lines, "Image Name:  [", object);
  const int64_t imported = MarkerMs(lines, "] imported successfully", imageName);
  const int64_t ready = MarkerMs(lines, "Successfully created image. Image Ocid:[", imported);
  const int64_t bootId = MarkerMs(lines, "BootDisk:: Name:", ready);
  int64_t bootDone = -1, dataDone = -1;
  for (const auto& disk : ctx.disks) {
    const int64_t done = MarkerMs(lines, "Successfully created volume [", ready, "] for [" + disk.indexName + "]");
    int64_t& last = disk.isBootDisk ? bootDone : dataDone;
    last = std::max(last, done);
  }
  Check(bootDone >= bootId && run.initEndMs >= std::max(bootDone, dataDone), "the log's times are out of order");
  SConversionRun out;
  out.hasData = dataDone >= 0;
  const int64_t volumesDone = std::max(bootDone, dataDone);
  const std::pair<int64_t, int64_t> spans[] = {
      {start, attempt},      {attempt, object},           {object, imageName},
      {imageName, imported}, {imported, ready},           {attempt, ready},
      {ready, bootId},       {bootId, bootDone},          {ready, out.hasData ? dataDone : ready},
      {ready, volumesDone},  {volumesDone, run.initEndMs}};
  for (size_t i = 0; i < std::size(spans); ++i) out.step[i] = seconds(spans[i].first, spans[i].second);
  out.step[kInit] = seconds(run.initStartMs, run.initEndMs);
  for (size_t p = 1; p < kPhaseCount; ++p) out.step[kInit + p] = run.phase[p];
  out.step[kTotal] = run.total;
  return out;
}

void RunConversions(const std::string& base, int repetitions) {
  SRestoreLab lab(base);
  sim::CSimFaults counters(*lab.cloud);
  lab.Restore(1, "the warm-up conversion", true);
  lab.SetProvisionSeconds({"volume", "instance", "image"}, kProvisionSeconds);

  std::map<int, std::vector<SConversionRun>> runs;
  std::map<int, Counters> calls;
  for (int r = 0; r < repetitions; ++r) {
    for (int size : kConversionSizes) {
      const std::string label =
          "conversion of " + std::to_string(size) + " disk(s), repetition " + std::to_string(r + 1);
      counters.ResetCounters();
      const uint64_t logOffset = FileSize(lab.logPath);
      RestoreCtx ctx;
      const SRestoreRun run = lab.Restore(size, label, true, &ctx);
      calls[size] = counters.Counters();
      Check(!ctx.tempImageId.empty(), label + " used no temporary image");
      const std::string shape = lab.cloud->Read([&](sim::CSimDb& db) {
        return db.QueryText("SELECT shape FROM instances WHERE id = ?", "", ctx.createdVmGuid);
      });
      Check(shape == kConversionShape, label + " got the shape [" + shape + "]");
      runs[size].push_back(ConversionSteps(run, ctx, ReadLogFrom(lab.logPath, logOffset)));
      const SConversionRun& steps = runs[size].back();
      std::fprintf(stderr,
                   "restore_bench: %s: %.3f s (image %.3f: stub %.3f, upload %.3f, import %.3f; volumes %.3f; "
                   "attach %.3f; Init %.3f, write %.3f, Pre %.3f, Restore %.3f, Post %.3f)\n",
                   label.c_str(), steps.step[kTotal], steps.step[kTemporaryImage], steps.step[kStubDisk],
                   steps.step[kUpload], steps.step[kImport], steps.step[kVolumes], steps.step[kAttach],
                   steps.step[kInit], steps.step[kWrite], steps.step[kPre], steps.step[kRestore], steps.step[kPost]);
    }
  }

  std::printf(
      "### Conversion restore by step (provisioning %d s per image, volume and instance, import queried "
      "without a pause, %d repetition(s), median; stored disks of %llu MiB with 2 MiB of data)\n\n",
      kProvisionSeconds, repetitions, static_cast<unsigned long long>(kStoredDiskBytes / kMiB));
  std::printf("| step |");
  for (int size : kConversionSizes) std::printf(" N=%d, s |", size);
  constexpr size_t kLast = std::size(kConversionSizes) - 1;
  std::printf(" N=%d - N=%d, s |\n|---|", kConversionSizes[kLast], kConversionSizes[0]);
  for (size_t i = 0; i <= std::size(kConversionSizes); ++i) std::printf("---:|");
  std::printf("\n");
  for (int step = 0; step < kConversionStepCount; ++step) {
    std::printf("| %s |", kConversionSteps[step]);
    double median[std::size(kConversionSizes)] = {};
    bool shown[std::size(kConversionSizes)] = {};
    for (size_t k = 0; k < std::size(kConversionSizes); ++k) {
      const auto& sized = runs[kConversionSizes[k]];
      std::vector<double> values;
      for (const auto& run : sized) values.push_back(run.step[step]);
      median[k] = Median(values);
      shown[k] = step != kDataVolumes || sized.back().hasData;
      if (shown[k])
        std::printf(" %.3f |", median[k]);
      else
        std::printf(" - |");
    }
    if (shown[0] && shown[kLast])
      std::printf(" %+.3f |\n", median[kLast] - median[0]);
    else
      std::printf(" - |\n");
  }
  for (int size : kConversionSizes) {
    std::printf("\nTotals of N=%d:", size);
    for (const auto& run : runs[size]) std::printf(" %.2f", run.step[kTotal]);
  }
  std::printf("\n");

  std::set<std::string> ops;
  for (const auto& [size, counted] : calls)
    for (const auto& [op, count] : counted) ops.insert(op);
  std::printf(
      "\n### Cloud calls of one conversion restore (last repetition)\n\n| operation | N=1 | N=4 | N=8 | per "
      "added disk, (C(8)-C(1))/7 |\n|---|---:|---:|---:|---:|\n");
  for (const auto& op : ops) {
    const int64_t c1 = Count(calls[1], op), c4 = Count(calls[4], op), c8 = Count(calls[8], op);
    std::printf("| %s%s | %lld | %lld | %lld | %.2f |\n", op.c_str(), kStatusQueries.count(op) ? " (status query)" : "",
                static_cast<long long>(c1), static_cast<long long>(c4), static_cast<long long>(c8),
                static_cast<double>(c8 - c1) / 7.0);
  }
}

struct SMeasure {
  double seconds = 0;
  SDiskWriteResult written;
};

// Runs `body` once to warm up, then three times, each into a fresh target made by `fresh`; the
// median time of the three.
template <class Fresh, class Body>
SMeasure Warm(Fresh&& fresh, Body&& body) {
  SMeasure measure;
  std::vector<double> seconds;
  for (int run = 0; run < 4; ++run) {
    fresh();
    measure = SMeasure();
    const auto start = Clock::now();
    body(measure);
    if (run > 0) seconds.push_back(SecondsSince(start));
  }
  measure.seconds = Median(seconds);
  return measure;
}

void Shell(const std::string& command) { Check(std::system(command.c_str()) == 0, "[" + command + "] failed"); }

void RunDiskWrites(const std::string& dir, uint64_t fullMiB) {
  const uint64_t fullBytes = fullMiB * kMiB;
  const std::string full = dir + "/full-backup.img", target = dir + "/target.img", copy = dir + "/cp-copy.img";
  MakeFile(full, fullBytes, {0}, fullBytes, 7);
  const SDiskChecksum fullSum = DiskChecksumOf(full, fullBytes);
  // The device of a fresh volume: as long as the disk, nothing written.
  auto freshTarget = [&] {
    std::filesystem::remove(target);
    SFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    Check(fd.fd >= 0 && ::ftruncate(fd.fd, static_cast<off_t>(fullBytes)) == 0, "cannot create " + target);
  };
  auto noCopy = [&] { std::filesystem::remove(copy); };
  const SMeasure ours = Warm(freshTarget, [&](SMeasure& m) {
    string error;
    Check(WriteDiskFromBackup(full, fullBytes, target, fullSum, m.written, error), "WriteDiskFromBackup: " + error);
  });
  Check(ours.written.bytesWritten == fullBytes && ours.written.bytesZeroed == 0, "the writer's counts are wrong");
  const SMeasure cp = Warm(noCopy, [&](SMeasure&) { Shell("cp --sparse=always '" + full + "' '" + copy + "'"); });
  Check(DiskChecksumOf(copy, fullBytes) == fullSum, "cp's copy differs");
  const SMeasure cpSync = Warm(
      noCopy, [&](SMeasure&) { Shell("cp --sparse=always '" + full + "' '" + copy + "' && sync '" + copy + "'"); });

  // The writer's steps apart, done as it does them: the data regions copied in its chunk size
  // (1 MiB), then the flush, then the read-back of the flushed target from the device with SHA-256.
  auto writeLoop = [&](SMeasure& m, bool flush) {
    SFd in(::open(full.c_str(), O_RDONLY | O_CLOEXEC)), out(::open(target.c_str(), O_RDWR | O_CLOEXEC));
    Check(in.fd >= 0 && out.fd >= 0, "cannot open the backup or the target");
    std::vector<char> buffer(kDiskChunk);
    UINT64 at = 0, start = 0, end = 0;
    while (at < fullBytes && NextDataRegion(in.fd, at, fullBytes, start, end)) {
      for (UINT64 offset = start; offset < end;) {
        const size_t n = static_cast<size_t>(std::min<UINT64>(end - offset, kDiskChunk));
        Check(ReadFully(in.fd, buffer.data(), n, offset) && WriteFully(out.fd, buffer.data(), n, offset),
              "copy failed");
        offset += n;
        m.written.bytesWritten += n;
      }
      at = end;
    }
    if (flush) Check(::fsync(out.fd) == 0, "fsync failed");
  };
  const SMeasure loop = Warm(freshTarget, [&](SMeasure& m) { writeLoop(m, false); });
  const SMeasure loopFlush = Warm(freshTarget, [&](SMeasure& m) { writeLoop(m, true); });
  auto readBackStep = [&] {
    SFd fd(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    Check(fd.fd >= 0, "cannot open " + target);
    ::posix_fadvise(fd.fd, 0, static_cast<off_t>(fullBytes), POSIX_FADV_DONTNEED);
    SDiskChecksum read;
    Check(ChecksumOfRange(fd.fd, fullBytes, fullSum.scheme, read) && read == fullSum, "the read back differs");
  };
  const SMeasure readBack = Warm([] {}, [&](SMeasure&) { readBackStep(); });
  const SMeasure allSteps = Warm(freshTarget, [&](SMeasure& m) {
    writeLoop(m, true);
    readBackStep();
  });

  auto rate = [&](const SMeasure& m) { return static_cast<double>(fullBytes) / kMiB / m.seconds; };
  std::printf(
      "\n### Writing a fully written %llu MiB backup to a fresh file (warm page cache, median of 3 runs)\n\n"
      "| writer | s | MiB/s | vs cp |\n|---|---:|---:|---:|\n",
      static_cast<unsigned long long>(fullMiB));
  std::printf("| `cp --sparse=always` | %.3f | %.0f | 1.00 |\n", cp.seconds, rate(cp));
  std::printf("| `cp --sparse=always` + `sync FILE` | %.3f | %.0f | %.2f |\n", cpSync.seconds, rate(cpSync),
              rate(cpSync) / rate(cp));
  std::printf("| WriteDiskFromBackup (write, fsync, read back from the device, SHA-256) | %.3f | %.0f | %.2f |\n",
              ours.seconds, rate(ours), rate(ours) / rate(cp));
  std::printf("| write loop of the writer (data regions, 1 MiB pread/pwrite), nothing else | %.3f | %.0f | %.2f |\n",
              loop.seconds, rate(loop), rate(loop) / rate(cp));
  std::printf("| write loop + fsync | %.3f | %.0f | %.2f |\n", loopFlush.seconds, rate(loopFlush),
              rate(loopFlush) / rate(cp));
  std::printf("| read back of a target flushed earlier, from the device + SHA-256, alone | %.3f | %.0f | %.2f |\n",
              readBack.seconds, rate(readBack), rate(readBack) / rate(cp));
  std::printf("| write loop + fsync + read back, one right after the other | %.3f | %.0f | %.2f |\n", allSteps.seconds,
              rate(allSteps), rate(allSteps) / rate(cp));
  const double ratio = rate(ours) / rate(cp);
  std::printf("\nWriteDiskFromBackup / cp = %.2f (target at least 0.8): %s; against cp + sync: %.2f\n", ratio,
              ratio >= 0.8 ? "met" : "MISSED", rate(ours) / rate(cpSync));

  // A sparse backup written over a target that holds old bytes everywhere.
  const std::string sparse = dir + "/sparse-backup.img";
  MakeFile(sparse, kSparseBytes, {std::begin(kSparseRunOffsets), std::end(kSparseRunOffsets)}, kSparseRunBytes, 11);
  const SDiskChecksum sparseSum = DiskChecksumOf(sparse, kSparseBytes);
  const uint64_t allocated = AllocatedBytes(sparse);
  MakeFile(target, kSparseBytes, {0}, kSparseBytes, 13);
  SDiskWriteResult written;
  string error;
  const auto start = Clock::now();
  Check(WriteDiskFromBackup(sparse, kSparseBytes, target, sparseSum, written, error), "WriteDiskFromBackup: " + error);
  const double seconds = SecondsSince(start);
  const uint64_t targetAllocated = AllocatedBytes(target);
  std::printf(
      "\n### A sparse backup (%llu MiB, 3 data runs of 512 KiB) written over old bytes\n\n| | bytes |\n"
      "|---|---:|\n| logical size | %llu |\n| allocated in the backup (st_blocks) | %llu |\n"
      "| written by WriteDiskFromBackup | %llu |\n| zeroed (holes punched) | %llu |\n"
      "| allocated in the target afterwards | %llu |\n",
      static_cast<unsigned long long>(kSparseBytes / kMiB), static_cast<unsigned long long>(kSparseBytes),
      static_cast<unsigned long long>(allocated), static_cast<unsigned long long>(written.bytesWritten),
      static_cast<unsigned long long>(written.bytesZeroed), static_cast<unsigned long long>(targetAllocated));
  std::printf("\nWritten in %.3f s; bytes written = allocated data only: %s; written + zeroed = logical size: %s\n",
              seconds, written.bytesWritten == allocated ? "met" : "MISSED",
              written.bytesWritten + written.bytesZeroed == kSparseBytes ? "yes" : "NO");
}

int Run(bool conversion, int repetitions, uint64_t fullMiB) {
  const char* tmp = std::getenv("TMPDIR");
  STempDir base(tmp && *tmp ? tmp : "/tmp", "restore-bench");
  Check(!base.path.empty(), "cannot create a working folder");
  if (conversion) {
    RunConversions(base.path, repetitions);
    return 0;
  }
  RunRestores(base.path, repetitions);
  std::filesystem::create_directories(base.path + "/writes");
  RunDiskWrites(base.path + "/writes", fullMiB);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool conversion = argc > 1 && std::string(argv[1]) == "conversion";
  const int first = conversion ? 2 : 1;
  const int repetitions = argc > first ? std::max(1, std::atoi(argv[first])) : 3;
  const long mib = !conversion && argc > 2 ? std::atol(argv[2]) : 512;
  try {
    return Run(conversion, repetitions, static_cast<uint64_t>(std::max(1L, mib)));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "restore_bench: %s\n", e.what());
    return 1;
  }
}
