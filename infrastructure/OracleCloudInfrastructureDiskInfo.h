#pragma once
// Bookkeeping between a backup's mount and the agent's disk open/close calls: one VM handle per
// connected instance, one disk handle per registered disk. The agent's VmdkHandle carries pointers
// to both. The lock guards the list of VM handles; each disk handle's state and record are touched
// only by the calls for that disk.
#include <list>
#include <memory>
#include <string>

#include "host/EvDebug.h"
#include "host/JobContexts.h"
#include "host/TzCriticalSection.h"

namespace OracleCloudInfrastructureDiskInfo {

enum OCIDiskState : uint32_t {
  OCI_DISK_STATE_NONE = 0,
  OCI_DISK_STATE_REGISTERED = 1,
  OCI_DISK_STATE_OPEN = 2,
  OCI_DISK_STATE_CLOSED = 3,
};

struct DiskHandle {
  OCIDiskState state = OCI_DISK_STATE_NONE;
  string volumeId;
  string diskId;
  bool isRestore = false;
  VMInfoStructs::SDisk disk;
};

struct VMHandle {
  string name;
  string guid;
  VMInfoStructs::SVMInfo vmInfo;
  std::list<std::unique_ptr<DiskHandle>> diskHandles;  // owned; the agent holds plain pointers
};

}  // namespace OracleCloudInfrastructureDiskInfo

class COracleCloudInfrastructureDiskInfo {
 public:
  using VMHandle = OracleCloudInfrastructureDiskInfo::VMHandle;
  using DiskHandle = OracleCloudInfrastructureDiskInfo::DiskHandle;
  using OCIDiskState = OracleCloudInfrastructureDiskInfo::OCIDiskState;

  COracleCloudInfrastructureDiskInfo();
  virtual ~COracleCloudInfrastructureDiskInfo();
  COracleCloudInfrastructureDiskInfo(const COracleCloudInfrastructureDiskInfo&) = delete;
  COracleCloudInfrastructureDiskInfo& operator=(const COracleCloudInfrastructureDiskInfo&) = delete;

  bool Connect(const VMInfoStructs::SVMInfo& vm);
  bool Disconnect(const VMInfoStructs::SVMInfo& vm);
  bool RegisterDisk(const string& guid, const VMInfoStructs::SDisk& disk, bool isRestore);
  bool GetVmdkHandle(const string& firstName, const string& guid, const string& diskName, VmdkHandle& handle);
  bool GetDiskInfo(const VmdkHandle& handle, VMInfoStructs::SDisk& disk, bool& isRestore);
  bool UpdateDiskInfo(const VmdkHandle& handle, const VMInfoStructs::SDisk& disk);
  OCIDiskState GetDiskState(const VmdkHandle& handle);
  bool UpdateDiskState(const VmdkHandle& handle, OCIDiskState state);
  bool GetVMInfo(const VmdkHandle& handle, VMInfoStructs::SVMInfo& vm);
  VMHandle* FindVMHandle(const string& guid) EXCLUDES(lock);
  DiskHandle* FindVMDiskHandle(VMHandle* vmHandle, const string& diskId);
  void DeleteVMHandle(VMHandle* vmHandle) EXCLUDES(lock);

 private:
  EvDebug evDebug;
  TzCriticalSection lock;
  std::list<std::unique_ptr<VMHandle>> vmHandles GUARDED_BY(lock);  // owned
};
