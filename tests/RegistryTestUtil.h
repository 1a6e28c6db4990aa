#pragma once
// Registry test helpers: a private registry home and short readers of the registry's state.
#include <sys/wait.h>

#include <vector>

#include "HostTestUtil.h"
#include "cleanup/OracleCloudCleaner.h"
#include "host/VMCleaner.h"

namespace regtest {

using Keys = std::vector<std::string>;
constexpr VM_Cleaner_Mode kBackup = VM_CLEANER_MODE_BACKUP;
constexpr VM_Cleaner_Mode kRestore = VM_CLEANER_MODE_RESTORE;

// TZ_BASE_HOME points at a fresh folder for the scope of the test.
struct RegistryHome {
  hosttest::TempDir dir;
  hosttest::ScopedEnv env{"TZ_BASE_HOME", dir.Path()};
  std::string RegistryDir() const { return dir / "registry"; }
};

using hosttest::ChildProcess;
using hosttest::Report;
inline bool KilledBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

inline Keys Names(const std::vector<CleanerEntity>& entities) {
  Keys names;
  for (const auto& e : entities) names.push_back(e.name);
  return names;
}

inline Keys OrphanNames(VMCleaner& cleaner, VM_Cleaner_Mode mode) {
  std::vector<CleanerEntity> list;
  EXPECT_TRUE(cleaner.GetOrphanedRootEntityListByType(mode, VM_CLEANER_ENTITY_VM, "", list));
  return Names(list);
}

inline std::string RootPath(COracleCloudCleaner& c, VM_Cleaner_Mode mode, const std::string& root) {
  std::string path;
  EXPECT_TRUE(c.GetRegisteredVM(mode, root, path)) << root;
  return path;
}

inline Keys Disks(COracleCloudCleaner& c, const std::string& path) {
  std::vector<VMInfoStructs::SDisk> disks;
  EXPECT_TRUE(c.GetRegisteredDisks(path, disks)) << path;
  Keys keys;
  for (const auto& d : disks) keys.push_back(d.volumeId);
  return keys;
}

}  // namespace regtest
