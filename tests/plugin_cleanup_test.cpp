// The removal of what jobs left behind on the infrastructure flavour: the sweep of orphaned roots,
// the iSCSI sessions (hostile cleanup strings included), the procedure that empties an orphaned
// restore root, and the resources of pending creates; against the simulated cloud and the registry.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "MountTestUtil.h"
#include "PluginTestUtil.h"

using namespace mounttest;
using C = COracleCloudCleaner;
using OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;

namespace {

// The plug-in's mapper, counting the detach brackets it is asked for; it can refuse the pre-call.
class CCountingMapper : public CDiskMapper {
 public:
  bool PreDetatchDisk(const string& deviceName) override {
    ++preDetach;
    return !failPreDetach && CDiskMapper::PreDetatchDisk(deviceName);
  }
  bool PostDetatchDisk() override {
    ++postDetach;
    return CDiskMapper::PostDetatchDisk();
  }
  int preDetach = 0, postDetach = 0;
  bool failPreDetach = false;
};

class CCleanupPlugin : public InfraPlugin {
 public:
  using COracleCloudInfo::_CleanupAllVMs;
  using COracleCloudInfo::diskMapper;
  using COracleCloudInfrastructureInfo::CleanupIscsiSessions;
  // The per-root procedures run as they are; the roots they were called for are noted.
  bool _CleanupMountedVM(const string& instanceId) override {
    mountedRoots.push_back(instanceId);
    return COracleCloudInfo::_CleanupMountedVM(instanceId);
  }
  bool _CleanupRestoreVM(const string& restoreGuid) override {
    restoreRoots.push_back(restoreGuid);
    return COracleCloudInfrastructureInfo::_CleanupRestoreVM(restoreGuid);
  }
  std::vector<std::string> mountedRoots, restoreRoots;
};

class PluginCleanup : public CMountFixture {
 protected:
  void SetUp() override {
    CMountFixture::SetUp();
    UseSandboxTools();
    plugin = NewPlugin<CCleanupPlugin>();
    ASSERT_TRUE(plugin->InitProxyVMInfo());
    auto counting = std::make_unique<CCountingMapper>();
    mapper = counting.get();
    plugin->diskMapper = std::move(counting);
    ASSERT_TRUE(plugin->InitMapperAndCleaner());
  }
  void TearDown() override { plugin.reset(), CMountFixture::TearDown(); }

  // A root left by a job whose registry object is gone, with what `arrange` registered under it.
  void LeaveOrphan(VM_Cleaner_Mode mode, const std::string& rootName,
                   const std::function<void(COracleCloudCleaner&)>& arrange = {}) const {
    COracleCloudCleaner cleaner;
    ASSERT_TRUE(cleaner.Init(sandbox->ProxyInstanceId()));
    ASSERT_TRUE(cleaner.RegisterVM(mode, rootName));
    if (arrange) arrange(cleaner);
  }
  // A backup snapshot of a job that left `rootName` behind.
  std::string LeaveBackupOrphan(const std::string& rootName, int64_t age) const {
    const int64_t taken = kClockStart - age;
    const std::string snapshot = AddSnapshot(InstanceVolumes("sample-web").back(), BackupDescription(taken), taken,
                                             "_QD_BACKUP_7_1_" + std::to_string(taken));
    LeaveOrphan(VM_CLEANER_MODE_BACKUP, rootName, [&](COracleCloudCleaner& c) {
      EXPECT_TRUE(c.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, rootName, snapshot));
    });
    return snapshot;
  }
  std::string RegistryPath(VM_Cleaner_Mode mode, const std::string& rootName) const {
    std::string path;
    EXPECT_TRUE(plugin->cleaner.GetRegisteredVM(mode, rootName, path)) << rootName;
    return path;
  }
  std::string IscsiadmLog() const { return ReadTestFile(sandbox->Dir() + "/cloud/iscsi/iscsiadm.log"); }

  std::unique_ptr<CCleanupPlugin> plugin;
  CCountingMapper* mapper = nullptr;
};

}  // namespace

TEST_F(PluginCleanup, SweepWithoutOrphansOfItsModeCleansNothing) {
  // Nothing was left by anyone: no sweep is due, none is recorded.
  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_EQ(plugin->cleaner.LastSweepTime(), 0);
  // Only a restore job left something: the backup object cleans nothing, yet the sweep is recorded.
  LeaveOrphan(VM_CLEANER_MODE_RESTORE, "restore-left-behind");
  clock.SleepMilliseconds(5000);
  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_TRUE(plugin->mountedRoots.empty() && plugin->restoreRoots.empty());
  EXPECT_EQ(plugin->cleaner.LastSweepTime(), clock.NowSeconds());
  EXPECT_TRUE(FindRoot(Registry(), "restore-left-behind"));
}

TEST_F(PluginCleanup, SweepOfThreeBackupOrphansCountsTheOneThatFailed) {
  std::map<std::string, std::string> snapshotOf;
  for (int i = 1; i <= 3; ++i) {
    const std::string root = "ocid1.instance.oc1.phx.dropped" + std::to_string(i);
    snapshotOf[root] = LeaveBackupOrphan(root, 600 * i);
  }
  AddFault("DeleteVolumeSnapshot", 2, sim::EFaultAction::Fail, "snapshot is busy");

  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_EQ(plugin->mountedRoots.size(), 3u);
  EXPECT_TRUE(plugin->restoreRoots.empty());
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [2] of [3] VMs"));
  EXPECT_EQ(plugin->cleaner.LastSweepTime(), clock.NowSeconds());
  // The root whose snapshot could not be deleted stays, with that snapshot; the others are gone.
  const auto roots = Registry();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_TRUE(roots[0].orphan);
  ASSERT_EQ(snapshotOf.count(roots[0].name), 1u) << roots[0].name;
  EXPECT_EQ(Children(roots[0], VM_CLEANER_ENTITY_SNAPSHOT), std::set<std::string>{snapshotOf[roots[0].name]});
  for (const auto& [root, snapshot] : snapshotOf)
    EXPECT_EQ(SnapshotIds().count(snapshot), root == roots[0].name ? 1u : 0u) << root;
}

TEST_F(PluginCleanup, RestoreObjectNeverSweepsBackupOrphans) {
  const std::string backupRoot = "ocid1.instance.oc1.phx.backupleft";
  const std::string snapshot = LeaveBackupOrphan(backupRoot, 600);
  ASSERT_TRUE(plugin->bridge->UploadToObjectStorage("backup-staging", "disk-0", "bytes"));
  LeaveOrphan(VM_CLEANER_MODE_RESTORE, "restore-left-behind", [](COracleCloudCleaner& c) {
    ASSERT_TRUE(c.RegisterVmdkObject(VM_CLEANER_MODE_RESTORE, "restore-left-behind", "backup-staging", "disk-0"));
  });
  plugin->cleanerMode = VM_CLEANER_MODE_RESTORE;  // as the registration of a restore sets it

  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_EQ(plugin->restoreRoots, std::vector<std::string>{"restore-left-behind"});
  EXPECT_TRUE(plugin->mountedRoots.empty());
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [1] of [1] VMs"));
  EXPECT_TRUE(plugintest::Ls(*sandbox, "objects").empty());
  const auto roots = Registry();
  EXPECT_FALSE(FindRoot(roots, "restore-left-behind"));
  const auto backup = FindRoot(roots, backupRoot);
  ASSERT_TRUE(backup);
  EXPECT_EQ(Children(*backup, VM_CLEANER_ENTITY_SNAPSHOT), std::set<std::string>{snapshot});
  EXPECT_EQ(SnapshotIds().count(snapshot), 1u);
}

// A mapper that refuses the pre-call: no session is touched, the clean-up reports failure.
TEST_F(PluginCleanup, IscsiCleanupTouchesNoSessionWhenTheMapperRefusesItsBracket) {
  const std::string root = InstanceId("sample-web"), session = "169.254.2.9+3260+iqn.2015-12.com.example:kept";
  ASSERT_TRUE(plugin->cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, root));
  ASSERT_TRUE(plugin->cleaner.RegisterIscsiSession(VM_CLEANER_MODE_BACKUP, root, session));
  mapper->failPreDetach = true;
  EXPECT_FALSE(plugin->CleanupIscsiSessions(RegistryPath(VM_CLEANER_MODE_BACKUP, root)));
  EXPECT_EQ(mapper->postDetach, 0);
  EXPECT_EQ(RegisteredChildren(root, VM_CLEANER_ENTITY_ISCSI_SESSION), std::set<std::string>{session});
  EXPECT_EQ(IscsiadmLog(), "");
}

TEST_F(PluginCleanup, HostileCleanupStringsRunNoCommandAndAreUnregisteredAnyway) {
  const std::string root = InstanceId("sample-web");
  ASSERT_TRUE(plugin->cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, root));
  const std::string canary = sandbox->Dir() + "/canary";
  const std::vector<std::string> hostile = {
      "10.0.0.5+3260+iqn.2015-12.com.x;touch " + canary,
      "10.0.0.5+3260+iqn.2015-12.com.x:$(touch " + canary + ")",
      "10.0.0.5+3260 && touch " + canary + "+iqn.2015-12.com.x",
      "10.0.0.5;touch " + canary + "+3260+iqn.2015-12.com.x",
      "-o delete+3260+iqn.2015-12.com.x",
  };
  // Unparsable; and well formed but unknown to the proxy, whose logout finds nothing, which is done.
  const std::string stale = "169.254.2.9+3260+iqn.2015-12.com.example:stale";
  std::vector<std::string> all = hostile;
  all.insert(all.end(), {"10.0.0.5+3260", stale});
  for (const auto& session : all)
    ASSERT_TRUE(plugin->cleaner.RegisterIscsiSession(VM_CLEANER_MODE_BACKUP, root, session));

  EXPECT_TRUE(plugin->CleanupIscsiSessions(RegistryPath(VM_CLEANER_MODE_BACKUP, root)));
  EXPECT_FALSE(std::filesystem::exists(canary));
  for (const auto& session : all)
    EXPECT_EQ(plugintest::LoggedError("Error while disconnecting the iSCSI session:[" + session + "]"),
              session != stale)
        << session;
  EXPECT_EQ(EvLogSink::Count("Refusing to run iscsiadm: "), hostile.size());
  // Only the well-formed string reached iscsiadm.
  EXPECT_EQ(IscsiadmLog(),
            "-m node -T iqn.2015-12.com.example:stale -p 169.254.2.9:3260 -u\n"
            "-m node -o delete -T iqn.2015-12.com.example:stale -p 169.254.2.9:3260\n");
  // Entries that name no session iscsiadm could log out go; the stale one's logout found nothing, which is done.
  EXPECT_TRUE(RegisteredChildren(root, VM_CLEANER_ENTITY_ISCSI_SESSION).empty());
  EXPECT_EQ(std::make_pair(mapper->preDetach, mapper->postDetach), std::make_pair(1, 1));
}

TEST_F(PluginCleanup, OrphanedRestoreRootIsEmptiedAroundAnInstanceThatCannotBeDeleted) {
  auto& bridge = *plugin->bridge;
  VMInfoStructs::SVMInfo restored;
  restored.name = "restored-instance";
  ASSERT_TRUE(bridge.DeployVM(restored, InstanceId("sample-web"), 0)) << bridge.GetLastError();
  const std::vector<std::string> objects = {"image-source", "disk-0", "disk-1"};
  for (const auto& object : objects) ASSERT_TRUE(bridge.UploadToObjectStorage("image-import", object, "bytes"));
  std::string stuck, image;  // the first cannot be deleted
  ASSERT_TRUE(
      bridge.CreateImage("image-import", "image-source", "stuck-image", "NATIVE", restored.compartmentId, stuck));
  ASSERT_TRUE(
      bridge.CreateImage("image-import", "image-source", "restore-image", "NATIVE", restored.compartmentId, image));
  const std::string root = "restore-guid-1";
  LeaveOrphan(VM_CLEANER_MODE_RESTORE, root, [&](COracleCloudCleaner& c) {
    ASSERT_TRUE(c.RegisterCreatedVM(VM_CLEANER_MODE_RESTORE, root, restored.guid));
    ASSERT_TRUE(c.RegisterImage(VM_CLEANER_MODE_RESTORE, root, stuck) &&
                c.RegisterImage(VM_CLEANER_MODE_RESTORE, root, image));
    for (const auto& object : objects)
      ASSERT_TRUE(c.RegisterVmdkObject(VM_CLEANER_MODE_RESTORE, root, "image-import", object));
    // A key without the separator, as no current writer makes it.
    std::string handle;
    ASSERT_TRUE(c.LookupEntity(VM_CLEANER_MODE_RESTORE, VM_CLEANER_ENTITY_VM, root, handle));
    ASSERT_TRUE(c.RegisterEntity(VM_CLEANER_MODE_RESTORE, VM_CLEANER_ENTITY_VMDK_OBJECT, "no-separator", handle));
  });
  AddFault("DeleteVM", 0, sim::EFaultAction::Fail, "instance is protected");
  AddFault("DeleteStorageObject", 2, sim::EFaultAction::Fail, "object is locked");
  AddFault("DeleteImage", 1, sim::EFaultAction::Fail, "image is in use");
  plugin->cleanerMode = VM_CLEANER_MODE_RESTORE;

  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_EQ(plugin->restoreRoots, std::vector<std::string>{root});
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [1] of [1] VMs"));
  // The instance and the stuck image stay; the other image and objects went in the same pass.
  EXPECT_EQ(plugintest::InstanceState(*sandbox, restored.guid), "RUNNING");
  EXPECT_EQ(Rows("SELECT id FROM images WHERE id IN (?, ?)", stuck, image).size(), 1u);
  EXPECT_EQ(plugintest::Column(plugintest::Ls(*sandbox, "objects"), "name"), std::set<std::string>{"disk-0"});
  // What could not go stays registered, the unparsable key too.
  const auto left = FindRoot(Registry(), root);
  ASSERT_TRUE(left);
  EXPECT_EQ(Children(*left, VM_CLEANER_ENTITY_VM), std::set<std::string>{restored.guid});
  EXPECT_EQ(Children(*left, VM_CLEANER_ENTITY_IMAGE), std::set<std::string>{stuck});
  EXPECT_EQ(Children(*left, VM_CLEANER_ENTITY_VMDK_OBJECT),
            (std::set<std::string>{"image-import+disk-0", "no-separator"}));
  // The root itself was unregistered: once its last entries go, nothing of it is left.
  const std::string path = RegistryPath(VM_CLEANER_MODE_RESTORE, root);
  for (const auto& key : {"no-separator", "image-import+disk-0"})
    ASSERT_TRUE(plugin->cleaner.UnRegisterVmdkObject(path, key));
  ASSERT_TRUE(plugin->cleaner.UnRegisterCreatedVM(path, restored.guid) && plugin->cleaner.UnRegisterImage(path, stuck));
  EXPECT_TRUE(Registry().empty());
}

// What a dead job's create left is what its own request made: a volume of the same name that another
// request made (before or after it, whatever the clocks say) stays; so does whatever a record of an
// earlier version, without a token, names under a name other jobs use too.
TEST_F(PluginCleanup, APendingCreateTakesOnlyWhatItsOwnRequestMade) {
  const std::string root = "ocid1.instance.oc1.phx.killedrestore";
  std::map<std::string, std::string> ids;
  VMInfoStructs::SDisk volume;
  volume.displayName = "restored-a";
  volume.size = 50ull << 30;
  volume.availabilityDomain = Text("SELECT ad FROM instances WHERE name = 'sample-web'");
  for (const char* token : {"other-request", "own-request", "", "own-request-2"}) {
    COracleCloudSDKCppBridge::SetThreadCreateToken(token);
    ASSERT_TRUE(
        plugin->bridge->CreateVolume(volume, Text("SELECT compartment_id FROM instances WHERE name = 'sample-web'")));
    ids[token] = volume.guid;
  }
  COracleCloudSDKCppBridge::SetThreadCreateToken("");
  LeaveOrphan(VM_CLEANER_MODE_BACKUP, root, [&](COracleCloudCleaner& c) {
    for (const char* token : {"own-request", "own-request-2"})
      ASSERT_TRUE(c.RegisterPendingCreate(VM_CLEANER_MODE_BACKUP, root,
                                          C::FormTokenPendingCreateKey(VM_CLEANER_ENTITY_DISK, token, "restored-a")));
    ASSERT_TRUE(c.RegisterPendingCreate(
        VM_CLEANER_MODE_BACKUP, root, C::FormPendingCreateKey(VM_CLEANER_ENTITY_DISK, "restored-a", HostClock::Now())));
  });
  AddFault("DeleteVolume", 1, sim::EFaultAction::Fail, "volume is busy");
  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_TRUE(FindRoot(Registry(), root)) << "a create whose resource could not be deleted stays recorded";
  EXPECT_TRUE(plugin->_CleanupAllVMs());
  for (const auto& [token, id] : ids)
    EXPECT_EQ(Text("SELECT COUNT(*) FROM volumes WHERE id = ?", id), token.rfind("own-request", 0) == 0 ? "0" : "1")
        << token;
  EXPECT_TRUE(Registry().empty());
}

// A job of an earlier version killed between a create and its registration, whose registered
// snapshot went too: the sweep finds the unregistered resources by the names, unique to their
// requests, recorded before them, and counts the
// snapshot that is gone as deleted. A lookup that fails keeps its record for the next sweep.
TEST_F(PluginCleanup, SweepRemovesResourcesOfPendingCreatesAndForgetsGoneSnapshots) {
  const std::string root = "ocid1.instance.oc1.phx.killedjob";
  const int64_t taken = kClockStart - 600;
  const std::string name = "_QD_BACKUP_7_1_" + std::to_string(taken);
  std::string snapshot;
  ASSERT_TRUE(plugin->bridge->CreateVolumeSnapshot(InstanceVolumes("sample-web").back(), BackupDescription(taken), name,
                                                   snapshot));
  std::string replica;
  ASSERT_TRUE(plugin->bridge->CreateVolumeFromSnapshot(snapshot, name, replica)) << plugin->bridge->GetLastError();
  const std::string gone = "ocid1.volumebackup.oc1.phx.gone";
  LeaveOrphan(VM_CLEANER_MODE_BACKUP, root, [&](COracleCloudCleaner& c) {
    ASSERT_TRUE(c.RegisterPendingCreate(VM_CLEANER_MODE_BACKUP, root,
                                        C::FormPendingCreateKey(VM_CLEANER_ENTITY_SNAPSHOT, name, taken)));
    ASSERT_TRUE(c.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, root, gone));
    ASSERT_TRUE(c.RegisterPendingCreate(VM_CLEANER_MODE_BACKUP, root,
                                        C::FormPendingCreateKey(VM_CLEANER_ENTITY_DISK, name, taken)));
  });
  AddFault("FindResourcesByName", 1, sim::EFaultAction::Fail, "search is down");

  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [0] of [1] VMs"));
  EXPECT_TRUE(Replicas().empty()) << "the replica's lookup worked";
  EXPECT_EQ(SnapshotIds().count(snapshot), 1u);
  const auto left = FindRoot(Registry(), root);
  ASSERT_TRUE(left);
  EXPECT_EQ(Children(*left, VM_CLEANER_ENTITY_PENDING_CREATE),
            std::set<std::string>{COracleCloudCleaner::FormPendingCreateKey(VM_CLEANER_ENTITY_SNAPSHOT, name, taken)});
  EXPECT_EQ(Children(*left, VM_CLEANER_ENTITY_SNAPSHOT), std::set<std::string>{gone});

  EXPECT_TRUE(plugin->_CleanupAllVMs());
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [1] of [1] VMs"));
  EXPECT_EQ(SnapshotIds().count(snapshot), 0u);
  ExpectNothingLeft();
}
