#pragma once
// The mount of one backup job, unwound on every road out of the job: UnmountVM after a mount, and
// the agent's job clean-up (CleanupVM) when the mount or the unmount failed.
#include <string>

#include "agent/jobs/AgentSession.h"

namespace agent {

class CBackupMount {
 public:
  CBackupMount(CAgentSession& session, const MountCtx& ctx) : session_(session), ctx_(ctx) {}
  ~CBackupMount();
  CBackupMount(const CBackupMount&) = delete;
  CBackupMount& operator=(const CBackupMount&) = delete;

  // MountVM. On failure `failure` holds the plug-in's error with its cause.
  bool Mount(string& failure);
  // The host log marked before MountVM.
  const CStepLog& MountLog() const { return mountLog_; }
  // UnmountVM, once; on failure `failure` holds the error and the job is cleaned up.
  bool Unmount(string& failure);

 private:
  CAgentSession& session_;
  const MountCtx& ctx_;
  CStepLog mountLog_;
  bool attempted_ = false;
  bool mounted_ = false;
  bool finished_ = false;
};

}  // namespace agent
