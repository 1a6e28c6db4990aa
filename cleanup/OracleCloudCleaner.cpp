#include "cleanup/OracleCloudCleaner.h"

bool COracleCloudCleaner::Init(const string& localVmGuid) { return VMCleaner::Init(localVmGuid, 0); }

bool COracleCloudCleaner::DeInit() { return VMCleaner::DeInit(); }
