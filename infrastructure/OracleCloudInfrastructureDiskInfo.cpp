#include "infrastructure/OracleCloudInfrastructureDiskInfo.h"

COracleCloudInfrastructureDiskInfo::COracleCloudInfrastructureDiskInfo() : evDebug("vsagent") {}

COracleCloudInfrastructureDiskInfo::~COracleCloudInfrastructureDiskInfo() = default;
