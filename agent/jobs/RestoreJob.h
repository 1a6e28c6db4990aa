#pragma once
// The road every restore job of the agent takes through the plug-in (a restore and a replication's
// sync alike): InitRestoreVM, the disks written into the devices it attached, PreRestoreVM,
// RestoreVM, PostRestoreVM; CleanupRestoreVM after any failure.
#include <functional>
#include <memory>
#include <string>

#include "agent/diskio/DiskWrite.h"
#include "agent/jobs/AgentSession.h"
#include "agent/jobs/InterruptWatch.h"
#include "agent/jobs/JobOptions.h"
#include "agent/jobs/RestoreJobFolder.h"
#include "agent/jobs/RestoreSource.h"
#include "host/JobContexts.h"

namespace agent {

// Writes one stored disk into `device`.
using DiskWriter =
    std::function<bool(const SStoredDisk& stored, const string& device, SDiskWriteResult& written, string& error)>;

// Writes every selected stored disk through `write` into the device the plug-in attached for it
// (SDisk.name after InitRestoreVM) and prints a line per disk. The stored disks are the context's first
// records, in the manifest's order. The bytes written are added to `total` (when given).
bool WriteStoredDisks(const SRestoreSource& source, const RestoreCtx& ctx, const DiskWriter& write, string& failure,
                      UINT64* total = nullptr);

// Runs the phases with `writeDisks` right after a successful InitRestoreVM (nothing asks the plug-in
// in between) and `beforePost` (when given) right before PostRestoreVM; a failure of any of them is
// unwound by CleanupRestoreVM and named in `failure` ("<step> failed: ..."); a clean-up that fails
// too is named in `cleanupFailure` (when given), else it stays empty.
bool RunRestorePhases(CAgentSession& session, const RestoreCtx& ctx, const std::function<bool(string&)>& writeDisks,
                      string& failure, const std::function<bool(string&)>& beforePost = nullptr,
                      string* cleanupFailure = nullptr);

// What a restore job holds while it runs, released in reverse: the plug-in session, the watch that
// turns an interrupt into an unwinding of the job, and the job folder.
class CRestoreJob {
 public:
  explicit CRestoreJob(const SAgentSandbox& sandbox) : session_(sandbox) {}
  CRestoreJob(const CRestoreJob&) = delete;
  CRestoreJob& operator=(const CRestoreJob&) = delete;

  // Refuses a backup of the other flavour, opens the session, claims the job folder (job id and name
  // from `options`), copies the saved configuration into it and makes the context (MakeRestoreCtx).
  // On the classic flavour the caller lists the saved configuration after its disk records.
  bool Start(const SRestoreSource& source, const SRestoreOptions& options, RestoreCtx& ctx, string& error);

  CAgentSession& Session() { return session_; }
  long long JobId() const { return folder_.JobId(); }
  bool Classic() const { return session_.Sandbox().instanceType == VSINST_ORACLE_CLOUD_CLASSIC; }

 private:
  CAgentSession session_;
  std::unique_ptr<CInterruptWatch> interrupts_;
  CRestoreJobFolder folder_;
};

}  // namespace agent
