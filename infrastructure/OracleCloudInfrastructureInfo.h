#pragma once
// The infrastructure cloud flavour (instance type 1102).
#include <memory>

#include "infrastructure/OracleCloudInfrastructureDiskInfo.h"
#include "plugin/OracleCloudInfo.h"

class COracleCloudInfrastructureInfo : public COracleCloudInfo {
 public:
  explicit COracleCloudInfrastructureInfo(VirtualServerInstanceType type);
  ~COracleCloudInfrastructureInfo() override;

 protected:
  void DetectLocalVMGuid() override;

  // Empty until the first backup connects an instance to it.
  std::unique_ptr<COracleCloudInfrastructureDiskInfo> diskInfo;
};
