#include "agent/jobs/RestoreJob.h"

#include <cstdio>

#include "agent/diskio/ProgressHook.h"
#include "agent/jobs/Progress.h"
#include "agent/jobs/RestoreContext.h"
#include "cli/DisplayText.h"
#include "host/EvDebug.h"

namespace agent {

namespace {

// Unwinds a restore that did not finish: CleanupRestoreVM removes what the failed phases created.
class CRestoreCleanup {
 public:
  CRestoreCleanup(CAgentSession& session, const RestoreCtx& ctx, string* failed)
      : session_(session), ctx_(ctx), failed_(failed) {}
  ~CRestoreCleanup() {
    if (finished_) return;
    session_.MarkStep();
    if (session_.Object().CleanupRestoreVM(ctx_)) return;
    const string why = "CleanupRestoreVM failed: " + session_.DescribeLastError();
    std::fprintf(stderr, "backup-agent: %s\n", why.c_str());
    if (failed_) *failed_ = why;
  }
  CRestoreCleanup(const CRestoreCleanup&) = delete;
  CRestoreCleanup& operator=(const CRestoreCleanup&) = delete;
  void Finished() { finished_ = true; }

 private:
  CAgentSession& session_;
  const RestoreCtx& ctx_;
  string* failed_;
  bool finished_ = false;
};

}  // namespace

bool WriteStoredDisks(const SRestoreSource& source, const RestoreCtx& ctx, const DiskWriter& write, string& failure,
                      UINT64* total) {
  if (ctx.disks.size() < source.disks.size()) {
    failure = "writing the disks failed: no error code: the plug-in reports " + std::to_string(ctx.disks.size()) +
              " disks for the " + std::to_string(source.disks.size()) + " stored";
    return false;
  }
  for (size_t i = 0; i < source.disks.size(); ++i) {
    const VMInfoStructs::SDisk& disk = ctx.disks[i];
    const SStoredDisk& stored = source.disks[i];
    if (disk.selectedForRestore != 1) continue;
    const string shown = "writing disk [" + cli::EscapeForDisplay(stored.displayName) + "] failed: ";
    if (disk.name.empty()) {
      failure = shown + DescribeFailure(0, "the plug-in attached no device for it", CStepLog());
      return false;
    }
    SDiskWriteResult written;
    string error;
    CProgress progress("writing disk " + std::to_string(i + 1) + " of " + std::to_string(source.disks.size()) + " [" +
                           cli::EscapeForDisplay(stored.displayName) + "]",
                       stored.size);
    CProgressHook hook([&](UINT64 done) { progress.Advance(done); });
    if (!write(stored, disk.name, written, error)) {
      failure = shown + DescribeFailure(0, error, CStepLog());
      return false;
    }
    progress.Done();
    if (total) *total += written.bytesWritten;
    std::fprintf(stderr, "backup-agent: disk [%s] written to %s: %llu bytes written, %llu zeroed, verified\n",
                 cli::EscapeForDisplay(stored.displayName).c_str(), cli::EscapeForDisplay(disk.name).c_str(),
                 static_cast<unsigned long long>(written.bytesWritten),
                 static_cast<unsigned long long>(written.bytesZeroed));
  }
  return true;
}

bool RunRestorePhases(CAgentSession& session, const RestoreCtx& ctx, const std::function<bool(string&)>& writeDisks,
                      string& failure, const std::function<bool(string&)>& beforePost, string* cleanupFailure) {
  IVMInfo& plugin = session.Object();
  CRestoreCleanup cleanup(session, ctx, cleanupFailure);
  session.MarkStep();
  {
    CProgress waiting("InitRestoreVM: the volumes of [" + cli::EscapeForDisplay(ctx.vmName) + "]");
    if (!plugin.InitRestoreVM(ctx)) {
      failure = "InitRestoreVM failed: " + session.DescribeLastError();
      return false;
    }
    waiting.Done();
  }
  if (!writeDisks(failure)) return false;
  const struct {
    const char* step;
    int (IVMInfo::*phase)(const RestoreCtx&);
  } phases[] = {{"PreRestoreVM", &IVMInfo::PreRestoreVM},
                {"RestoreVM", &IVMInfo::RestoreVM},
                {"PostRestoreVM", &IVMInfo::PostRestoreVM}};
  for (const auto& p : phases) {
    if (p.phase == &IVMInfo::PostRestoreVM && beforePost && !beforePost(failure)) return false;
    session.MarkStep();
    CProgress waiting(string(p.step) + (p.phase == &IVMInfo::RestoreVM ? ": the launch of [" : ": [") +
                      cli::EscapeForDisplay(ctx.vmName) + "]");
    if (!(plugin.*p.phase)(ctx)) {
      failure = string(p.step) + " failed: " + session.DescribeLastError();
      return false;
    }
    waiting.Done();
  }
  cleanup.Finished();
  return true;
}

bool CRestoreJob::Start(const SRestoreSource& source, const SRestoreOptions& options, RestoreCtx& ctx, string& error) {
  if (source.flavour != session_.Sandbox().flavour) {
    error = "the backup was made in the " + cli::EscapeForDisplay(source.flavour) + " cloud; this sandbox is " +
            cli::EscapeForDisplay(session_.Sandbox().flavour);
    return false;
  }
  if (!session_.Open(SConnectOptions(), error)) return false;
  // Watched from here on, an interrupt unwinds the job and its folder instead of killing the agent.
  interrupts_ = std::make_unique<CInterruptWatch>(session_.Object());
  // The infrastructure flavour reads the saved configuration from its own folder, the classic one
  // from the results folder it is handed (and removes at the end).
  if (!folder_.Claim(options.jobId, options.name, error) ||
      !folder_.CopyConfiguration(source.files, Classic() ? folder_.ResultsDir() : folder_.ConfigDir(), error))
    return false;
  EvEvent::setJob(folder_.JobId(), options.name);
  ctx = MakeRestoreCtx(source, options, folder_.ConfigDir(), folder_.ResultsDir());
  return true;
}

}  // namespace agent
