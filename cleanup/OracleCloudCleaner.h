#pragma once
// The plug-in's layer over the agent's registry of created entities: which entity type each kind
// of cloud resource gets and how its key is formed. Keeps no state and logs nothing; callers log.
#include <string>
#include <vector>

#include "host/VMCleaner.h"

class COracleCloudCleaner : public VMCleaner {
 public:
  COracleCloudCleaner() = default;
  ~COracleCloudCleaner() override = default;

  // Opens the registry of this proxy.
  bool Init(const string& localVmGuid);
  bool DeInit();
};
