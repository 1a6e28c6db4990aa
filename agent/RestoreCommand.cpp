#include "agent/RestoreCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/AgentSession.h"
#include "agent/BackupCommand.h"
#include "agent/DiskWrite.h"
#include "agent/DisplayText.h"
#include "agent/FailureCause.h"
#include "agent/InterruptWatch.h"
#include "agent/RestoreContext.h"
#include "agent/RestoreJobFolder.h"
#include "agent/RestoreSource.h"
#include "host/EvDebug.h"

using nlohmann::json;

namespace {

// Unwinds a restore that did not finish: CleanupRestoreVM removes what the failed phases created.
class CRestoreCleanup {
 public:
  CRestoreCleanup(CAgentSession& session, const RestoreCtx& ctx) : session_(session), ctx_(ctx) {}
  ~CRestoreCleanup() {
    if (finished_) return;
    session_.MarkStep();
    if (!session_.Object().CleanupRestoreVM(ctx_))
      std::fprintf(stderr, "backup-agent: CleanupRestoreVM failed: %s\n", session_.DescribeLastError().c_str());
  }
  CRestoreCleanup(const CRestoreCleanup&) = delete;
  CRestoreCleanup& operator=(const CRestoreCleanup&) = delete;
  void Finished() { finished_ = true; }

 private:
  CAgentSession& session_;
  const RestoreCtx& ctx_;
  bool finished_ = false;
};

int Fail(const string& text) {
  std::fprintf(stderr, "backup-agent: %s\n", text.c_str());
  return kExitFailure;
}

int Usage(const string& text) {
  std::fprintf(stderr, "backup-agent: %s\n", text.c_str());
  return kExitUsage;
}

// Writes every selected disk into the device the plug-in attached for it (SDisk.name after Init).
// The disks are the context's first records, in the manifest's order (saved configuration files
// may follow them).
bool WriteDisks(const SRestoreSource& source, const RestoreCtx& ctx, string& failure) {
  if (ctx.disks.size() < source.disks.size()) {
    failure = "writing the disks failed: no error code: the plug-in reports " + std::to_string(ctx.disks.size()) +
              " disks for the " + std::to_string(source.disks.size()) + " stored";
    return false;
  }
  for (size_t i = 0; i < source.disks.size(); ++i) {
    const VMInfoStructs::SDisk& disk = ctx.disks[i];
    const SStoredDisk& stored = source.disks[i];
    if (disk.selectedForRestore != 1) continue;
    const string shown = "writing disk [" + EscapeForDisplay(stored.displayName) + "] failed: ";
    if (disk.name.empty()) {
      failure = shown + DescribeFailure(0, "the plug-in attached no device for it", CStepLog());
      return false;
    }
    SDiskWriteResult written;
    string error;
    if (!WriteDiskFromBackup(stored.path, stored.size, disk.name, stored.sha256, written, error, &InterruptFlag())) {
      failure = shown + DescribeFailure(0, error, CStepLog());
      return false;
    }
    std::fprintf(stderr, "backup-agent: disk [%s] written to %s: %llu bytes written, %llu zeroed, verified\n",
                 EscapeForDisplay(stored.displayName).c_str(), EscapeForDisplay(disk.name).c_str(),
                 static_cast<unsigned long long>(written.bytesWritten),
                 static_cast<unsigned long long>(written.bytesZeroed));
  }
  return true;
}

void PrintResult(const RestoreCtx& ctx, long long jobId, bool asJson) {
  const string instanceId = ctx.createdVmGuid.empty() ? ctx.vmInfo.guid : ctx.createdVmGuid;
  const string shape = ctx.vmInfo.vmSize.empty() ? ctx.vmSize : ctx.vmInfo.vmSize;
  json volumes = json::array();
  for (const auto& disk : ctx.disks)
    if (disk.selectedForRestore == 1)
      volumes.push_back({{"id", disk.createdVolumeId},
                         // A classic volume's id is its target; its name is the display name.
                         {"name", disk.targetVolume.empty() || disk.targetVolume == disk.createdVolumeId
                                      ? disk.displayName
                                      : disk.targetVolume},
                         {"boot", disk.isBootDisk}});
  if (asJson) {
    json out = {{"instance_id", instanceId}, {"name", ctx.vmName}, {"shape", shape},
                {"job_id", jobId},           {"volumes", volumes}};
    std::printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    return;
  }
  std::printf("Restored [%s] as [%s]: instance %s, shape %s\n", EscapeForDisplay(ctx.originalVmName).c_str(),
              EscapeForDisplay(ctx.vmName).c_str(), EscapeForDisplay(instanceId).c_str(),
              EscapeForDisplay(shape).c_str());
  for (const auto& volume : volumes)
    std::printf("  volume %s  %s\n", EscapeForDisplay(volume["id"].get<string>()).c_str(),
                EscapeForDisplay(volume["name"].get<string>()).c_str());
}

}  // namespace

int RunRestoreCommand(const SAgentSandbox& sandbox, const SRestoreOptions& options) {
  if (options.backupDir.empty()) return Usage("the backup folder must not be empty");
  if (options.name.empty()) return Usage("the new instance's name (--as) must not be empty");
  for (const auto& subnet : options.subnets)
    if (subnet.empty()) return Usage("a --subnet must not be empty");
  if (!options.conversion && (options.cpus != 0 || options.memoryMB != 0 || !options.guestOs.empty()))
    return Usage("--cpus, --memory-mb and --guest-os describe the machine of a --conversion");

  SRestoreSource source;
  string error;
  if (!LoadRestoreSource(options.backupDir, source, error)) return Fail(error);

  if (source.flavour != sandbox.flavour)
    return Fail("the backup was made in the " + EscapeForDisplay(source.flavour) + " cloud; this sandbox is " +
                EscapeForDisplay(sandbox.flavour));

  CAgentSession session(sandbox);
  if (!session.Open(SConnectOptions(), error)) return Fail(error);
  IVMInfo& plugin = session.Object();
  // Watched from here on, an interrupt unwinds the job and its folder instead of killing the agent.
  CInterruptWatch interrupts(plugin);

  // The infrastructure flavour reads the saved configuration from its own folder, the classic one
  // from the results folder it is handed (and removes at the end).
  const bool classic = sandbox.instanceType == VSINST_ORACLE_CLOUD_CLASSIC;
  CRestoreJobFolder folder;
  if (!folder.Claim(options.jobId, options.name, error) ||
      !folder.CopyConfiguration(source.files, classic ? folder.ResultsDir() : folder.ConfigDir(), error))
    return Fail(error);
  EvEvent::setJob(folder.JobId(), options.name);
  RestoreCtx ctx = MakeRestoreCtx(source, options, folder.ConfigDir(), folder.ResultsDir());
  if (classic) ListSavedConfiguration(source, ctx);

  CRestoreCleanup cleanup(session, ctx);
  if (!options.json) {
    std::printf("Restoring [%s] as [%s] (job %lld)\n", EscapeForDisplay(source.name).c_str(),
                EscapeForDisplay(options.name).c_str(), folder.JobId());
    std::fflush(stdout);
  }
  session.MarkStep();
  if (!plugin.InitRestoreVM(ctx)) return Fail("InitRestoreVM failed: " + session.DescribeLastError());
  if (!WriteDisks(source, ctx, error)) return Fail(error);
  session.MarkStep();
  if (!plugin.PreRestoreVM(ctx)) return Fail("PreRestoreVM failed: " + session.DescribeLastError());
  session.MarkStep();
  if (!plugin.RestoreVM(ctx)) return Fail("RestoreVM failed: " + session.DescribeLastError());
  session.MarkStep();
  if (!plugin.PostRestoreVM(ctx)) return Fail("PostRestoreVM failed: " + session.DescribeLastError());
  cleanup.Finished();
  PrintResult(ctx, folder.JobId(), options.json);
  return kExitComplete;
}
