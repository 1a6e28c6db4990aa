#include "cleanup/PendingCreate.h"

#include <utility>

#include "host/HostClock.h"

CPendingCreate::CPendingCreate(COracleCloudCleaner& cleaner, VM_Cleaner_Mode mode, string rootName,
                               VM_Cleaner_EntityType kind, string name)
    : cleaner_(cleaner),
      mode_(mode),
      rootName_(std::move(rootName)),
      kind_(kind),
      name_(std::move(name)),
      since_(HostClock::Now()) {
  recorded_ = cleaner_.RegisterPendingCreate(mode_, rootName_, kind_, name_, since_);
}

bool CPendingCreate::Done() {
  if (!recorded_) return true;
  recorded_ = false;
  return cleaner_.UnRegisterPendingCreate(mode_, rootName_, kind_, name_, since_);
}
