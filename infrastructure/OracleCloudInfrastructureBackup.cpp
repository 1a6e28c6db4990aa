// Backup steps of the infrastructure flavour: feasibility, resource states, disk index names.
#include "infrastructure/OracleCloudInfrastructureInfo.h"

using namespace VMInfoStructs;

bool COracleCloudInfrastructureInfo::_IsBackupFeasibleForVM(const MountCtx& ctx) {
  string proxyDomain;
  {
    TzAutoLock guard(proxyLock);
    proxyDomain = proxyVMInfo.availabilityDomain;
  }
  if (ctx.vmInfo.availabilityDomain == proxyDomain) return true;
  EVERROR(evDebug,
          "The instance and the proxy are in different availability domains. Instance availability domain: [%s], "
          "Proxy availability domain: [%s].",
          ctx.vmInfo.availabilityDomain.c_str(), proxyDomain.c_str());
  SetLastVMError(VMERR_NOT_FEASIBLE);
  return false;
}

bool COracleCloudInfrastructureInfo::GetResourceStatus(const string& id, const OracleCloudResourceType& kind,
                                                       bool& usable, bool& failed) {
  return QueryResourceState(id, kind, {"AVAILABLE"}, "FAULTY", usable, failed);
}

bool COracleCloudInfrastructureInfo::FormDiskIndexName(const string& volumeName, int diskNumber, string& guid,
                                                       string& indexName) {
  if (volumeName.empty() || guid.empty()) return false;
  size_t dot = guid.rfind('.');
  indexName = volumeName + "_" + (dot == string::npos ? guid : guid.substr(dot + 1));
  EVDEBUG(evDebug, "Volume name [%s] , index [%d] => Index Name [%s]", volumeName.c_str(), diskNumber,
          indexName.c_str());
  return true;
}
