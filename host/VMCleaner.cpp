#include "host/VMCleaner.h"

#include "host/CWqDirectory.h"
#include "host/EvDebug.h"
#include "host/HostEnvironment.h"

VMCleaner::VMCleaner() = default;

VMCleaner::~VMCleaner() { DeInit(); }

bool VMCleaner::Init(const string& localVmGuid, UINT64 reserved) {
  if (initialized_ && identity_ == localVmGuid) return true;
  DeInit();
  string directory = HostEnvironment::UnderHome("registry");
  if (!CWqDirectory::Create(directory)) {
    EvDebug log("registry");
    EVERROR(log, "Cannot create the registry folder [%s]", directory.c_str());
    return false;
  }
  directory_ = directory;
  identity_ = localVmGuid;
  initialized_ = true;
  return true;
}

bool VMCleaner::DeInit() {
  initialized_ = false;
  return true;
}
