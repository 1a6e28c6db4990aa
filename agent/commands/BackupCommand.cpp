#include "agent/commands/BackupCommand.h"
#include "agent/jobs/ExitStatus.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "agent/jobs/AgentSession.h"
#include "agent/jobs/BackupFolder.h"
#include "agent/jobs/BackupMount.h"
#include "agent/jobs/ChecksumJson.h"
#include "agent/jobs/ChunkDigestFile.h"
#include "agent/diskio/DiskCopy.h"
#include "agent/jobs/DisplayText.h"
#include "agent/jobs/FailureCause.h"
#include "agent/jobs/InterruptWatch.h"
#include "agent/commands/RegistryCommand.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/HostClock.h"

namespace agent {

using namespace VMInfoStructs;
using nlohmann::json;

namespace {

struct SDiskJob {
  SDisk disk;          // as the mount information reports it
  json record;         // manifest entry, filled when done
  string error;        // why the disk was not stored
  string warning;      // what went wrong after the disk was read whole (its close)
  bool ok = false;
};

// A disk the job had to store and did not.
struct SMissingDisk {
  string volumeId;
  string displayName;
  string reason;
};

// One progress line per disk on a terminal.
class CProgress {
 public:
  explicit CProgress(bool enabled) : enabled_(enabled) {}
  void Show(const string& disk, UINT64 done, UINT64 total) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    int percent = total ? static_cast<int>(done * 100 / total) : 100;
    std::printf("\r  %-40s %3d%%", disk.c_str(), percent);
    if (done >= total) std::printf("\n");
    std::fflush(stdout);
  }

 private:
  bool enabled_;
  std::mutex mutex_;
};

// Removes a file unless kept.
class CFileRemover {
 public:
  explicit CFileRemover(string path) : path_(std::move(path)) {}
  ~CFileRemover() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void Keep() { path_.clear(); }

 private:
  string path_;
};

// Opens, reads and closes one disk through the plug-in. The copy is written beside its final name,
// read back and verified, and only then renamed.
void StreamDisk(IVMInfo& plugin, bool useDiskInterface, const MountCtx& ctx, const string& disksDir, SDiskJob& job,
                CProgress& progress) {
  SDisk disk = job.disk;
  VmdkHandle handle;
  CStepLog log;
  if (useDiskInterface) {
    if (!plugin.OpenVmdk(ctx.vmName, ctx.vmGuid, disk.guid, handle)) {
      job.error = "OpenVmdk failed: " + DescribePluginFailure(plugin, log);
      return;
    }
    if (!plugin.GetVmdkInfo(handle, disk)) {
      job.error = "GetVmdkInfo failed: " + DescribePluginFailure(plugin, log);
      plugin.CloseVmdk(handle);
      return;
    }
  }
  const string file =
      FXPath::Append(disksDir, SafeFileName(job.disk.indexName.empty() ? disk.guid : job.disk.indexName) + ".img");
  const string partial = file + ".part";
  CFileRemover removePartial(partial);
  SDiskCopyResult copied;
  string error;
  bool ok = CopyDiskSparse(disk.name, disk.size, partial, copied, error, &InterruptFlag(),
                           [&](UINT64 done) { progress.Show(job.disk.indexName, done, disk.size); });
  if (!ok) error = "reading the disk failed: " + EscapeForDisplay(error);
  // A close that fails leaves the replica attached; the unmount's clean-up detaches it (or fails
  // the job). The copy itself is whole, and verified next.
  if (useDiskInterface) {
    log = CStepLog();
    if (!plugin.CloseVmdk(handle)) job.warning = "CloseVmdk failed: " + DescribePluginFailure(plugin, log);
  }
  if (ok && !VerifyStoredCopy(partial, copied, error)) {
    error = "verifying the stored disk failed: " + EscapeForDisplay(error);
    ok = false;
  }
  if (ok && !StoreChunkDigests(FXPath::GetParent(disksDir), FXPath::GetFileName(file), copied.digests, error))
    ok = false;
  if (ok && ::rename(partial.c_str(), file.c_str()) != 0) {
    error = "storing the disk failed: cannot rename [" + EscapeForDisplay(partial) + "]: " + strerror(errno);
    ok = false;
  }
  if (!ok) {
    job.error = error;
    return;
  }
  removePartial.Keep();
  job.record = {{"index_name", job.disk.indexName}, {"volume_id", job.disk.volumeId},
                {"display_name", job.disk.displayName}, {"boot", job.disk.isBootDisk},
                {"size", copied.size},           {"bytes_read", copied.bytesRead},
                {"file", FXPath::GetFileName(file)}, {"chunk_digests", ChunkDigestFileName(FXPath::GetFileName(file))}};
  ChecksumToJson(job.record, copied.checksum);
  job.ok = true;
}

// The disks the job must store: the instance's volumes selected for the backup.
std::vector<SDisk> SelectedDisks(const SVMInfo& instance) {
  std::vector<SDisk> selected;
  for (const auto& disk : instance.disks)
    if (disk.selectedForRestore == 1 && !disk.isFiltered) selected.push_back(disk);
  return selected;
}

// What a restore needs of the source beyond its saved configuration: placement, shape, image and
// region, and the subnets of its network cards. A region whose key cannot be read is stored without
// one (the restore then builds its own image).
json RestoreRecord(IVMInfo& plugin, const SVMInfo& source) {
  string regionKey;
  std::vector<SDataCenterInfo> regions;
  if (plugin.GetDCInfoList(regions, 0, 0))
    for (const auto& region : regions)
      if (region.name == source.region) regionKey = region.regionKey;
  json cards = json::array();
  for (const auto& card : source.networkCards)
    cards.push_back({{"name", card.name}, {"subnet_id", card.subnetId}, {"primary", card.isPrimary}});
  return {{"compartment_id", source.compartmentId},
          {"availability_domain", source.availabilityDomain},
          {"shape", source.vmSize},
          {"cpus", source.cpuCount},
          {"memory_mb", source.memoryMB},
          {"image_id", source.imageId},
          {"region", source.region},
          {"region_key", regionKey},
          {"network_cards", cards}};
}

// The clean-up record of a job whose unmount failed: the failure and what stays registered under
// its root for the next job on this proxy ("<type> <name>" each).
json LeftForTheNextJob(const SAgentSandbox& sandbox, const string& instanceId, const string& failure) {
  json cleanup = {{"error", failure}, {"left_for_next_job", json::array()}};
  std::vector<string> entries;
  string error;
  if (!RegisteredUnderBackupOf(sandbox, instanceId, entries, error)) cleanup["registry_error"] = error;
  for (const string& entry : entries) cleanup["left_for_next_job"].push_back(entry);
  return cleanup;
}

string CleanupWarning(const json& cleanup) {
  if (cleanup.contains("registry_error")) return cleanup["registry_error"].get<string>();
  string left;
  for (const auto& entry : cleanup["left_for_next_job"]) left += (left.empty() ? "" : ", ") + entry.get<string>();
  return left.empty() ? "its clean-up removed what the job made"
                      : "left registered for the next job on this proxy to remove: " + EscapeForDisplay(left);
}

}  // namespace


int RunBackupCommand(const SAgentSandbox& sandbox, const SBackupOptions& options) {
  if (options.store.empty()) return Usage("the store folder must not be empty");
  CAgentSession session(sandbox);
  string error;
  if (!session.Open(SConnectOptions(), error)) return Fail(error);
  IVMInfo& plugin = session.Object();

  std::vector<SVMInfo> all;
  if (!plugin.GetVMInfoList(all, 0, 0, nullptr, FILTER_TYPE_NONE))
    return Fail("listing instances failed: " + session.DescribeLastError());
  std::vector<SVMInfo> matches;
  for (const auto& vm : all)
    if (vm.guid == options.instance || vm.name == options.instance) matches.push_back(vm);
  if (matches.size() != 1)
    return Fail(string(matches.empty() ? "no" : "more than one") + " instance [" + EscapeForDisplay(options.instance) +
                "]");
  const SVMInfo target = matches[0];
  const string shownName = EscapeForDisplay(target.name);

  session.MarkStep();
  SVMInfo current;
  if (!plugin.GetVMInfoForVM(target.name, target.guid, "", VMINFO_FLAGS_BACKUP, 0, current))
    return Fail("reading the volumes of [" + shownName + "] failed: " + session.DescribeLastError());
  const std::vector<SDisk> selected = SelectedDisks(current);
  const json restoreRecord = RestoreRecord(plugin, current);

  SBackupFolder folder;
  if (!ClaimBackupFolder(options.store, options.jobId, static_cast<long long>(HostClock::Now()), target.name, folder,
                         error))
    return Fail(error);
  const long long jobId = folder.jobId;
  const string backupDir = folder.path;
  EvEvent::setJob(jobId, target.name);
  CBackupFailure failure(backupDir);  // before the mount: its unwind comes first
  const string disksDir = FXPath::Append(backupDir, "disks");
  if (::mkdir(disksDir.c_str(), 0700) != 0 || !MakeOwnerOnly(disksDir, true))
    return failure.Failed("store", "cannot create [" + EscapeForDisplay(disksDir) + "]: " + strerror(errno));

  MountCtx ctx;
  ctx.vmName = target.name;
  ctx.vmGuid = target.guid;
  ctx.mountPath = FXPath::Append(backupDir, "config");

  CInterruptWatch interrupts(plugin);
  CBackupMount mount(session, ctx);
  std::printf("Backing up [%s] %s (job %lld)\n", shownName.c_str(), target.guid.c_str(), jobId);
  std::fflush(stdout);
  if (!mount.Mount(error)) return failure.Failed("MountVM", "MountVM failed: " + error);
  // A disk the mount left out recorded its error and logged why; both are read before the next call.
  const int mountCode = static_cast<int>(plugin.GetLastVMError());
  const string mountDetails = plugin.GetLastVMErrorDetails();

  session.MarkStep();
  std::vector<SMountInfoFull> entries;
  if (!plugin.GetFullMountInfo(ctx, entries)) return failure.Failed("GetFullMountInfo", "GetFullMountInfo failed: " + session.DescribeLastError());

  std::vector<SDiskJob> jobs;
  json files = json::array();
  bool filesComplete = true;
  for (const auto& entry : entries) {
    if (entry.disks.empty()) continue;
    const SDisk& item = entry.disks[0];
    if (entry.mountType == MOUNT_TYPE_DISK) {
      jobs.emplace_back().disk = item;
      continue;
    }
    string sha;
    json record = {{"name", item.displayName}, {"size", item.backupSize}, {"main_config", item.fileKind == FILE_KIND_MAIN_CONFIG}};
    if (Sha256OfFile(item.name, sha, error)) {
      record["sha256"] = sha;
    } else {
      std::fprintf(stderr, "backup-agent: configuration file [%s] not stored: %s\n",
                   EscapeForDisplay(item.displayName).c_str(), EscapeForDisplay(error).c_str());
      record["error"] = error;
      filesComplete = false;
    }
    files.push_back(record);
  }

  const bool useDiskInterface = sandbox.instanceType == VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  const int limit = std::max(1, plugin.GetStreamLimit());
  CProgress progress(::isatty(STDOUT_FILENO) != 0);
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < std::min<int>(limit, static_cast<int>(jobs.size())); ++i)
    workers.emplace_back([&] {
      for (size_t k; (k = next.fetch_add(1)) < jobs.size();) StreamDisk(plugin, useDiskInterface, ctx, disksDir, jobs[k], progress);
    });
  for (auto& worker : workers) worker.join();

  // Every selected disk must be stored: one the mount left out or the agent could not store is missing.
  json disks = json::array();
  std::vector<SMissingDisk> missing;
  for (const auto& job : jobs)
    if (job.ok) disks.push_back(job.record);
  for (const auto& disk : selected) {
    auto found = std::find_if(jobs.begin(), jobs.end(), [&](const SDiskJob& job) { return job.disk.volumeId == disk.volumeId; });
    if (found != jobs.end() && found->ok) continue;
    const string reason = found != jobs.end()
                              ? found->error
                              : "left out by the mount: " +
                                    DescribeFailure(mountCode, mountDetails, mount.MountLog(), disk.displayName);
    missing.push_back(SMissingDisk{disk.volumeId, disk.displayName, reason});
  }
  for (const auto& job : jobs)
    if (!job.ok && std::none_of(selected.begin(), selected.end(),
                                [&](const SDisk& disk) { return disk.volumeId == job.disk.volumeId; }))
      missing.push_back(SMissingDisk{job.disk.volumeId, job.disk.displayName, job.error});
  for (const auto& disk : missing)
    std::fprintf(stderr, "backup-agent: disk [%s] %s not stored: %s\n", EscapeForDisplay(disk.displayName).c_str(),
                 EscapeForDisplay(disk.volumeId).c_str(), disk.reason.c_str());
  for (const auto& job : jobs)
    if (!job.warning.empty())
      std::fprintf(stderr, "backup-agent: disk [%s] %s: %s; the unmount detaches it\n",
                   EscapeForDisplay(job.disk.displayName).c_str(), EscapeForDisplay(job.disk.volumeId).c_str(),
                   job.warning.c_str());

  const bool interrupted = InterruptFlag().load();
  if (interrupted) std::fprintf(stderr, "backup-agent: interrupted\n");
  string unmountFailure;
  const bool unmounted = mount.Unmount(unmountFailure);
  if (!unmounted && disks.empty()) std::fprintf(stderr, "backup-agent: UnmountVM failed: %s\n", unmountFailure.c_str());
  if (disks.empty()) return failure.Failed("copy", "no disk of [" + shownName + "] was stored");
  // A clean-up that failed does not touch what is stored: the backup stands, and what the job could
  // not remove stays registered for the next job on this proxy.
  json cleanup = {{"ok", unmounted}};
  if (!unmounted) cleanup.update(LeftForTheNextJob(sandbox, target.guid, unmountFailure));

  const bool complete = missing.empty() && filesComplete;
  json missingJson = json::array();
  for (const auto& disk : missing)
    missingJson.push_back({{"volume_id", disk.volumeId}, {"display_name", disk.displayName}, {"reason", disk.reason}});
  json instance = {{"name", target.name}, {"guid", target.guid}};
  instance.update(restoreRecord);
  if (!IsValidUtf8(target.name)) instance["name_escaped"] = shownName;
  json manifest = {{"instance", instance},
                   {"flavour", sandbox.flavour},
                   {"job_id", jobId},
                   {"created", HostClock::Now()},
                   {"complete", complete},
                   {"missing_disks", missingJson},
                   {"cleanup", cleanup},
                   {"disks", disks},
                   {"files", files}};
  const string manifestPath = FXPath::Append(backupDir, "manifest.json");
  // Texts that are not UTF-8 are written with U+FFFD in their place (the escaped name keeps the bytes).
  if (!WriteWholeFile(manifestPath, manifest.dump(2, ' ', false, json::error_handler_t::replace) + "\n"))
    return failure.Failed("manifest", "cannot write [" + EscapeForDisplay(manifestPath) + "]: " + strerror(errno));
  std::printf("%s of [%s] stored in %s\n", complete ? "Backup" : "Partial backup", shownName.c_str(),
              EscapeForDisplay(backupDir).c_str());
  for (const auto& d : disks) {
    SDiskChecksum checksum;
    string unused;  // every record the backup wrote holds one
    ChecksumFromJson(d, "", checksum, unused);
    std::printf("  %-50s %12llu bytes  %s\n", EscapeForDisplay(d["index_name"].get<string>()).c_str(),
                static_cast<unsigned long long>(d["size"].get<UINT64>()), checksum.Shown().c_str());
  }
  if (!unmounted)
    std::fprintf(stderr, "backup-agent: warning: UnmountVM failed: %s; %s\n", unmountFailure.c_str(),
                 CleanupWarning(cleanup).c_str());
  if (interrupted) return failure.Failed("copy", "interrupted");
  failure.Finished();
  if (!complete) {
    std::fprintf(stderr, "backup-agent: partial backup of [%s]: %zu of %zu disks stored\n", shownName.c_str(),
                 static_cast<size_t>(disks.size()), static_cast<size_t>(disks.size() + missing.size()));
    return kExitPartial;
  }
  return kExitDone;
}

}  // namespace agent
