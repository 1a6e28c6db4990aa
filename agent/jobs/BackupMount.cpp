#include "agent/jobs/BackupMount.h"

namespace agent {

CBackupMount::~CBackupMount() {
  if (finished_ || !attempted_) return;
  string ignored;
  if (mounted_) {
    Unmount(ignored);
  } else {
    session_.Object().CleanupVM(ctx_);
  }
}

bool CBackupMount::Mount(string& failure) {
  attempted_ = true;
  session_.MarkStep();
  mountLog_ = CStepLog();
  mounted_ = session_.Object().MountVM(ctx_) != 0;
  if (!mounted_) failure = session_.DescribeLastError();
  return mounted_;
}

bool CBackupMount::Unmount(string& failure) {
  finished_ = true;
  session_.MarkStep();
  if (session_.Object().UnmountVM(ctx_)) return true;
  failure = session_.DescribeLastError();
  session_.Object().CleanupVM(ctx_);
  return false;
}

}  // namespace agent
