#pragma once
// The plug-in classes as tests build them, each flavour with its instance type.
#include "classic/OracleCloudClassicInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

namespace testbase {
struct InfraBase : COracleCloudInfrastructureInfo {
  static constexpr VirtualServerInstanceType kType = VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  using COracleCloudInfrastructureInfo::COracleCloudInfrastructureInfo;
};
struct ClassicBase : COracleCloudClassicInfo {
  static constexpr VirtualServerInstanceType kType = VSINST_ORACLE_CLOUD_CLASSIC;
  using COracleCloudClassicInfo::COracleCloudClassicInfo;
};
struct PlainBase : COracleCloudInfo {
  static constexpr VirtualServerInstanceType kType = VSINST_UNKNOWN;
  using COracleCloudInfo::COracleCloudInfo;
};

// The proxy identity is process-wide: each test starts and ends without one.
inline void ForgetIdentity() {
  TzAutoLock guard(COracleCloudInfo::c_localVMGuidCS);
  COracleCloudInfo::c_localVMGuid.clear();
}
}  // namespace testbase
