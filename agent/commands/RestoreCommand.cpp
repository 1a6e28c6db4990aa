#include "agent/commands/RestoreCommand.h"
#include "agent/jobs/ExitStatus.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/commands/BackupCommand.h"
#include "agent/jobs/InterruptWatch.h"
#include "agent/jobs/RestoreContext.h"
#include "agent/jobs/RestoreJob.h"
#include "agent/jobs/RestoreSource.h"
#include "cli/DisplayText.h"

namespace agent {

using nlohmann::json;

namespace {

// The restored instance and its volumes: for people on stdout, or the --json object.
int ReportRestored(const RestoreCtx& ctx, long long jobId, CCommandReport& report) {
  const string instanceId = ctx.createdVmGuid.empty() ? ctx.vmInfo.guid : ctx.createdVmGuid;
  const string shape = ctx.vmInfo.vmSize.empty() ? ctx.vmSize : ctx.vmInfo.vmSize;
  json volumes = json::array();
  for (const auto& disk : ctx.disks)
    if (disk.selectedForRestore == 1)
      volumes.push_back(
          {{"id", disk.createdVolumeId},
           // A classic volume's id is its target; its name is the display name.
           {"name", disk.targetVolume.empty() || disk.targetVolume == disk.createdVolumeId ? disk.displayName
                                                                                           : disk.targetVolume},
           {"boot", disk.isBootDisk}});
  if (report.Json())
    return report.Succeeded({{"command", "restore"},
                             {"instance_id", instanceId},
                             {"name", ctx.vmName},
                             {"shape", shape},
                             {"job_id", jobId},
                             {"volumes", volumes}});
  std::printf("Restored [%s] as [%s]: instance %s, shape %s\n", cli::EscapeForDisplay(ctx.originalVmName).c_str(),
              cli::EscapeForDisplay(ctx.vmName).c_str(), cli::EscapeForDisplay(instanceId).c_str(),
              cli::EscapeForDisplay(shape).c_str());
  for (const auto& volume : volumes)
    std::printf("  volume %s  %s\n", cli::EscapeForDisplay(volume["id"].get<string>()).c_str(),
                cli::EscapeForDisplay(volume["name"].get<string>()).c_str());
  return kExitDone;
}

}  // namespace

int RunRestoreCommand(const SAgentSandbox& sandbox, const SRestoreOptions& options) {
  CCommandReport report("restore", options.json);
  if (options.backupDir.empty()) return report.UsageError("the backup folder must not be empty");
  if (options.name.empty()) return report.UsageError("the new instance's name (--as) must not be empty");
  for (const auto& subnet : options.subnets)
    if (subnet.empty()) return report.UsageError("a --subnet must not be empty");
  if (!options.conversion && (options.cpus != 0 || options.memoryMB != 0 || !options.guestOs.empty()))
    return report.UsageError("--cpus, --memory-mb and --guest-os describe the machine of a --conversion");

  SRestoreSource source;
  string error;
  if (!LoadRestoreSource(options.backupDir, source, error)) return report.Failed("backup", error);

  CRestoreJob job(sandbox);
  RestoreCtx ctx;
  if (!job.Start(source, options, ctx, error)) return report.Failed("start", error);
  if (job.Classic()) ListSavedConfiguration(source, ctx);

  if (!options.json) {
    std::printf("Restoring [%s] as [%s] (job %lld)\n", cli::EscapeForDisplay(source.name).c_str(),
                cli::EscapeForDisplay(options.name).c_str(), job.JobId());
    std::fflush(stdout);
  }
  // InitRestoreVM made every data volume new and blank: the backup's zeros are already there. A boot
  // volume made from an image holds the image's bytes, which must be made zero.
  const DiskWriter writeWhole = [](const SStoredDisk& stored, const string& device, SDiskWriteResult& written,
                                   string& failure) {
    return WriteDiskFromBackup(stored.path, stored.size, device, stored.checksum, written, failure, &InterruptFlag(),
                               !stored.boot);
  };
  string cleanupFailure;
  if (!RunRestorePhases(
          job.Session(), ctx, [&](string& failure) { return WriteStoredDisks(source, ctx, writeWhole, failure); },
          error, nullptr, &cleanupFailure)) {
    if (!cleanupFailure.empty()) report.Left().registered.push_back(cleanupFailure);
    return report.Failed("", error);
  }
  return ReportRestored(ctx, job.JobId(), report);
}

}  // namespace agent
