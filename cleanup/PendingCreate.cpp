#include "cleanup/PendingCreate.h"

#include <utility>

#include "bridge/COracleCloudSDKCppBridge.h"
#include "host/FXFile.h"

using OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;

CPendingCreate::CPendingCreate(COracleCloudCleaner& cleaner, VM_Cleaner_Mode mode, string rootName,
                               VM_Cleaner_EntityType kind, const string& name)
    : cleaner_(cleaner), mode_(mode), rootName_(std::move(rootName)) {
  string token;
  if (!CreateGuid(token)) return;  // not recorded: the create is not requested
  key_ = COracleCloudCleaner::FormTokenPendingCreateKey(kind, token, name);
  recorded_ = cleaner_.RegisterPendingCreate(mode_, rootName_, key_);
  if (!recorded_) return;
  previousToken_ = COracleCloudSDKCppBridge::ThreadCreateToken();
  COracleCloudSDKCppBridge::SetThreadCreateToken(token);
  tokenSet_ = true;
}

CPendingCreate::~CPendingCreate() {
  if (tokenSet_) COracleCloudSDKCppBridge::SetThreadCreateToken(previousToken_);
}

bool CPendingCreate::Done() {
  if (!recorded_) return true;
  recorded_ = false;
  return cleaner_.UnRegisterPendingCreate(mode_, rootName_, key_);
}
