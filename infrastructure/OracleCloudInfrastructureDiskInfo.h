#pragma once
// Bookkeeping between a backup's mount and the agent's disk open/close calls: one VM handle per
// connected instance, one disk handle per registered disk.
#include "host/EvDebug.h"
#include "host/TzCriticalSection.h"

class COracleCloudInfrastructureDiskInfo {
 public:
  COracleCloudInfrastructureDiskInfo();
  virtual ~COracleCloudInfrastructureDiskInfo();

 private:
  EvDebug evDebug;
  TzCriticalSection lock;
};
