#include "cleanup/PendingCreate.h"

#include <map>
#include <mutex>
#include <utility>

#include "host/HostClock.h"

namespace {
// Creates of one name under one root in the same second share one registry entry (the registry keeps
// one entity per key): it goes when the last of them is done.
std::mutex g_sharedMutex;
std::map<string, int> g_sharedRecords;

string SharedKey(const string& root, VM_Cleaner_Mode mode, VM_Cleaner_EntityType kind, const string& name,
                 INT64 since) {
  return std::to_string(static_cast<int>(mode)) + "/" + root + "/" +
         COracleCloudCleaner::FormPendingCreateKey(kind, name, since);
}
}  // namespace

CPendingCreate::CPendingCreate(COracleCloudCleaner& cleaner, VM_Cleaner_Mode mode, string rootName,
                               VM_Cleaner_EntityType kind, string name)
    : cleaner_(cleaner),
      mode_(mode),
      rootName_(std::move(rootName)),
      kind_(kind),
      name_(std::move(name)),
      since_(HostClock::Now()) {
  std::lock_guard<std::mutex> lock(g_sharedMutex);
  recorded_ = cleaner_.RegisterPendingCreate(mode_, rootName_, kind_, name_, since_);
  if (recorded_) ++g_sharedRecords[SharedKey(rootName_, mode_, kind_, name_, since_)];
}

bool CPendingCreate::Done() {
  if (!recorded_) return true;
  recorded_ = false;
  std::lock_guard<std::mutex> lock(g_sharedMutex);
  const string key = SharedKey(rootName_, mode_, kind_, name_, since_);
  if (--g_sharedRecords[key] > 0) return true;
  g_sharedRecords.erase(key);
  return cleaner_.UnRegisterPendingCreate(mode_, rootName_, kind_, name_, since_);
}
