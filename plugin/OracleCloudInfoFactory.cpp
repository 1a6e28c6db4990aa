// The plug-in's one exported symbol: builds the object for the agent's instance type.
#include <new>

#include "classic/OracleCloudClassicInfo.h"
#include "host/EvDebug.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

extern "C" __attribute__((visibility("default"))) int CreateOracleCloudInfoObject(VirtualServerInstanceType type,
                                                                                  IVMInfo** out) {
  EvDebug log("vsagent");
  if (!out) return 0;
  *out = nullptr;
  try {
    log.DebugLvl("int CreateOracleCloudInfoObject(VirtualServerInstanceType, IVMInfo**)", 2,
                 "Creating OracleCloudInfo object");
    IVMInfo* object = nullptr;
    switch (type) {
      case VSINST_ORACLE_CLOUD_CLASSIC:
        object = new (std::nothrow) COracleCloudClassicInfo(type);
        break;
      case VSINST_ORACLE_CLOUD_INFRASTRUCTURE:
        object = new (std::nothrow) COracleCloudInfrastructureInfo(type);
        break;
      default:
        object = new (std::nothrow) COracleCloudInfo(type);
        break;
    }
    *out = object;
    return object ? 1 : 0;
  } catch (...) {
    log.Error("int CreateOracleCloudInfoObject(VirtualServerInstanceType, IVMInfo**)", "Caught unhandled exception");
    *out = nullptr;
    return 0;
  }
}
