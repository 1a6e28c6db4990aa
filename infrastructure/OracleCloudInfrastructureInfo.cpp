#include "infrastructure/OracleCloudInfrastructureInfo.h"

#include "host/TZVMDetect.h"

COracleCloudInfrastructureInfo::COracleCloudInfrastructureInfo(VirtualServerInstanceType type)
    : COracleCloudInfo(type) {}

COracleCloudInfrastructureInfo::~COracleCloudInfrastructureInfo() { diskInfo.reset(); }

void COracleCloudInfrastructureInfo::DetectLocalVMGuid() {
  TzAutoLock guard(c_localVMGuidCS);
  if (!c_localVMGuid.empty()) return;
  TZVMDetect probe;
  if (probe.DetectHypervisor() & TZVMDetect::HYPERVISOR_ORACLE_CLOUD) {
    EVDEBUG(evDebug, "Proxy is an OCI instance");
    probe.GetLocalVMUUID(c_localVMGuid);
    EVDEBUGLVL(evDebug, 3, "Local VM Guid: %s", c_localVMGuid.c_str());
  } else {
    EVDEBUG(evDebug, "Proxy is not an OCI instance");
  }
}
