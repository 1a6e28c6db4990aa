// Snapshots and replicas of a backup against the simulated cloud with a virtual clock: the limit
// and expiry of backup snapshots, partial runs, faulty resources, cancellation, the wait's timing,
// and the failure count of the replica step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "MountTestUtil.h"

using namespace mounttest;
using ::testing::ElementsAre;

namespace {

class PluginSnapshot : public CMountFixture {
 protected:
  // A plug-in object registered for a backup of `name`, its record fetched, as the mount has it
  // right before the snapshot step.
  std::unique_ptr<InfraPlugin> Prepared(MountCtx& ctx, const std::string& name) {
    auto plugin = NewPlugin();
    ctx = Ctx(name);
    EXPECT_TRUE(plugin->IsBackupFeasible(ctx));
    EXPECT_TRUE(plugin->RegisterCleanerForBackup(ctx));
    return plugin;
  }
  std::optional<SRegistryRoot> Root(const std::vector<SRegistryRoot>& roots, const MountCtx& ctx) {
    return FindRoot(roots, ctx.vmGuid);
  }
  void SetConfig(const std::string& key, const std::string& value) {
    TZPlatformInfo::SetValue("VirtualServer", key, value);
  }
};

}  // namespace

TEST_F(PluginSnapshot, SnapshotCountLimitIsPerVolumeAndAllowsExactlyTheMaximum) {
  struct Case {
    std::string what, maxCount;  // empty: the default (2)
    int onBoot, onData;          // backup snapshots already on each volume
    bool passes;
    std::string message;
  } cases[] = {
      {"default limit reached on one volume", "", 2, 0, true, ""},
      {"default limit exceeded", "", 3, 0, false, "There are [3] existing backup snapshots for VM [%s], whereas limit is [2]"},
      {"two volumes at the limit each", "", 2, 2, true, ""},
      {"configured limit reached", "4", 0, 4, true, ""},
      {"configured limit exceeded", "4", 1, 5, false, "There are [5] existing backup snapshots for VM [%s], whereas limit is [4]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewSandbox();
    if (!c.maxCount.empty()) SetConfig("nOracleCloudSnapshotMaxCount", c.maxCount);
    const auto volumes = InstanceVolumes("sample-web");
    const int64_t now = clock.NowSeconds();
    // Fresh ones (an hour old), so none expires.
    for (int i = 0; i < c.onBoot; ++i) AddSnapshot(volumes[0], BackupDescription(now - 3600), now - 3600);
    for (int i = 0; i < c.onData; ++i) AddSnapshot(volumes[1], BackupDescription(now - 3600), now - 3600);

    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    EXPECT_EQ(plugin->CheckSnapshotLimit(ctx), c.passes);
    if (c.passes) {
      EXPECT_EQ(plugin->GetLastVMError(), 0);
      EXPECT_FALSE(EvLogSink::Contains("existing backup snapshots"));
    } else {
      EXPECT_EQ(plugin->GetLastVMError(), 73);
      char message[256];
      snprintf(message, sizeof message, c.message.c_str(), ctx.vmGuid.c_str());
      EXPECT_TRUE(EvLogSink::Contains(message)) << message;
    }
    // The record was fetched afresh with the volumes' snapshots.
    EXPECT_EQ(ctx.vmInfo.disks.size(), 2u);
    EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 0);
  }
}

TEST_F(PluginSnapshot, MountAboveTheLimitFails73BeforeAnySnapshotRequest) {
  const auto volumes = InstanceVolumes("sample-web");
  const int64_t now = clock.NowSeconds();
  for (int i = 0; i < 3; ++i) AddSnapshot(volumes[1], BackupDescription(now - 60), now - 60);
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 73);
  EXPECT_EQ(Calls("CreateVolumeSnapshot"), 0);
  // The existing snapshots are not the job's: the unwinding leaves them, and the job's root goes.
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_FALSE(FindRoot(Registry(), ctx.vmGuid));
}

TEST_F(PluginSnapshot, ExpiredBackupSnapshotsAreDeletedBeforeTheCount) {
  struct Case {
    std::string what, hours;  // empty: the default (24)
    int64_t limitSeconds;
  } cases[] = {{"default expiry", "", 24 * 3600}, {"configured expiry", "1", 3600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewSandbox();
    if (!c.hours.empty()) SetConfig("nOracleCloudExpireSnapshotHours", c.hours);
    const auto volumes = InstanceVolumes("sample-web");
    const int64_t now = clock.NowSeconds();
    const std::string atLimit = AddSnapshot(volumes[0], BackupDescription(now - c.limitSeconds), now - c.limitSeconds);
    const std::string older =
        AddSnapshot(volumes[0], BackupDescription(now - c.limitSeconds - 1), now - c.limitSeconds - 1);
    const std::string muchOlder = AddSnapshot(volumes[1], BackupDescription(now - 10 * c.limitSeconds),
                                              now - 10 * c.limitSeconds, "very old");
    // Two fresh ones on the data volume: with the expired one they would be three, above the limit.
    AddSnapshot(volumes[1], BackupDescription(now), now);
    AddSnapshot(volumes[1], BackupDescription(now), now);

    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    EXPECT_TRUE(plugin->CheckSnapshotLimit(ctx));
    const auto ids = SnapshotIds();
    EXPECT_EQ(ids.count(atLimit), 1u) << "a snapshot exactly at the expiry age is kept";
    EXPECT_EQ(ids.count(older), 0u) << "one second older is deleted";
    EXPECT_EQ(ids.count(muchOlder), 0u);
    EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 2);
    EXPECT_TRUE(EvLogSink::Contains("Snapshot [very old] exists for [" + std::to_string(10 * c.limitSeconds) +
                                    "] secs, deleting it."));
    EXPECT_TRUE(EvLogSink::Contains("Successfuly deleted snapshot [very old]"));
    // The count saw the record as it is after the deletions.
    for (const auto& disk : ctx.vmInfo.disks)
      for (const auto& child : disk.childDisks) EXPECT_NE(child.id, muchOlder);
  }
}

TEST_F(PluginSnapshot, ReplicationAndOtherSnapshotsAreNeitherCountedNorExpired) {
  const auto volumes = InstanceVolumes("sample-web");
  const int64_t now = clock.NowSeconds();
  const int64_t old = now - 30 * 24 * 3600;
  std::set<std::string> foreign;
  for (int i = 0; i < 4; ++i) {
    foreign.insert(AddSnapshot(volumes[1], "Volume Snapshot created by Quillmark for Replication Job ID9 at 100", old));
    foreign.insert(AddSnapshot(volumes[0], "Nightly snapshot taken by the operator", old));
  }
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  EXPECT_TRUE(plugin->CheckSnapshotLimit(ctx));
  for (const auto& id : foreign) EXPECT_EQ(SnapshotIds().count(id), 1u) << id;
  EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 0);
  EXPECT_FALSE(EvLogSink::Contains("Found dangling snapshot"));
}

TEST_F(PluginSnapshot, PartialRunContinuesWithTheSnappedDisksOnly) {
  MountCtx web, db;
  auto plugin = Prepared(web, "sample-web");
  db = Ctx("sample-db");
  ASSERT_TRUE(plugin->InitBackupVMInfo(db));
  // Four disks: snapped, filtered, failing (the second request), snapped.
  std::vector<VMInfoStructs::SDisk> disks = {web.vmInfo.disks[0], web.vmInfo.disks[1], db.vmInfo.disks[0],
                                             db.vmInfo.disks[1]};
  disks[1].isFiltered = true;
  AddFault("CreateVolumeSnapshot", 2, sim::EFaultAction::Fail, "snapshot quota exceeded");

  EXPECT_TRUE(plugin->CreateVolumeSnapshots(web.vmGuid, disks));
  EXPECT_EQ(plugin->GetLastVMError(), 17);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].volumeId, web.vmInfo.disks[0].volumeId);
  EXPECT_EQ(disks[1].volumeId, db.vmInfo.disks[1].volumeId);
  EXPECT_EQ(Calls("CreateVolumeSnapshot"), 3);
  EXPECT_EQ(BackupSnapshots().size(), 2u);
  EXPECT_TRUE(Snapshots(web.vmInfo.disks[1].volumeId).empty());
  for (const auto& row : Snapshots(db.vmInfo.disks[0].volumeId))
    EXPECT_EQ(row.description.find(kBackupDescription), std::string::npos);
  const auto roots = Registry();
  ASSERT_TRUE(Root(roots, web));
  EXPECT_EQ(Children(*Root(roots, web), VM_CLEANER_ENTITY_SNAPSHOT),
            (std::set<std::string>{disks[0].snapshotId, disks[1].snapshotId}));
  EXPECT_TRUE(EvLogSink::Contains("Skipping creating a snapshot for filtered volume [" +
                                  web.vmInfo.disks[1].displayName + "]"));
  EXPECT_TRUE(EvLogSink::Contains("Failed to create a snapshot for volume [" + db.vmInfo.disks[0].displayName + "]"));
  EXPECT_TRUE(EvLogSink::Contains(
      "Only [2] volumes could be successfully snapped, continuing backup job for these volumes"));
}

TEST_F(PluginSnapshot, NothingToSnapFailsAndNothingSnappedFails) {
  struct Case {
    std::string what;
    bool filterAll, selectNone, failAll;
    int code;
  } cases[] = {
      {"every selected disk filtered", true, false, false, 65},
      {"no disk selected", false, true, false, 65},
      {"every request failing", false, false, true, 17},
  };
  MountCtx ctx;
  auto plugin = Prepared(ctx, "sample-web");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    plugin->SetLastVMError(VMERR_NONE);
    auto cloud = Cloud();
    sim::CSimFaults(*cloud).Clear("");
    if (c.failAll) AddFault("CreateVolumeSnapshot", 0, sim::EFaultAction::Fail, "snapshots are disabled");
    const int64_t requestsBefore = Calls("CreateVolumeSnapshot");
    std::vector<VMInfoStructs::SDisk> disks = ctx.vmInfo.disks;
    for (auto& disk : disks) {
      disk.isFiltered = c.filterAll;
      if (c.selectNone) disk.selectedForRestore = 0;
    }
    EXPECT_FALSE(plugin->CreateVolumeSnapshots(ctx.vmGuid, disks));
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_EQ(Calls("CreateVolumeSnapshot") - requestsBefore, c.failAll ? 2 : 0);
    EXPECT_EQ(EvLogSink::Contains("Failed to snap atleast one volume. Failing the job"), c.failAll);
    EXPECT_TRUE(BackupSnapshots().empty());
    EXPECT_EQ(disks.size(), ctx.vmInfo.disks.size());
  }
}

TEST_F(PluginSnapshot, MountGoesOnWithTheDisksWhoseSnapshotSucceeded) {
  AddFault("CreateVolumeSnapshot", 1, sim::EFaultAction::Fail, "volume is busy");
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const auto volumes = InstanceVolumes("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(plugin->GetLastVMError(), 17);
  ASSERT_EQ(ctx.vmInfo.disks.size(), 1u);
  EXPECT_EQ(ctx.vmInfo.disks[0].volumeId, volumes[1]);
  ASSERT_EQ(Replicas().size(), 1u);
  EXPECT_EQ(Replicas()[0].id, ctx.vmInfo.disks[0].createdVolumeId);
  const auto root = FindRoot(Registry(), ctx.vmGuid);
  ASSERT_TRUE(root);
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_SNAPSHOT), std::set<std::string>{ctx.vmInfo.disks[0].snapshotId});
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_DISK), std::set<std::string>{ctx.vmInfo.disks[0].createdVolumeId});
}

TEST_F(PluginSnapshot, FaultySnapshotSettlesTheWaitWith17AndItsReplicaFails) {
  MountCtx ctx;
  auto plugin = Prepared(ctx, "sample-web");
  AddFault("CreateVolumeSnapshot", 1, sim::EFaultAction::Faulty);
  std::vector<VMInfoStructs::SDisk> disks = ctx.vmInfo.disks;

  EXPECT_TRUE(plugin->CreateVolumeSnapshots(ctx.vmGuid, disks));
  EXPECT_EQ(plugin->GetLastVMError(), 17);
  ASSERT_EQ(disks.size(), 2u);
  const std::string faulty = disks[0].snapshotId;
  EXPECT_TRUE(EvLogSink::Contains("Resource with id [" + faulty + "] has reached error state"));
  EXPECT_TRUE(EvLogSink::Contains("Resource with id [" + disks[1].snapshotId + "] is usable"));
  // Both snapshots are the job's and stay registered for the clean-up.
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_SNAPSHOT),
            (std::set<std::string>{faulty, disks[1].snapshotId}));

  plugin->SetLastVMError(VMERR_NONE);
  EXPECT_TRUE(plugin->CreateVolumesFromSnapshots(ctx.vmGuid, disks));
  EXPECT_EQ(plugin->GetLastVMError(), 24);
  EXPECT_TRUE(disks[0].createdVolumeId.empty());
  EXPECT_FALSE(disks[1].createdVolumeId.empty());
  EXPECT_EQ(disks[1].name, disks[1].guid);
  ASSERT_EQ(Replicas().size(), 1u);
  EXPECT_EQ(Replicas()[0].sourceSnapshotId, disks[1].snapshotId);
  EXPECT_TRUE(EvLogSink::Contains("Cannot create replica volume from snapshot [" + faulty + "] for [" +
                                  disks[0].displayName + "] "));
  EXPECT_TRUE(EvLogSink::Contains("Created replica volume for [1 / 2] volumes"));
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_DISK),
            std::set<std::string>{disks[1].createdVolumeId});
}

TEST_F(PluginSnapshot, CancelledBeforeTheMountRequestsNoSnapshot) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  plugin->SetJobCancelled(true);
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 4000);
  EXPECT_TRUE(EvLogSink::Contains("Detected Quit flag"));
  EXPECT_EQ(Calls("CreateVolumeSnapshot"), 0);
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginSnapshot, CancelledDuringTheSnapshotWaitUnwindsTheSnapshots) {
  // Snapshots take five minutes: the cancellation arrives from another thread during the wait.
  SetProvisionSeconds("snapshot", 300);
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  int64_t madeAtCancel = -1;
  clock.OnSleep([&](size_t index) {
    if (index != 0) return;
    madeAtCancel = Calls("CreateVolumeSnapshot");
    std::thread agent([&] { plugin->SetJobCancelled(true); });
    agent.join();
  });
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  clock.OnSleep(nullptr);
  EXPECT_EQ(madeAtCancel, 2);
  EXPECT_EQ(plugin->GetLastVMError(), 4000);
  EXPECT_EQ(Calls("GetSnapshotStatus"), 0);
  EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), 0);
  EXPECT_TRUE(EvLogSink::Contains("Detected Quit flag"));
  EXPECT_TRUE(EvLogSink::Contains("Parallel volume snapshot creation has failed!"));
  // The unwinding deleted both snapshots and the registration.
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginSnapshot, CancelledDuringTheReplicaWaitUnwindsSnapshotsAndReplicas) {
  SetProvisionSeconds("volume", 300);
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  clock.OnSleep([&](size_t index) {
    if (index != 1) return;  // the first sleep of the replica wait
    std::thread agent([&] { plugin->SetJobCancelled(true); });
    agent.join();
  });
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), 4000);
  EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), 2);
  EXPECT_EQ(Calls("GetVolumeStatus"), 0);
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_TRUE(Replicas().empty()) << Replicas().size() << " replica(s) left in the cloud";
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginSnapshot, FirstStatusQueryComesOneIntervalAfterTheLastRequest) {
  struct Case {
    std::string interval;  // empty: the default (1 minute)
    uint64_t ms;
  } cases[] = {{"", 60000}, {"2", 120000}, {"5", 300000}};
  for (const auto& c : cases) {
    SCOPED_TRACE("interval " + c.interval);
    TZPlatformInfo::ClearValues();
    if (!c.interval.empty()) SetConfig("nOracleCloudOperationRetryInternvalTimeInMinutes", c.interval);
    MountCtx ctx;
    auto plugin = Prepared(ctx, "sample-db");
    std::vector<VMInfoStructs::SDisk> disks = ctx.vmInfo.disks;
    const size_t sleepsBefore = clock.Sleeps().size();
    const int64_t requestsBefore = Calls("CreateVolumeSnapshot"), queriesBefore = Calls("GetSnapshotStatus");
    int64_t requestsAtSleep = -1, queriesAtSleep = -1;
    clock.OnSleep([&](size_t index) {
      if (index != sleepsBefore) return;
      requestsAtSleep = Calls("CreateVolumeSnapshot") - requestsBefore;
      queriesAtSleep = Calls("GetSnapshotStatus") - queriesBefore;
    });
    EXPECT_TRUE(plugin->CreateVolumeSnapshots(ctx.vmGuid, disks));
    clock.OnSleep(nullptr);
    const auto sleeps = clock.Sleeps();
    ASSERT_EQ(sleeps.size(), sleepsBefore + 1);
    EXPECT_EQ(sleeps.back(), c.ms);
    EXPECT_EQ(requestsAtSleep, 2);
    EXPECT_EQ(queriesAtSleep, 0);
    EXPECT_EQ(Calls("GetSnapshotStatus") - queriesBefore, 2);
  }
}

TEST_F(PluginSnapshot, WaitEndsOnceProvisionedResourcesAreAvailable) {
  SetProvisionSeconds("snapshot", 300);
  SetProvisionSeconds("volume", 300);
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  // Five one-minute rounds for each kind: the round at 300 s finds them available and ends the wait.
  EXPECT_EQ(clock.TotalSleptMs(), 2u * 300000u);
  EXPECT_EQ(Calls("GetSnapshotStatus"), 2 * 5);
  EXPECT_EQ(Calls("GetVolumeStatus"), 2 * 5);
  for (const auto& row : BackupSnapshots()) EXPECT_EQ(row.state, "AVAILABLE");
  ASSERT_EQ(Replicas().size(), 2u);
  for (const auto& row : Replicas()) EXPECT_EQ(row.state, "AVAILABLE");
}

TEST_F(PluginSnapshot, EmptyWaitStillCostsOneInterval) {
  auto plugin = NewPlugin();
  std::vector<VMInfoStructs::SDisk> disks(2);  // no ids: nothing to wait for
  EXPECT_TRUE(plugin->WaitForResourceToBecomeUsable(disks, ORACLE_CLOUD_RESOURCE_VOLUME));
  EXPECT_THAT(clock.Sleeps(), ElementsAre(60000u));
  EXPECT_EQ(Calls("GetVolumeStatus"), 0);
}

TEST_F(PluginSnapshot, FailedStatusQueryEndsTheMountWithItsKindsCodeAndItIsUnwound) {
  struct Case {
    const char* op;
    int64_t nth;
    int code;
  } cases[] = {{"GetSnapshotStatus", 2, VMERR_SNAPSHOT_FAILED}, {"GetVolumeStatus", 1, VMERR_RESOURCE_CREATION_FAILED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.op);
    NewSandbox();
    AddFault(c.op, c.nth, sim::EFaultAction::Fail, "status service unavailable");
    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    const std::set<std::string> snapshotsBefore = SnapshotIds();
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    ASSERT_EQ(ctx.vmInfo.disks.size(), 2u);
    const std::string failed = c.code == VMERR_SNAPSHOT_FAILED ? ctx.vmInfo.disks[1].snapshotId
                                                               : ctx.vmInfo.disks[0].createdVolumeId;
    EXPECT_TRUE(EvLogSink::Contains("Operation check failed for [" + failed + "]"));
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "status service unavailable");
    EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), c.code == VMERR_SNAPSHOT_FAILED ? 0 : 2);
    EXPECT_EQ(SnapshotIds(), snapshotsBefore);
    EXPECT_TRUE(Replicas().empty());
    EXPECT_TRUE(Registry().empty());
  }
}

// An object of a flavour without a status query of its own: the wait fails at once instead of
// polling for ever.
TEST_F(PluginSnapshot, TheBaseStatusQueryFailsTheWait) {
  TestPlugin<testbase::PlainBase> plugin;
  for (auto kind : {ORACLE_CLOUD_RESOURCE_SNAPSHOT, ORACLE_CLOUD_RESOURCE_VOLUME}) {
    SCOPED_TRACE(kind);
    std::vector<VMInfoStructs::SDisk> disks(1);
    disks[0].snapshotId = disks[0].targetVolume = "resource-1";
    EXPECT_FALSE(plugin.WaitForResourceToBecomeUsable(disks, kind));
    EXPECT_EQ(plugin.GetLastVMError(),
              kind == ORACLE_CLOUD_RESOURCE_SNAPSHOT ? VMERR_SNAPSHOT_FAILED : VMERR_RESOURCE_CREATION_FAILED);
    EXPECT_EQ(plugin.GetLastVMErrorDetails(), "The state of [resource-1] cannot be queried for this cloud");
  }
  EXPECT_EQ(clock.Sleeps().size(), 2u);
}

// Each record fetch of the limit check failing fails the mount as an unknown instance, before any
// snapshot is requested.
TEST_F(PluginSnapshot, FailedLookupInTheLimitCheckFailsTheMountBeforeAnySnapshot) {
  for (int64_t fetch : {1, 2}) {
    SCOPED_TRACE(fetch);
    NewSandbox();
    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    // The mount fetches the proxy's record and the instance's before the limit check.
    AddFault("GetVMInfo", Calls("GetVMInfo") + 2 + fetch, sim::EFaultAction::Fail, "instance lookup failed");
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_NOT_FOUND);
    EXPECT_EQ(Calls("GetVMInfo"), 2 + fetch);
    EXPECT_EQ(Calls("CreateVolumeSnapshot"), 0);
    EXPECT_TRUE(Registry().empty());
  }
}

TEST_F(PluginSnapshot, ReplicaStepFailsWhenEverySelectedReplicaFailed) {
  MountCtx ctx;
  auto plugin = Prepared(ctx, "sample-web");
  std::vector<VMInfoStructs::SDisk> snapped = ctx.vmInfo.disks;
  ASSERT_TRUE(plugin->CreateVolumeSnapshots(ctx.vmGuid, snapped));
  ASSERT_EQ(snapped.size(), 2u);

  auto unselected = [](VMInfoStructs::SDisk disk) {
    disk.selectedForRestore = 0;
    return disk;
  };
  auto noSnapshot = [](VMInfoStructs::SDisk disk) {
    disk.snapshotId.clear();
    return disk;
  };
  auto unknownSnapshot = [](VMInfoStructs::SDisk disk) {
    disk.snapshotId = "ocid1.volumebackup.oc1.phx.gone";
    return disk;
  };
  struct Case {
    std::string what;
    std::vector<VMInfoStructs::SDisk> disks;
    bool result;
    int replicas;
    std::string line;
  } cases[] = {
      {"the only selected replica fails beside unselected records",
       {unselected(snapped[0]), noSnapshot(snapped[1]), unselected(snapped[1])}, false, 0,
       "All to volumes were skipped before its replica volume was created"},
      {"every selected replica fails (cloud refuses) beside an unselected record",
       {unknownSnapshot(snapped[0]), unselected(snapped[1]), unknownSnapshot(snapped[1])}, false, 0,
       "All to volumes were skipped before its replica volume was created"},
      {"one of two selected replicas fails", {noSnapshot(snapped[0]), snapped[1], unselected(snapped[0])}, true, 1,
       "Created replica volume for [1 / 3] volumes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    const size_t replicasBefore = Replicas().size();
    std::vector<VMInfoStructs::SDisk> disks = c.disks;
    EXPECT_EQ(plugin->CreateVolumesFromSnapshots(ctx.vmGuid, disks), c.result);
    EXPECT_TRUE(EvLogSink::Contains(c.line)) << c.line;
    EXPECT_EQ(Replicas().size() - replicasBefore, static_cast<size_t>(c.replicas));
    EXPECT_EQ(disks.size(), c.disks.size()) << "the list is not shortened";
  }
}
