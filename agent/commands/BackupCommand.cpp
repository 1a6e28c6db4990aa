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

#include "agent/commands/RegistryCommand.h"
#include "agent/diskio/DiskCopy.h"
#include "agent/jobs/AgentSession.h"
#include "agent/jobs/BackupFolder.h"
#include "agent/jobs/BackupMount.h"
#include "agent/jobs/ChecksumJson.h"
#include "agent/jobs/ChunkDigestFile.h"
#include "agent/jobs/FailureCause.h"
#include "agent/jobs/InterruptWatch.h"
#include "agent/jobs/Progress.h"
#include "cli/DisplayText.h"
#include "host/ErrnoText.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/HostClock.h"

namespace agent {

using namespace VMInfoStructs;
using nlohmann::json;

namespace {

struct SDiskJob {  // NOLINT(bugprone-exception-escape): json's moves do not throw
  SDisk disk;      // as the mount information reports it
  json record;     // manifest entry, filled when done
  string error;    // why the disk was not stored
  string warning;  // what went wrong after the disk was read whole (its close)
  bool ok = false;
};

// A disk the job had to store and did not.
struct SMissingDisk {
  string volumeId;
  string displayName;
  string reason;
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
                const string& step) {
  SDisk disk = job.disk;
  VmdkHandle handle;
  CStepLog log;
  if (useDiskInterface) {
    CProgress opening("OpenVmdk: the attachment and iSCSI login of " + step.substr(step.find("disk ")) + " [" +
                      cli::EscapeForDisplay(job.disk.displayName) + "]");
    if (!plugin.OpenVmdk(ctx.vmName, ctx.vmGuid, disk.guid, handle)) {
      job.error = "OpenVmdk failed: " + DescribePluginFailure(plugin, log);
      return;
    }
    opening.Done();
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
  CProgress progress(step + " [" + cli::EscapeForDisplay(job.disk.displayName) + "]", disk.size);
  bool ok = CopyDiskSparse(disk.name, disk.size, partial, copied, error, &InterruptFlag(),
                           [&](UINT64 done) { progress.Advance(done); });
  if (!ok) error = "reading the disk failed: " + cli::EscapeForDisplay(error);
  // A close that fails leaves the replica attached; the unmount's clean-up detaches it (or fails
  // the job). The copy itself is whole, and verified next.
  if (useDiskInterface) {
    log = CStepLog();
    if (!plugin.CloseVmdk(handle)) job.warning = "CloseVmdk failed: " + DescribePluginFailure(plugin, log);
  }
  if (ok) progress.Advance(disk.size);
  if (ok && !VerifyStoredCopy(partial, copied, error)) {
    error = "verifying the stored disk failed: " + cli::EscapeForDisplay(error);
    ok = false;
  }
  if (ok && !StoreChunkDigests(FXPath::GetParent(disksDir), FXPath::GetFileName(file), copied.digests, error))
    ok = false;
  if (ok && ::rename(partial.c_str(), file.c_str()) != 0) {
    error = "storing the disk failed: cannot rename [" + cli::EscapeForDisplay(partial) + "]: " + ErrnoText(errno);
    ok = false;
  }
  if (!ok) {
    job.error = error;
    return;
  }
  removePartial.Keep();
  progress.Done();
  job.record = {{"index_name", job.disk.indexName},
                {"volume_id", job.disk.volumeId},
                {"display_name", job.disk.displayName},
                {"boot", job.disk.isBootDisk},
                {"size", copied.size},
                {"bytes_read", copied.bytesRead},
                {"file", FXPath::GetFileName(file)},
                {"chunk_digests", ChunkDigestFileName(FXPath::GetFileName(file))}};
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
                      : "left registered for the next job on this proxy to remove: " + cli::EscapeForDisplay(left);
}

// One backup job as it goes, step by step; a step that fails names itself and why.
struct SBackupRun {
  SBackupRun(const SAgentSandbox& sandbox, const SBackupOptions& options) : options(options), session(sandbox) {}
  const SBackupOptions& options;
  CAgentSession session;
  SVMInfo target;
  string shownName;
  std::vector<SDisk> selected;
  json restoreRecord;
  SBackupFolder folder;
  string disksDir;
  MountCtx ctx;
  int mountCode = 0;  // what the mount left recorded for the disks it left out
  string mountDetails;
  std::vector<SDiskJob> jobs;
  json files = json::array();
  bool filesComplete = true;
  json disks = json::array();
  std::vector<SMissingDisk> missing;
  json cleanup;
  bool complete = false;
  // The failed step and its message.
  string step;
  string failure;

  bool Failed(const string& failedStep, const string& message) {
    step = failedStep;
    failure = message;
    return false;
  }
};

// The instance named (or with that id), and its volumes selected for the backup.
bool FindInstance(SBackupRun& run) {
  IVMInfo& plugin = run.session.Object();
  std::vector<SVMInfo> all;
  if (!plugin.GetVMInfoList(all, 0, 0, nullptr, FILTER_TYPE_NONE))
    return run.Failed("GetVMInfoList", "listing instances failed: " + run.session.DescribeLastError());
  std::vector<SVMInfo> matches;
  for (const auto& vm : all)
    if (vm.guid == run.options.instance || vm.name == run.options.instance) matches.push_back(vm);
  if (matches.size() != 1)
    return run.Failed("instance", string(matches.empty() ? "no" : "more than one") + " instance [" +
                                      cli::EscapeForDisplay(run.options.instance) + "]");
  run.target = matches[0];
  run.shownName = cli::EscapeForDisplay(run.target.name);
  run.session.MarkStep();
  SVMInfo current;
  if (!plugin.GetVMInfoForVM(run.target.name, run.target.guid, "", VMINFO_FLAGS_BACKUP, 0, current))
    return run.Failed("GetVMInfoForVM",
                      "reading the volumes of [" + run.shownName + "] failed: " + run.session.DescribeLastError());
  run.selected = SelectedDisks(current);
  run.restoreRecord = RestoreRecord(plugin, current);
  return true;
}

// A new folder of the store for the job, with its disks/ folder; the mount's configuration goes to config/.
bool ClaimFolder(SBackupRun& run) {
  string error;
  if (!ClaimBackupFolder(run.options.store, run.options.jobId, static_cast<long long>(HostClock::Now()),
                         run.target.name, run.folder, error))
    return run.Failed("store", error);
  EvEvent::setJob(run.folder.jobId, run.target.name);
  run.disksDir = FXPath::Append(run.folder.path, "disks");
  if (::mkdir(run.disksDir.c_str(), 0700) != 0 || !MakeOwnerOnly(run.disksDir, true))
    return run.Failed("store", "cannot create [" + cli::EscapeForDisplay(run.disksDir) + "]: " + ErrnoText(errno));
  run.ctx.vmName = run.target.name;
  run.ctx.vmGuid = run.target.guid;
  run.ctx.mountPath = FXPath::Append(run.folder.path, "config");
  return true;
}

// The disks and configuration files the mount offers; each file is recorded with its SHA-256.
bool ReadMountInfo(SBackupRun& run) {
  run.session.MarkStep();
  std::vector<SMountInfoFull> entries;
  if (!run.session.Object().GetFullMountInfo(run.ctx, entries))
    return run.Failed("GetFullMountInfo", "GetFullMountInfo failed: " + run.session.DescribeLastError());
  for (const auto& entry : entries) {
    if (entry.disks.empty()) continue;
    const SDisk& item = entry.disks[0];
    if (entry.mountType == MOUNT_TYPE_DISK) {
      run.jobs.emplace_back().disk = item;
      continue;
    }
    string sha, error;
    json record = {
        {"name", item.displayName}, {"size", item.backupSize}, {"main_config", item.fileKind == FILE_KIND_MAIN_CONFIG}};
    if (Sha256OfFile(item.name, sha, error)) {
      record["sha256"] = sha;
    } else {
      std::fprintf(stderr, "backup-agent: configuration file [%s] not stored: %s\n",
                   cli::EscapeForDisplay(item.displayName).c_str(), cli::EscapeForDisplay(error).c_str());
      record["error"] = error;
      run.filesComplete = false;
    }
    run.files.push_back(record);
  }
  return true;
}

// Every disk read into the store, several at once up to the plug-in's stream limit.
void CopyDisks(SBackupRun& run, const SAgentSandbox& sandbox) {
  IVMInfo& plugin = run.session.Object();
  const bool useDiskInterface = sandbox.instanceType == VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  const int limit = std::max(1, plugin.GetStreamLimit());
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  const size_t count = run.jobs.size();
  for (int i = 0; i < std::min<int>(limit, static_cast<int>(count)); ++i)
    workers.emplace_back([&] {
      for (size_t k; (k = next.fetch_add(1)) < count;)
        StreamDisk(plugin, useDiskInterface, run.ctx, run.disksDir, run.jobs[k],
                   "copying disk " + std::to_string(k + 1) + " of " + std::to_string(count));
    });
  for (auto& worker : workers) worker.join();
}

// Every selected disk must be stored: one the mount left out or the agent could not store is missing.
void CollectMissing(SBackupRun& run, const CBackupMount& mount) {
  for (const auto& job : run.jobs)
    if (job.ok) run.disks.push_back(job.record);
  for (const auto& disk : run.selected) {
    auto found = std::find_if(run.jobs.begin(), run.jobs.end(),
                              [&](const SDiskJob& job) { return job.disk.volumeId == disk.volumeId; });
    if (found != run.jobs.end() && found->ok) continue;
    const string reason = found != run.jobs.end()
                              ? found->error
                              : "left out by the mount: " + DescribeFailure(run.mountCode, run.mountDetails,
                                                                            mount.MountLog(), disk.displayName);
    run.missing.push_back(SMissingDisk{disk.volumeId, disk.displayName, reason});
  }
  for (const auto& job : run.jobs)
    if (!job.ok && std::none_of(run.selected.begin(), run.selected.end(),
                                [&](const SDisk& disk) { return disk.volumeId == job.disk.volumeId; }))
      run.missing.push_back(SMissingDisk{job.disk.volumeId, job.disk.displayName, job.error});
  for (const auto& disk : run.missing)
    std::fprintf(stderr, "backup-agent: disk [%s] %s not stored: %s\n", cli::EscapeForDisplay(disk.displayName).c_str(),
                 cli::EscapeForDisplay(disk.volumeId).c_str(), disk.reason.c_str());
  for (const auto& job : run.jobs)
    if (!job.warning.empty())
      std::fprintf(stderr, "backup-agent: disk [%s] %s: %s; the unmount detaches it\n",
                   cli::EscapeForDisplay(job.disk.displayName).c_str(),
                   cli::EscapeForDisplay(job.disk.volumeId).c_str(), job.warning.c_str());
  run.complete = run.missing.empty() && run.filesComplete;
}

json MissingJson(const std::vector<SMissingDisk>& missing) {
  json list = json::array();
  for (const auto& disk : missing)
    list.push_back({{"volume_id", disk.volumeId}, {"display_name", disk.displayName}, {"reason", disk.reason}});
  return list;
}

// manifest.json: what a restore reads, and what the job could not store or clean up.
bool WriteManifest(SBackupRun& run, const SAgentSandbox& sandbox) {
  json instance = {{"name", run.target.name}, {"guid", run.target.guid}};
  instance.update(run.restoreRecord);
  if (!cli::IsValidUtf8(run.target.name)) instance["name_escaped"] = run.shownName;
  const json manifest = {
      {"instance", instance},        {"flavour", sandbox.flavour}, {"job_id", run.folder.jobId},
      {"created", HostClock::Now()}, {"complete", run.complete},   {"missing_disks", MissingJson(run.missing)},
      {"cleanup", run.cleanup},      {"disks", run.disks},         {"files", run.files}};
  const string path = FXPath::Append(run.folder.path, "manifest.json");
  // Texts that are not UTF-8 are written with U+FFFD in their place (the escaped name keeps the bytes).
  if (WriteWholeFile(path, manifest.dump(2, ' ', false, json::error_handler_t::replace) + "\n")) return true;
  return run.Failed("manifest", "cannot write [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(errno));
}

// The result: for people on stdout, or the --json object.
int ReportStored(SBackupRun& run, CCommandReport& report) {
  const int exitCode = run.complete ? kExitDone : kExitPartial;
  if (!run.cleanup["ok"].get<bool>())
    std::fprintf(stderr, "backup-agent: warning: UnmountVM failed: %s; %s\n",
                 run.cleanup["error"].get<string>().c_str(), CleanupWarning(run.cleanup).c_str());
  if (!run.complete)
    std::fprintf(stderr, "backup-agent: partial backup of [%s]: %zu of %zu disks stored\n", run.shownName.c_str(),
                 static_cast<size_t>(run.disks.size()), static_cast<size_t>(run.disks.size() + run.missing.size()));
  if (report.Json())
    return report.Succeeded({{"command", "backup"},
                             {"instance", {{"name", run.target.name}, {"guid", run.target.guid}}},
                             {"job_id", run.folder.jobId},
                             {"backup_folder", run.folder.path},
                             {"complete", run.complete},
                             {"exit_code", exitCode},
                             {"disks", run.disks},
                             {"missing_disks", MissingJson(run.missing)},
                             {"cleanup", run.cleanup}},
                            exitCode);
  std::printf("%s of [%s] stored in %s\n", run.complete ? "Backup" : "Partial backup", run.shownName.c_str(),
              cli::EscapeForDisplay(run.folder.path).c_str());
  for (const auto& d : run.disks) {
    SDiskChecksum checksum;
    string unused;  // every record the backup wrote holds one
    ChecksumFromJson(d, "", checksum, unused);
    std::printf("  %-50s %12llu bytes  %s\n", cli::EscapeForDisplay(d["index_name"].get<string>()).c_str(),
                static_cast<unsigned long long>(d["size"].get<UINT64>()), checksum.Shown().c_str());
  }
  return exitCode;
}

// A job that fails or is interrupted after its folder exists marks it failed (or removes it when no
// disk was stored yet) and names what it left.
int FailAfterClaim(SBackupRun& run, CCommandReport& report) {
  string error;
  if (!MarkBackupFailed(run.folder.path, run.step, run.failure, error))
    std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
  struct stat st {};
  if (::stat(run.folder.path.c_str(), &st) == 0) report.Left().backupFolder = run.folder.path;
  for (const auto& disk : run.missing) report.Left().missingDisks.push_back(disk.displayName);
  if (run.cleanup.contains("left_for_next_job"))
    for (const auto& entry : run.cleanup["left_for_next_job"]) report.Left().registered.push_back(entry.get<string>());
  return report.Failed(run.step, run.failure);
}

// The steps with the instance's snapshot volumes mounted on the proxy: MountVM, the mount
// information, the copies, UnmountVM and the manifest. False with the failed step when the job
// failed or was interrupted; the mount has unwound either way when it returns.
bool BackupMounted(SBackupRun& run, const SAgentSandbox& sandbox) {
  CInterruptWatch interrupts(run.session.Object());
  CBackupMount mount(run.session, run.ctx);
  if (!run.options.json) {
    std::printf("Backing up [%s] %s (job %lld)\n", run.shownName.c_str(), run.target.guid.c_str(), run.folder.jobId);
    std::fflush(stdout);
  }
  {
    string error;
    CProgress waiting("MountVM: snapshots and their volumes of [" + run.shownName + "]");
    if (!mount.Mount(error)) return run.Failed("MountVM", "MountVM failed: " + error);
    waiting.Done();
  }
  // A disk the mount left out recorded its error and logged why; both are read before the next call.
  run.mountCode = static_cast<int>(run.session.Object().GetLastVMError());
  run.mountDetails = run.session.Object().GetLastVMErrorDetails();
  if (!ReadMountInfo(run)) return false;
  CopyDisks(run, sandbox);
  CollectMissing(run, mount);

  string unmountFailure;
  const bool unmounted = mount.Unmount(unmountFailure);
  run.cleanup = {{"ok", unmounted}};
  // A clean-up that failed does not touch what is stored: the backup stands, and what the job could
  // not remove stays registered for the next job on this proxy.
  if (!unmounted) run.cleanup.update(LeftForTheNextJob(sandbox, run.target.guid, unmountFailure));
  if (InterruptFlag().load()) {
    WriteManifest(run, sandbox);
    return run.Failed("copy", "the backup was interrupted: " + std::to_string(run.disks.size()) + " of " +
                                  std::to_string(run.jobs.size()) + " disks stored");
  }
  if (run.disks.empty()) {
    if (!unmounted) std::fprintf(stderr, "backup-agent: UnmountVM failed: %s\n", unmountFailure.c_str());
    return run.Failed("copy", "no disk of [" + run.shownName + "] was stored");
  }
  return WriteManifest(run, sandbox);
}

}  // namespace

int RunBackupCommand(const SAgentSandbox& sandbox, const SBackupOptions& options) {
  CCommandReport report("backup", options.json);
  if (options.store.empty()) return report.UsageError("--store needs a folder path");
  SBackupRun run(sandbox, options);
  string error;
  if (!run.session.Open(SConnectOptions(), error)) return report.Failed("connect", error);
  if (!FindInstance(run)) return report.Failed(run.step, run.failure);
  if (!ClaimFolder(run))
    return run.folder.path.empty() ? report.Failed(run.step, run.failure) : FailAfterClaim(run, report);
  // Marks the folder failed on a road out that reports nothing: an exception that ends the job.
  CBackupFailure unreported(run.folder.path);
  const bool stored = BackupMounted(run, sandbox);
  unreported.Finished();
  return stored ? ReportStored(run, report) : FailAfterClaim(run, report);
}

}  // namespace agent
