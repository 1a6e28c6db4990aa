// The backup mount of the infrastructure flavour against the simulated cloud and the real
// registry: what a mount leaves in the cloud and the registry, the bytes of the replicas, the
// feasibility checks, the saved configuration files, the unwinding and the stale-job sweep.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <stdexcept>

#include "MountTestUtil.h"
#include "RegistryTestUtil.h"
#include "host/FXString.h"
#include "host/SqliteDb.h"

using namespace mounttest;
using ::testing::ElementsAre;

namespace {

class PluginMount : public CMountFixture {
 protected:
  // A root with one backup snapshot, left in the registry by a job whose registry object is gone.
  // Returns the snapshot's id.
  std::string MakeLeftover(const std::string& rootName) {
    const std::string volume = InstanceVolumes("sample-db").back();
    const std::string snapshot = AddSnapshot(volume, BackupDescription(kClockStart - 600), kClockStart - 600,
                                             "_QD_BACKUP_7_1_" + std::to_string(kClockStart - 600));
    {
      COracleCloudCleaner cleaner;
      EXPECT_TRUE(cleaner.Init(sandbox->ProxyInstanceId()));
      EXPECT_TRUE(cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, rootName));
      EXPECT_TRUE(cleaner.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, rootName, snapshot));
    }
    const auto root = FindRoot(Registry(), rootName);
    EXPECT_TRUE(root && root->orphan) << "the leftover must be an orphan";
    return snapshot;
  }
};

// Rows of the cloud's operation counters at one moment.
struct SCounts {
  int64_t snapshotRequests, snapshotQueries, replicaRequests, replicaQueries;
};

}  // namespace

TEST_F(PluginMount, MountLeavesOneSnapshotAndOneReplicaPerVolumeRegisteredUnderTheInstance) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::vector<std::string> volumes = InstanceVolumes("sample-web");
  ASSERT_EQ(volumes.size(), 2u);
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  ASSERT_TRUE(Registry().empty());

  // The counters at each sleep of the waits: every request of a kind is issued before the first
  // status query, and the replicas only after every snapshot settled.
  std::vector<SCounts> atSleep;
  clock.OnSleep([&](size_t) {
    atSleep.push_back({Calls("CreateVolumeSnapshot"), Calls("GetSnapshotStatus"), Calls("CreateVolumeFromSnapshot"),
                       Calls("GetVolumeStatus")});
  });
  const int64_t start = clock.NowSeconds();
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), 0);

  EXPECT_THAT(clock.Sleeps(), ElementsAre(60000u, 60000u));
  ASSERT_EQ(atSleep.size(), 2u);
  EXPECT_EQ(atSleep[0].snapshotRequests, 2);
  EXPECT_EQ(atSleep[0].snapshotQueries, 0);
  EXPECT_EQ(atSleep[0].replicaRequests, 0);
  EXPECT_EQ(atSleep[1].snapshotQueries, 2);
  EXPECT_EQ(atSleep[1].replicaRequests, 2);
  EXPECT_EQ(atSleep[1].replicaQueries, 0);
  // As an outside observer counts them.
  EXPECT_EQ(sandbox->Calls("CreateVolumeSnapshot"), 2);
  EXPECT_EQ(sandbox->Calls("CreateVolumeFromSnapshot"), 2);

  // One new snapshot and one replica per volume, named and described for this job.
  ASSERT_EQ(BackupSnapshots().size(), 2u);
  const auto replicas = Replicas();
  ASSERT_EQ(replicas.size(), 2u);
  ASSERT_EQ(ctx.vmInfo.disks.size(), 2u);
  std::set<std::string> snapshotIds, replicaIds;
  for (size_t i = 0; i < ctx.vmInfo.disks.size(); ++i) {
    const auto& disk = ctx.vmInfo.disks[i];
    SCOPED_TRACE(disk.displayName);
    EXPECT_EQ(disk.volumeId, volumes[i]);
    const auto ofVolume = Snapshots(disk.volumeId);
    const SSnapshotRow* snapshot = nullptr;
    for (const auto& row : ofVolume)
      if (row.id == disk.snapshotId) snapshot = &row;
    ASSERT_NE(snapshot, nullptr) << "no snapshot " << disk.snapshotId << " of " << disk.volumeId;
    EXPECT_EQ(snapshot->name, ResourceName(start));
    EXPECT_EQ(snapshot->description, BackupDescription(start));
    EXPECT_EQ(snapshot->state, "AVAILABLE");

    EXPECT_FALSE(disk.targetVolume.empty());
    EXPECT_EQ(disk.createdVolumeId, disk.targetVolume);
    EXPECT_EQ(disk.name, disk.guid);
    bool found = false;
    for (const auto& replica : replicas) {
      if (replica.id != disk.targetVolume) continue;
      found = true;
      EXPECT_EQ(replica.sourceSnapshotId, disk.snapshotId);
      EXPECT_EQ(replica.name, ResourceName(start + 60));
      EXPECT_EQ(replica.description, "");
      EXPECT_EQ(replica.state, "AVAILABLE");
    }
    EXPECT_TRUE(found) << "replica " << disk.targetVolume << " is not in the cloud";
    snapshotIds.insert(disk.snapshotId);
    replicaIds.insert(disk.targetVolume);
  }
  for (const auto& id : snapshotsBefore) EXPECT_TRUE(SnapshotIds().count(id)) << "pre-existing snapshot lost: " << id;

  // Registered as they were made, under the instance's id, in the backup mode.
  const auto roots = Registry();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0].name, ctx.vmGuid);
  EXPECT_EQ(roots[0].mode, VM_CLEANER_MODE_BACKUP);
  EXPECT_FALSE(roots[0].orphan);
  EXPECT_EQ(Children(roots[0], VM_CLEANER_ENTITY_SNAPSHOT), snapshotIds);
  EXPECT_EQ(Children(roots[0], VM_CLEANER_ENTITY_DISK), replicaIds);

  EXPECT_TRUE(EvLogSink::Contains("Mounting [2] volumes concurrently"));
  EXPECT_TRUE(EvLogSink::Contains("All snapshots have completed"));
  EXPECT_TRUE(EvLogSink::Contains("All replica volume creations have completed"));
}

TEST_F(PluginMount, ReplicasHoldTheBytesOfTheMomentOfTheSnapshotRequest) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-db");
  const std::vector<std::string> volumes = InstanceVolumes("sample-db");
  ASSERT_EQ(volumes.size(), 2u);
  // Small volumes keep the checksums cheap.
  for (const auto& id : volumes) {
    Exec("UPDATE volumes SET size_bytes = ? WHERE id = ?", int64_t{8 << 20}, id);
    auto cloud = Cloud();
    std::filesystem::resize_file(sim::BytesFileOf(*cloud, id).path, 8 << 20);
  }
  // Different bytes in each volume, so that a replica of the wrong volume shows.
  WriteVolume(volumes[0], 1 << 20, "boot volume, before the backup");
  WriteVolume(volumes[1], 4096, "data volume, before the backup");
  std::map<std::string, std::string> before;
  for (const auto& id : volumes) before[id] = Checksum(id);
  ASSERT_NE(before[volumes[0]], before[volumes[1]]);

  // The instance keeps writing once the snapshots were requested (the first wait's sleep).
  clock.OnSleep([&](size_t index) {
    if (index != 0) return;
    WriteVolume(volumes[0], 1 << 20, "boot volume, AFTER the snapshot");
    WriteVolume(volumes[1], 8192, "data volume, AFTER the snapshot");
  });
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  clock.OnSleep(nullptr);

  ASSERT_EQ(ctx.vmInfo.disks.size(), 2u);
  for (const auto& disk : ctx.vmInfo.disks) {
    SCOPED_TRACE(disk.displayName);
    ASSERT_FALSE(disk.targetVolume.empty());
    const std::string now = Checksum(disk.volumeId);
    EXPECT_NE(now, before[disk.volumeId]) << "the source did not change; the test proves nothing";
    EXPECT_EQ(Checksum(disk.targetVolume), before[disk.volumeId]);
    EXPECT_EQ(Checksum(disk.snapshotId), before[disk.volumeId]);
  }
}

TEST_F(PluginMount, UnmountRemovesSnapshotsReplicasAndTheRegistration) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  ASSERT_TRUE(Registry().empty());
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  ASSERT_EQ(Replicas().size(), 2u);
  const std::set<std::string> files = FilesIn(mountPath);

  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_TRUE(Replicas().empty()) << Replicas().size() << " replica(s) left in the cloud";
  EXPECT_FALSE(FindRoot(Registry(), ctx.vmGuid));
  EXPECT_TRUE(Registry().empty());
  EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 2);
  // The configuration files belong to the backup: they stay.
  EXPECT_EQ(FilesIn(mountPath), files);
}

TEST_F(PluginMount, FailedSnapshotDeletionKeepsItRegisteredForTheNextCleanup) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  const std::string first = ctx.vmInfo.disks[0].snapshotId, second = ctx.vmInfo.disks[1].snapshotId;
  AddFault("DeleteVolumeSnapshot", 1, sim::EFaultAction::Fail, "snapshot is busy");

  EXPECT_EQ(plugin->UnmountVM(ctx), 0);
  // Every id is tried; only the one that could not be deleted stays, with the root.
  const auto roots = Registry();
  const auto root = FindRoot(roots, ctx.vmGuid);
  ASSERT_TRUE(root);
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_SNAPSHOT), std::set<std::string>{first});
  EXPECT_TRUE(Children(*root, VM_CLEANER_ENTITY_DISK).empty());
  EXPECT_TRUE(Replicas().empty());
  EXPECT_EQ(SnapshotIds().count(first), 1u);
  EXPECT_EQ(SnapshotIds().count(second), 0u);
  EXPECT_TRUE(EvLogSink::Contains("Failed to delete snapshot [" + first + "]"));

  // The next clean-up finishes the job.
  EXPECT_EQ(plugin->CleanupVM(ctx), 1);
  EXPECT_EQ(SnapshotIds().count(first), 0u);
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginMount, MountFailingAfterItsSnapshotsUnwindsThem) {
  // No replica can be made: the mount fails and its own unwinding deletes the snapshots.
  AddFault("CreateVolumeFromSnapshot", 0, sim::EFaultAction::Fail, "out of capacity");
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::set<std::string> snapshotsBefore = SnapshotIds();

  EXPECT_EQ(plugin->MountVM(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 24);
  EXPECT_EQ(Calls("CreateVolumeSnapshot"), 2);
  EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 2);
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_TRUE(Replicas().empty());
  EXPECT_TRUE(Registry().empty());
  EXPECT_TRUE(EvLogSink::Contains("Parallel volume creation from snapshots has failed!"));
}

TEST_F(PluginMount, LostConnectionFails48WithTheBridgeTextAndUnwindsNothing) {
  auto plugin = NewPlugin();
  AddFault("CheckConnection", 1, sim::EFaultAction::Fail, "link to the cloud is down");
  MountCtx ctx = Ctx("sample-web");
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 48);
  const std::string details = plugin->GetLastVMErrorDetails();
  EXPECT_THAT(details, ::testing::HasSubstr("link to the cloud is down"));
  EXPECT_TRUE(EvLogSink::Contains("Connection lost [" + details + "]"));
  // Not even the proxy record was fetched: no unwinding ran.
  EXPECT_EQ(Calls("GetVMInfo"), 0);
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginMount, InfeasibleBackupsCreateAndRegisterNothing) {
  const std::string proxyId = sandbox->ProxyInstanceId();
  ASSERT_FALSE(proxyId.empty());
  const std::string webId = InstanceId("sample-web"), dbId = InstanceId("sample-db");
  // sample-web loses every volume; sample-db moves to another availability domain than the proxy.
  Exec("UPDATE instances SET boot_volume_id = '' WHERE id = ?", webId);
  Exec("DELETE FROM attachments WHERE instance_id = ?", webId);
  Exec("UPDATE instances SET ad = 'Uocm:PHX-AD-2' WHERE id = ?", dbId);
  const std::string proxyAd = Text("SELECT ad FROM instances WHERE id = ?", proxyId);
  ASSERT_EQ(proxyAd, "Uocm:PHX-AD-1");

  struct Case {
    std::string what, name, guid;
    int code;
    std::string message;
  } cases[] = {
      {"the proxy itself", "backup-proxy", proxyId, 151,
       "Instance [backup-proxy][" + proxyId + "] cannot backup itself!!"},
      {"the proxy in upper case", "backup-proxy", FXString::ToUpper(proxyId), 151,
       "Instance [backup-proxy][" + FXString::ToUpper(proxyId) + "] cannot backup itself!!"},
      {"no volumes", "sample-web", webId, 172, "No attached volumes found for instance [sample-web]"},
      {"another availability domain", "sample-db", dbId, 178,
       "The instance and the proxy are in different availability domains. Instance availability domain: "
       "[Uocm:PHX-AD-2], Proxy availability domain: [Uocm:PHX-AD-1]."},
      {"unknown instance", "ghost", "ocid1.instance.oc1.phx.ghost", 1,
       "Failed to get VMInfo for Instance [ghost][ocid1.instance.oc1.phx.ghost]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    auto plugin = NewPlugin();
    MountCtx ctx;
    ctx.vmName = c.name;
    ctx.vmGuid = c.guid;
    ctx.mountPath = mountPath;
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_TRUE(EvLogSink::Contains(c.message));
    EXPECT_EQ(Calls("CreateVolumeSnapshot"), 0);
    EXPECT_TRUE(Registry().empty());
  }
}

TEST_F(PluginMount, InstanceConfigurationIsSavedAsGuidDotJson) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(FilesIn(mountPath), std::set<std::string>{ctx.vmGuid + ".json"});
  std::map<std::string, std::string> expected;
  ASSERT_TRUE(plugin->bridge->GetInstanceConfigurations(ctx.vmInfo.uri, expected));
  ASSERT_EQ(expected.count(".json"), 1u);
  EXPECT_EQ(ReadTestFile(mountPath + "/" + ctx.vmGuid + ".json"), expected[".json"]);
  EXPECT_TRUE(EvLogSink::Contains("Wrote instance config file [" + mountPath + "/" + ctx.vmGuid + ".json] successfully"));
}

TEST_F(PluginMount, ConfigurationDownloadFailureFails118AndUnwinds) {
  AddFault("GetInstanceConfigurations", 1, sim::EFaultAction::Fail, "configuration service unavailable");
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 118);
  EXPECT_TRUE(EvLogSink::Contains("Unable to download configurations for instance [sample-web]"));
  EXPECT_TRUE(FilesIn(mountPath).empty());
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_TRUE(Replicas().empty()) << Replicas().size() << " replica(s) left in the cloud";
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginMount, SaveConfigFilesWritesEachNonEmptyEntryInsideTheMountDirectoryOnly) {
  auto plugin = NewPlugin();
  const std::string jobs = sandbox->Dir() + "/jobs";
  struct Case {
    std::string what, guid;
    std::map<std::string, std::string> files;
    std::string folder;             // a folder made in the mount directory first
    std::set<std::string> written;  // names in the mount directory afterwards
    bool saved;                     // false: an entry was refused and the save failed
  } cases[] = {
      {"entries in suffix order, the empty one skipped", "inst-1",
       {{"_storage.json", "S"}, {"_instance.json", "I"}, {"_master.json", ""}}, "",
       {"inst-1_instance.json", "inst-1_storage.json"}, true},
      {"an empty map", "inst-2", {}, "", {}, true},
      {"dots inside a name stay inside", "inst..5", {{"..json", "D"}}, "", {"inst..5..json"}, true},
      // A folder named after the guid lets a path through it reach the parent of the mount directory.
      // The refused entry comes first in suffix order: the save stops there.
      {"a suffix climbing out", "inst-3",
       {{"/../../escape-suffix.json", "X"}, {"_ok.json", "OK"}, {"/../sibling.json", "Y"}}, "inst-3", {"inst-3"},
       false},
      {"a guid climbing out", "../escape-guid", {{".json", "X"}, {"_instance.json", "Y"}}, "", {}, false},
      {"a guid with a separator", "sub/dir", {{".json", "X"}}, "sub", {"sub"}, false},
      {"the parent itself", "..", {{"", "X"}}, "", {}, false},
      {"the directory itself", ".", {{"", "X"}}, "", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    std::filesystem::remove_all(jobs);
    std::filesystem::create_directories(mountPath);
    if (!c.folder.empty()) std::filesystem::create_directories(mountPath + "/" + c.folder);
    MountCtx ctx;
    ctx.mountPath = mountPath;
    ctx.vmInfo.name = "named-instance";
    ctx.vmInfo.guid = c.guid;
    EXPECT_EQ(plugin->SaveVMConfigFiles(ctx, c.files), c.saved);
    EXPECT_EQ(FilesIn(mountPath), c.written);
    for (const auto& name : c.written) {
      if (name == c.folder) continue;
      EXPECT_EQ(ReadTestFile(mountPath + "/" + name), c.files.at(name.substr(c.guid.size())));
    }
    if (!c.folder.empty()) {
      EXPECT_TRUE(FilesIn(mountPath + "/" + c.folder).empty());
    }
    // Nothing anywhere else in the sandbox's job folder.
    EXPECT_EQ(FilesIn(jobs), std::set<std::string>{"mount"});
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox->Dir())) {
      const std::string name = entry.path().filename();
      EXPECT_TRUE(name.find("escape") == std::string::npos && name != "sibling.json") << entry.path();
    }
    EXPECT_EQ(EvLogSink::Contains("Refusing instance config ["), !c.saved);
  }
  // The refusal names the entry it refused.
  EXPECT_TRUE(EvLogSink::Contains("Refusing instance config [" + mountPath + "/.]"));
}

TEST_F(PluginMount, SaveConfigFilesFailures) {
  auto plugin = NewPlugin();
  std::filesystem::create_directories(mountPath);
  MountCtx ctx;
  ctx.mountPath = mountPath;
  ctx.vmInfo.name = "named-instance";

  // No guid: nothing is written.
  EXPECT_FALSE(plugin->SaveVMConfigFiles(ctx, {{".json", "X"}}));
  EXPECT_TRUE(EvLogSink::Contains("Instance GUID is empty for [named-instance]"));
  EXPECT_TRUE(FilesIn(mountPath).empty());

  // The first entry cannot be written: the second is not attempted.
  ctx.vmInfo.guid = "inst";
  std::filesystem::create_directories(mountPath + "/inst_a.json");
  EXPECT_FALSE(plugin->SaveVMConfigFiles(ctx, {{"_a.json", "A"}, {"_b.json", "B"}}));
  EXPECT_TRUE(EvLogSink::Contains("Failed to write instance config [" + mountPath + "/inst_a.json]"));
  EXPECT_FALSE(std::filesystem::exists(mountPath + "/inst_b.json"));
}

TEST_F(PluginMount, KilledBackupIsSweptBeforeTheNextMountOfTheInstanceCountsSnapshots) {
  // A backup of sample-web dies once its snapshots and replicas exist and are registered.
  AddFault("GetVolumeStatus", 1, sim::EFaultAction::KillBefore);
  {
    const MountCtx arranged = Ctx("sample-web");
    const std::string url = sandbox->CloudUrl();
    regtest::ChildProcess child([&](int) {
      InfraPlugin plugin;
      if (plugin.Init(0) != 1 || plugin.Connect(url, "tester", "secret") != 1) return 1;
      MountCtx ctx = arranged;
      plugin.MountVM(ctx);
      return 2;
    });
    const int status = child.Wait();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  }
  const std::string webId = InstanceId("sample-web");
  const auto leftover = FindRoot(Registry(), webId);
  ASSERT_TRUE(leftover);
  EXPECT_TRUE(leftover->orphan);
  const std::set<std::string> leftSnapshots = Children(*leftover, VM_CLEANER_ENTITY_SNAPSHOT);
  const std::set<std::string> leftReplicas = Children(*leftover, VM_CLEANER_ENTITY_DISK);
  ASSERT_EQ(leftSnapshots.size(), 2u);
  ASSERT_EQ(leftReplicas.size(), 2u);
  ASSERT_EQ(Replicas().size(), 2u);

  // With no backup snapshot allowed, the next mount passes only if the sweep ran before the count.
  TZPlatformInfo::SetValue("VirtualServer", "nOracleCloudSnapshotMaxCount", "0");
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMError();
  EXPECT_TRUE(EvLogSink::Contains("Cleaning up [1] VMs"));
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [1] of [1] VMs"));
  for (const auto& id : leftSnapshots) EXPECT_EQ(SnapshotIds().count(id), 0u) << id;
  for (const auto& replica : Replicas()) EXPECT_EQ(leftReplicas.count(replica.id), 0u) << replica.id;
  // What is registered now is this job's alone.
  const auto root = FindRoot(Registry(), webId);
  ASSERT_TRUE(root);
  EXPECT_FALSE(root->orphan);
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_SNAPSHOT),
            (std::set<std::string>{ctx.vmInfo.disks[0].snapshotId, ctx.vmInfo.disks[1].snapshotId}));
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_DISK),
            (std::set<std::string>{ctx.vmInfo.disks[0].createdVolumeId, ctx.vmInfo.disks[1].createdVolumeId}));
  EXPECT_EQ(Replicas().size(), 2u);
}

TEST_F(PluginMount, LeftoverRootIsSweptByTheNextMountsRegistration) {
  const std::string leftoverRoot = "ocid1.instance.oc1.phx.droppedjob";
  const std::string snapshot = MakeLeftover(leftoverRoot);
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(SnapshotIds().count(snapshot), 0u);
  const auto roots = Registry();
  EXPECT_FALSE(FindRoot(roots, leftoverRoot));
  EXPECT_TRUE(FindRoot(roots, ctx.vmGuid));
  EXPECT_TRUE(EvLogSink::Contains("Cleaning up [1] VMs"));
  EXPECT_TRUE(EvLogSink::Contains("Cleaned up [1] of [1] VMs"));
}

TEST_F(PluginMount, OnlyTheFirstRegistrationOfAnObjectSweeps) {
  auto first = NewPlugin();
  MountCtx web = Ctx("sample-web");
  ASSERT_EQ(first->MountVM(web), 1) << first->GetLastVMErrorDetails();

  // A job of another registry object ends; its root is left behind.
  const std::string leftoverRoot = "ocid1.instance.oc1.phx.droppedobject";
  const std::string snapshot = MakeLeftover(leftoverRoot);
  EvLogSink::Clear();
  MountCtx db = Ctx("sample-db");
  ASSERT_EQ(first->MountVM(db), 1) << first->GetLastVMErrorDetails();
  EXPECT_EQ(SnapshotIds().count(snapshot), 1u);
  EXPECT_TRUE(FindRoot(Registry(), leftoverRoot));
  EXPECT_FALSE(EvLogSink::Contains("Cleaning up ["));

  // A new object sweeps it, and leaves the roots of the live object alone.
  auto second = NewPlugin();
  MountCtx other;
  other.vmName = "other";
  other.vmGuid = "ocid1.instance.oc1.phx.other";
  EXPECT_TRUE(second->RegisterCleanerForBackup(other));
  EXPECT_EQ(SnapshotIds().count(snapshot), 0u);
  const auto roots = Registry();
  EXPECT_FALSE(FindRoot(roots, leftoverRoot));
  EXPECT_TRUE(FindRoot(roots, web.vmGuid));
  EXPECT_TRUE(FindRoot(roots, db.vmGuid));
  EXPECT_EQ(SnapshotIds().count(web.vmInfo.disks[0].snapshotId), 1u);
}

TEST_F(PluginMount, ASecondJobOnAnInstanceInUseFailsAndLeavesTheFirstJobWhole) {
  CPathFirst path(sandbox->Dir() + "/bin");
  std::map<std::string, std::string> source;
  for (const auto& id : InstanceVolumes("sample-db")) source[id] = Checksum(id);
  auto first = NewPlugin();
  MountCtx a = Ctx("sample-db");
  ASSERT_EQ(first->MountVM(a), 1) << first->GetLastVMErrorDetails();
  VmdkHandle handle;
  ASSERT_EQ(first->OpenVmdk("sample-db", a.vmGuid, a.vmInfo.disks[0].guid, handle), 1) << first->GetLastVMError();
  auto entries = [this](const std::string& root) {
    std::set<std::pair<int, std::string>> out;
    const auto found = FindRoot(Registry(), root);
    EXPECT_TRUE(found && !found->orphan);
    if (found)
      for (const auto& child : found->children) out.insert({child.type, child.name});
    return out;
  };
  const auto registeredBefore = entries(a.vmGuid);
  const auto snapshotsBefore = SnapshotIds();
  const size_t replicasBefore = Replicas().size();

  // The second job fails, and neither its mount's unwinding nor the agent's clean-up touch the first's.
  auto second = NewPlugin();
  MountCtx b = Ctx("sample-db");
  EXPECT_EQ(second->MountVM(b), 0);
  EXPECT_EQ(second->GetLastVMError(), VMERR_VM_BACKED_UP_BY_ANOTHER_JOB);
  EXPECT_EQ(second->GetLastVMErrorDetails(), "Instance [" + a.vmGuid + "] is being backed up by another job");
  second->UnmountVM(b);
  EXPECT_EQ(second->CleanupVM(b), 1);
  EXPECT_EQ(entries(a.vmGuid), registeredBefore);
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_EQ(Replicas().size(), replicasBefore);

  // The first job reads the bytes of the moment of its snapshots and ends cleanly.
  VMInfoStructs::SDisk opened;
  ASSERT_EQ(first->GetVmdkInfo(handle, opened), 1);
  EXPECT_EQ(sim::Sha256OfSparseFile(opened.name, opened.size), source.at(a.vmInfo.disks[0].volumeId));
  EXPECT_EQ(first->CloseVmdk(handle), 1);
  EXPECT_EQ(Checksum(a.vmInfo.disks[1].createdVolumeId), source.at(a.vmInfo.disks[1].volumeId));
  EXPECT_EQ(first->UnmountVM(a), 1);
  std::string leaks;
  EXPECT_EQ(sandbox->CloudSim({"leaks"}, &leaks), 0) << leaks;
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginMount, ARegistryThatCannotRecordStopsTheMountBeforeTheCloudMakesAnything) {
  struct Case {
    const char* what;
    const char* refused;  // the registry rows whose insertion fails, as on a full disk; none: no registry
    int code;
  } cases[] = {
      {"a file that is no registry", nullptr, VMERR_REGISTRY_WRITE_FAILED},
      {"the job's root", "NEW.parent = 0", VMERR_REGISTRY_WRITE_FAILED},
      {"each coming create", "NEW.type = 8", VMERR_SNAPSHOT_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewSandbox();
    const std::string file = VMCleaner::DatabasePathFor(sandbox->Home() + "/registry", sandbox->ProxyInstanceId());
    if (c.refused == nullptr) {
      WriteTestFile(file, std::string(4096, '\x17'));
    } else {
      COracleCloudCleaner registry;
      ASSERT_TRUE(registry.Init(sandbox->ProxyInstanceId()));
      CSqliteDb db(file, false);
      db.Exec(std::string("CREATE TRIGGER refuse BEFORE INSERT ON entities WHEN ") + c.refused +
              " BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;");
    }
    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    if (c.code == VMERR_REGISTRY_WRITE_FAILED) {
      EXPECT_THAT(plugin->GetLastVMErrorDetails(), ::testing::HasSubstr("instance [" + ctx.vmGuid + "]"));
    }
    EXPECT_EQ(Calls("CreateVolumeSnapshot"), 0);
    EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), 0);
    std::string leaks;
    EXPECT_EQ(sandbox->CloudSim({"leaks"}, &leaks), 0) << leaks;
  }
}

TEST_F(PluginMount, AnExceptionInsideTheMountIsUnwoundLikeAFailure) {
  struct CThrowingPlugin : InfraPlugin {
    bool RegisterDisksWithDiskInfo(const MountCtx&) override { throw std::runtime_error("bookkeeping broke"); }
  };
  CThrowingPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  ASSERT_EQ(plugin.Connect(sandbox->CloudUrl(), "tester", "secret"), 1);
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  MountCtx ctx = Ctx("sample-web");
  EXPECT_EQ(plugin.MountVM(ctx), 0);
  EXPECT_TRUE(EvLogSink::Contains("Caught unhandled exception"));
  EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), 2) << "the exception came after the replicas";
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_TRUE(Replicas().empty());
  EXPECT_TRUE(Registry().empty());
}
