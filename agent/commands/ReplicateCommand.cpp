#include "agent/commands/ReplicateCommand.h"
#include "agent/jobs/ExitStatus.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "agent/commands/BackupCommand.h"
#include "agent/commands/RegistryCommand.h"
#include "agent/diskio/ChunkDigests.h"
#include "agent/diskio/SyncChunks.h"
#include "agent/jobs/ReplicationState.h"
#include "agent/jobs/RestoreContext.h"
#include "agent/jobs/RestoreJob.h"
#include "cli/DisplayText.h"
#include "host/FXFile.h"
#include "host/VMInfoErrors.h"

namespace agent {

using nlohmann::json;
using VMInfoStructs::SDisk;

namespace {

// The records of a sync: the stored disks as a restore has them, each carrying what the last sync
// recorded for its index name, then one unselected record per disk the destination has that the
// backup no longer holds (the plug-in removes its volume).
void AddReplicationRecords(const SReplicateOptions& options, const SReplicationState& last, RestoreCtx& ctx) {
  ctx.restoreType = RESTORE_TYPE_REPLICATION;
  ctx.powerOnAfterRestore = false;
  ctx.isFirstSync = options.firstSync;
  ctx.forceFullSync = options.forceFull;
  ctx.restoredVmGuid = last.instanceId;
  const size_t stored = ctx.disks.size();
  for (size_t i = 0; i < stored; ++i) {
    SDisk& disk = ctx.disks[i];
    const auto& deselected = options.deselected;
    if (std::find(deselected.begin(), deselected.end(), disk.indexName) != deselected.end())
      disk.selectedForRestore = 0;
    if (const SReplicatedDisk* synced = last.Find(disk.indexName)) {
      disk.createdVolumeId = synced->volumeId;
      disk.snapshotId = synced->snapshotId;
    }
  }
  for (const auto& synced : last.disks) {
    const auto begin = ctx.disks.begin(), end = begin + static_cast<std::ptrdiff_t>(stored);
    if (std::any_of(begin, end, [&](const SDisk& d) { return d.indexName == synced.indexName; })) continue;
    SDisk gone;
    gone.selectedForRestore = 0;
    gone.indexName = synced.indexName;
    gone.displayName = synced.displayName;
    gone.createdVolumeId = synced.volumeId;
    gone.snapshotId = synced.snapshotId;
    ctx.disks.push_back(gone);
  }
  // What a replaced generation left: the plug-in removes it once this sync succeeded.
  for (size_t i = 0; i < std::max(last.retiredVolumes.size(), last.retiredSnapshots.size()); ++i) {
    SDisk retired;
    retired.selectedForRestore = 0;
    if (i < last.retiredVolumes.size()) retired.createdVolumeId = last.retiredVolumes[i];
    if (i < last.retiredSnapshots.size()) retired.snapshotId = last.retiredSnapshots[i];
    ctx.disks.push_back(retired);
  }
}

// The window between a sync's hand-over and its state write calls nothing a fault rule could meet:
// OCI_AGENT_KILL_AT=sync-state ends the agent there as a crash would (the kill matrix's way in).
void KillPoint(const char* step) {
  const char* at = std::getenv("OCI_AGENT_KILL_AT");
  if (at && std::strcmp(at, step) == 0) ::raise(SIGKILL);
}

// Whether a job's registration still holds the instance: one a sync launched stays registered until
// its Post handed it over whole (the instance last), and the next job's sweep removes it otherwise.
bool IsRegistered(const SAgentSandbox& sandbox, const string& instanceId, bool& registered, string& error) {
  registered = false;
  std::vector<SRegistryRoot> roots;
  if (!ReadSandboxRegistry(sandbox, roots, error)) return false;
  for (const auto& root : roots)
    for (const auto& child : root.children)
      registered = registered || (child.type == VM_CLEANER_ENTITY_VM && child.name == instanceId);
  return true;
}

// A live (not terminated) instance of that id; false with `error` when the cloud could not be asked.
bool IsLive(IVMInfo& plugin, const string& name, const string& instanceId, bool& live, string& error) {
  VMInfoStructs::SVMInfo vm;
  live = false;
  if (!plugin.GetVMInfoForVM(name, instanceId, "", 0, 0, vm)) {
    error = "cannot read the instance [" + cli::EscapeForDisplay(instanceId) + "]: " + plugin.GetLastVMErrorDetails();
    return false;
  }
  live = vm.lifecycleState != "TERMINATED" && vm.lifecycleState != "TERMINATING";
  return true;
}

void Retire(const SReplicatedGeneration& loser, const SReplicatedGeneration& winner, bool withInstance,
            SReplicationState& state) {
  if (withInstance && !loser.instanceId.empty()) state.retiredInstances.push_back(loser.instanceId);
  for (const auto& disk : loser.disks) {
    const bool kept = std::any_of(winner.disks.begin(), winner.disks.end(),
                                  [&](const SReplicatedDisk& d) { return d.volumeId == disk.volumeId; });
    if (!kept) state.retiredVolumes.push_back(disk.volumeId);
    if (!disk.snapshotId.empty()) state.retiredSnapshots.push_back(disk.snapshotId);
  }
}

// A sync killed after it launched its new destination and before it recorded its end left it
// pending. Handed over (no registration holds it, and it is live), it is whole and becomes the
// destination; otherwise the previous one stays, and the sweep of this job's Init removes what the
// registry still holds of the new. What the losing one left is retired; the state is saved at once,
// and the retired instances (a second instance of the name would stop the sync) go first.
bool SettlePendingDestination(const SAgentSandbox& sandbox, IVMInfo& plugin, SReplicationState& state, string& error) {
  if (!state.pending.instanceId.empty()) {
    bool registered = false, live = false;
    if (!IsRegistered(sandbox, state.pending.instanceId, registered, error) ||
        (!registered && !IsLive(plugin, state.destination, state.pending.instanceId, live, error)))
      return false;
    SReplicatedGeneration& current = state;
    // The instance of a pending destination that lost is the sweep's, or gone already.
    const SReplicatedGeneration winner = live ? state.pending : current;
    Retire(live ? current : state.pending, winner, live, state);
    current = winner;
    std::fprintf(stderr, "backup-agent: the sync that launched [%s] was interrupted; [%s] is the destination\n",
                 cli::EscapeForDisplay(state.pending.instanceId).c_str(),
                 cli::EscapeForDisplay(state.instanceId).c_str());
    state.pending = SReplicatedGeneration();
    if (!SaveReplicationState(state, error)) return false;
  }
  while (!state.retiredInstances.empty()) {
    bool live = false;
    if (!IsLive(plugin, state.destination, state.retiredInstances.back(), live, error)) return false;
    OperationCtx remove;
    remove.operationType = OPERATION_DELETE;
    remove.vmName = remove.vmInfo.name = state.destination;
    remove.vmGuid = remove.vmInfo.guid = state.retiredInstances.back();
    if (live && !plugin.PerformVMOperation(remove)) {
      error = "cannot remove the replaced instance [" + cli::EscapeForDisplay(remove.vmGuid) +
              "]: " + plugin.GetLastVMErrorDetails();
      return false;
    }
    state.retiredInstances.pop_back();
    if (!SaveReplicationState(state, error)) return false;
  }
  return true;
}

// A destination belongs to the source it was first synced from; another source replaces it only
// with a forced full sync and overwrite. The source of a state an older agent wrote is its backup's.
bool RefusesAnotherSource(const SReplicateOptions& options, const SRestoreSource& source, const SReplicationState& last,
                          string& error) {
  string name = last.sourceName, id = last.sourceId;
  SRestoreSource synced;
  string manifest, unused;  // the source's identity needs the manifest only, not the stored disks
  if (name.empty() && ReadWholeFile(FXPath::Append(last.backupDir, "manifest.json"), manifest) &&
      ParseRestoreSource(manifest, last.backupDir, synced, unused))
    name = synced.name, id = synced.guid;
  const bool same = !id.empty() && !source.guid.empty() ? id == source.guid : name == source.name;
  if (name.empty() || same || (options.forceFull && options.overwrite)) return false;
  error = "the sync is refused: error " + std::to_string(VMERR_REPLICATION_DESTINATION_EXISTS) + ": the destination [" +
          cli::EscapeForDisplay(last.destination) + "] is the replica of [" + cli::EscapeForDisplay(name) +
          "]; this backup is of [" + cli::EscapeForDisplay(source.name) +
          "]. Replace it with --force-full --overwrite, or sync to another destination";
  return true;
}

// Writes the disks of a sync: whole on a full sync and for a disk new to the destination; otherwise
// only the chunks whose digests differ from those the last sync recorded, or (a state without them)
// the chunks that differ from the backup last synced, whose disk must then be there unchanged. Keeps
// the chunk digests of every disk it wrote for the next sync.
class CSyncWriter {
 public:
  CSyncWriter(const SReplicationState& last, const RestoreCtx& ctx) : last_(last), ctx_(ctx) {}

  bool Write(const SStoredDisk& stored, const string& device, SDiskWriteResult& written, string& error) {
    const SReplicatedDisk* synced = last_.Find(stored.indexName);
    string& digests = digests_[stored.indexName];
    digests.clear();
    const std::atomic<bool>* cancel = &InterruptFlag();
    if (ctx_.fullReplication || !synced)
      return WriteDiskFromBackup(stored.path, stored.size, device, stored.checksum, written, error, cancel) &&
             KeepDigests(stored, digests, error);
    if (!synced->digests.empty() && synced->size == stored.size && stored.checksum.scheme == synced->checksum.scheme) {
      SSyncWriteResult result;
      const bool done = WriteChangedChunksByDigest(stored.path, stored.size, device, stored.checksum, synced->digests,
                                                   digests, result, error, cancel);
      written = result;
      return done;
    }
    const SStoredDisk* base = BaseDisk(stored, *synced, error);
    return base &&
           WriteChangedChunks(base->path, synced->checksum, stored.path, stored.size, device, stored.checksum, written,
                              error, cancel) &&
           KeepDigests(stored, digests, error);
  }

  // The digests of the disk written for `indexName` (empty when none are kept).
  const string& Digests(const string& indexName) const {
    static const string none;
    const auto it = digests_.find(indexName);
    return it == digests_.end() ? none : it->second;
  }

 private:
  // The chunk digests of a disk written whole or by comparison; a whole SHA-256 keeps none.
  static bool KeepDigests(const SStoredDisk& stored, string& digests, string& error) {
    if (stored.checksum.scheme != EChecksumScheme::ChunkedSha256) return true;
    if (!DigestsOfStoredDisk(stored.path, stored.size, digests, error)) return false;
    if (DigestsMatch(digests, stored.size, stored.checksum)) return true;
    error = "the stored disk [" + stored.path + "] changed while it was synced: it no longer has " +
            stored.checksum.Shown();
    return false;
  }

  // The disk of the backup last synced that the destination volume was rebuilt from.
  const SStoredDisk* BaseDisk(const SStoredDisk& stored, const SReplicatedDisk& synced, string& error) {
    // Escaped with the rest of the failure.
    const string shown = "the backup last synced [" + last_.backupDir + "]";
    if (!baseLoaded_ && !LoadRestoreSource(last_.backupDir, base_, baseError_))
      baseError_ = shown + " cannot be read (" + baseError_ + ")";
    baseLoaded_ = true;
    if (!baseError_.empty()) {
      error = baseError_ + "; an incremental sync needs it (--force-full syncs without it)";
      return nullptr;
    }
    for (const auto& disk : base_.disks) {
      if (disk.indexName != stored.indexName) continue;
      if (disk.size != stored.size)
        error = shown + " holds the disk [" + disk.indexName + "] with " + std::to_string(disk.size) +
                " bytes, this backup with " + std::to_string(stored.size) + "; --force-full syncs it whole";
      else if (disk.checksum != synced.checksum)
        error = shown + " no longer holds the disk [" + disk.indexName + "] that was synced (" + disk.checksum.Shown() +
                ", synced " + synced.checksum.hex + "); --force-full syncs it whole";
      else
        return &disk;
      return nullptr;
    }
    error = shown + " holds no disk [" + stored.indexName + "]; --force-full syncs it whole";
    return nullptr;
  }

  const SReplicationState& last_;
  const RestoreCtx& ctx_;
  std::map<string, string> digests_;
  SRestoreSource base_;
  bool baseLoaded_ = false;
  string baseError_;
};

// The destination this sync made: the selected disks as the plug-in left them.
SReplicationState SyncedState(const SRestoreSource& source, const string& backupDir, const RestoreCtx& ctx,
                              const CSyncWriter& writer) {
  SReplicationState state;
  state.destination = ctx.vmName;
  state.instanceId = ctx.createdVmGuid.empty() ? ctx.restoredVmGuid : ctx.createdVmGuid;
  state.sourceName = source.name;
  state.sourceId = source.guid;
  state.backupDir = std::filesystem::absolute(backupDir).lexically_normal().string();
  for (size_t i = 0; i < source.disks.size() && i < ctx.disks.size(); ++i) {
    const SDisk& disk = ctx.disks[i];
    if (disk.selectedForRestore != 1) continue;
    SReplicatedDisk synced;
    synced.indexName = disk.indexName;
    synced.displayName = disk.displayName;
    synced.volumeId = disk.createdVolumeId;
    synced.snapshotId = disk.snapshotId;
    synced.checksum = source.disks[i].checksum;
    synced.size = source.disks[i].size;
    synced.digests = writer.Digests(disk.indexName);
    state.disks.push_back(synced);
  }
  return state;
}

int ReportSynced(const SRestoreSource& source, const SReplicationState& state, const RestoreCtx& ctx, int fallback,
                 UINT64 bytesWritten, long long jobId, CCommandReport& report) {
  if (report.Json()) {
    json volumes = json::array();
    for (const auto& disk : state.disks)
      volumes.push_back({{"index_name", disk.indexName}, {"id", disk.volumeId}, {"snapshot_id", disk.snapshotId}});
    return report.Succeeded({{"command", "replicate"},
                             {"destination", state.destination},
                             {"instance_id", state.instanceId},
                             {"replication_type", ctx.replicationType},
                             {"full_sync", ctx.fullReplication},
                             {"fallback_code", fallback},
                             {"bytes_written", bytesWritten},
                             {"job_id", jobId},
                             {"volumes", volumes}});
  }
  const string kind = !ctx.fullReplication ? "incremental sync"
                      : fallback != 0 ? "full sync (fell back from incremental: error " + std::to_string(fallback) + ")"
                                      : "full sync";
  std::printf("Replicated [%s] to [%s]: %s, %llu bytes written\n", cli::EscapeForDisplay(source.name).c_str(),
              cli::EscapeForDisplay(state.destination).c_str(), kind.c_str(),
              static_cast<unsigned long long>(bytesWritten));
  std::printf("  instance %s\n", cli::EscapeForDisplay(state.instanceId).c_str());
  for (const auto& disk : state.disks)
    std::printf("  volume %s  %s  integrity snapshot %s\n", cli::EscapeForDisplay(disk.volumeId).c_str(),
                cli::EscapeForDisplay(disk.indexName).c_str(), cli::EscapeForDisplay(disk.snapshotId).c_str());
  return kExitDone;
}

}  // namespace

int RunReplicateCommand(const SAgentSandbox& sandbox, const SReplicateOptions& options) {
  CCommandReport report("replicate", options.json);
  if (options.backupDir.empty()) return report.UsageError("the backup folder must not be empty");
  if (options.destination.empty()) return report.UsageError("the destination's name (--to) must not be empty");
  SRestoreSource source;
  string error;
  if (!LoadRestoreSource(options.backupDir, source, error)) return report.Failed("backup", error);
  for (const auto& name : options.deselected) {
    if (std::none_of(source.disks.begin(), source.disks.end(),
                     [&](const SStoredDisk& d) { return d.indexName == name; }))
      return report.UsageError("--deselect [" + cli::EscapeForDisplay(name) +
                               "]: the backup holds no disk of that index name");
  }

  CReplicationLock lock;
  SReplicationState last;
  bool found = false;
  if (!lock.Acquire(options.destination, error) || !LoadReplicationState(options.destination, last, found, error))
    return report.Failed("replication state", error);

  SRestoreOptions restore;
  restore.backupDir = options.backupDir;
  restore.name = options.destination;
  restore.overwrite = options.overwrite;
  restore.jobId = options.jobId;
  CRestoreJob job(sandbox);
  RestoreCtx ctx;
  if (!job.Start(source, restore, ctx, error)) return report.Failed("start", error);
  if (found && !SettlePendingDestination(sandbox, job.Session().Object(), last, error))
    return report.Failed("pending destination", error);
  if (found && RefusesAnotherSource(options, source, last, error))
    return report.Failed("destination", error, VMERR_REPLICATION_DESTINATION_EXISTS);
  AddReplicationRecords(options, last, ctx);
  if (job.Classic()) ListSavedConfiguration(source, ctx);
  if (!options.json) {
    std::printf("Replicating [%s] to [%s] (job %lld)\n", cli::EscapeForDisplay(source.name).c_str(),
                cli::EscapeForDisplay(options.destination).c_str(), job.JobId());
    std::fflush(stdout);
  }

  IVMInfo& plugin = job.Session().Object();
  int fallback = 0;
  UINT64 bytesWritten = 0;
  CSyncWriter writer(last, ctx);
  const auto writeDisks = [&](string& failure) {
    // Read first: the code an initialisation that fell back from incremental to full left.
    const int code = static_cast<int>(plugin.GetLastVMError());
    if (code == VMERR_REPLICATION_DESTINATION_UNREADABLE || code == VMERR_REPLICATION_REVERT_FAILED) fallback = code;
    const DiskWriter write = [&](const SStoredDisk& stored, const string& device, SDiskWriteResult& written,
                                 string& writeError) { return writer.Write(stored, device, written, writeError); };
    return WriteStoredDisks(source, ctx, write, failure, &bytesWritten);
  };
  // The new destination, launched, is recorded before Post hands it over and retires the previous one.
  const auto recordPending = [&](string& failure) {
    SReplicationState pending = last;
    pending.destination = options.destination;
    static_cast<SReplicatedGeneration&>(pending.pending) = SyncedState(source, options.backupDir, ctx, writer);
    if (SaveReplicationState(pending, failure)) return true;
    failure = "recording the new destination failed: " + failure;
    return false;
  };
  string cleanupFailure;
  if (!RunRestorePhases(job.Session(), ctx, writeDisks, error, recordPending, &cleanupFailure)) {
    if (!cleanupFailure.empty()) report.Left().registered.push_back(cleanupFailure);
    return report.Failed("", error);
  }

  const SReplicationState synced = SyncedState(source, options.backupDir, ctx, writer);
  KillPoint("sync-state");
  if (!SaveReplicationState(synced, error))
    return report.Failed("replication state", "the sync succeeded, but the next one cannot start from it: " + error);
  return ReportSynced(source, synced, ctx, fallback, bytesWritten, job.JobId(), report);
}

}  // namespace agent
