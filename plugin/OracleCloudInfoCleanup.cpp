// The sweep of what earlier, crashed jobs left registered.
#include "plugin/OracleCloudInfo.h"

bool COracleCloudInfo::_CleanupAllVMs() {
  if (!cleaner.IsAllVMCleanupRequired()) return true;
  std::vector<CleanerEntity> orphans;
  if (!cleaner.GetOrphanedRootEntityListByType(cleanerMode, VM_CLEANER_ENTITY_VM, "", orphans)) return true;
  if (!orphans.empty()) EVDEBUGLVL(evDebug, 3, "Cleaning up [%d] VMs", static_cast<int>(orphans.size()));
  int cleaned = 0;
  for (const auto& orphan : orphans) {
    bool ok;
    if (cleanerMode == VM_CLEANER_MODE_BACKUP)
      ok = _CleanupMountedVM(orphan.name);
    else if (cleanerMode == VM_CLEANER_MODE_RESTORE)
      ok = _CleanupRestoreVM(orphan.name);
    else
      continue;
    if (ok) ++cleaned;
  }
  if (!orphans.empty())
    EVDEBUGLVL(evDebug, 3, "Cleaned up [%d] of [%d] VMs", cleaned, static_cast<int>(orphans.size()));
  cleaner.PostAllVMCleanup();
  return true;
}
