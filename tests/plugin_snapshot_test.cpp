// Snapshots and replicas of a backup against the simulated cloud with a virtual clock: the limit and expiry of
// backup snapshots, partial runs, faulty resources, the wait's timing, and the failure count of the replica step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "MountTestUtil.h"

using namespace mounttest;
using ::testing::ElementsAre;
using VMInfoStructs::SDisk;

namespace {

class PluginSnapshot : public CMountFixture {
 protected:
  // A plug-in object registered for a backup of `name`, as the mount has it before the snapshot step.
  std::unique_ptr<InfraPlugin> Prepared(MountCtx& ctx, const std::string& name) {
    auto plugin = NewPlugin();
    ctx = Ctx(name);
    EXPECT_TRUE(plugin->IsBackupFeasible(ctx));
    EXPECT_TRUE(plugin->RegisterCleanerForBackup(ctx));
    return plugin;
  }
  static void SetConfig(const std::string& key, const std::string& value) {
    TZPlatformInfo::SetValue("VirtualServer", key, value);
  }
};

}  // namespace

TEST_F(PluginSnapshot, SnapshotCountLimitIsPerVolumeAndAllowsExactlyTheMaximum) {
  struct Case {
    std::string what, maxCount;  // empty: the default (2)
    int onBoot, onData;          // backup snapshots already on each volume
    int over;                    // the count reported over the limit; 0: passes
  } cases[] = {
      {"default limit reached on one volume", "", 2, 0, 0}, {"default limit exceeded", "", 3, 0, 3},
      {"two volumes at the limit each", "", 2, 2, 0},       {"configured limit reached", "4", 0, 4, 0},
      {"configured limit exceeded", "4", 1, 5, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewSandbox();
    if (!c.maxCount.empty()) SetConfig("nOracleCloudSnapshotMaxCount", c.maxCount);
    const auto volumes = InstanceVolumes("sample-web");
    const int64_t hourAgo = clock.NowSeconds() - 3600;  // none expires
    for (int i = 0; i < c.onBoot; ++i) AddSnapshot(volumes[0], BackupDescription(hourAgo), hourAgo);
    for (int i = 0; i < c.onData; ++i) AddSnapshot(volumes[1], BackupDescription(hourAgo), hourAgo);

    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    EXPECT_EQ(plugin->CheckSnapshotLimit(ctx), c.over == 0);
    EXPECT_EQ(plugin->GetLastVMError(), c.over ? VMERR_SNAPSHOT_LIMIT_EXCEEDED : 0);
    const std::string limit = c.maxCount.empty() ? "2" : c.maxCount;
    EXPECT_EQ(EvLogSink::Contains("There are [" + std::to_string(c.over) + "] existing backup snapshots for VM [" +
                                  ctx.vmGuid + "], whereas limit is [" + limit + "]"),
              c.over != 0);
    EXPECT_EQ(ctx.vmInfo.disks.size(), 2u);
    EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 0);
  }
}

TEST_F(PluginSnapshot, ExpiredBackupSnapshotsAreDeletedBeforeTheCount) {
  struct Case {
    std::string hours;  // empty: the default (24)
    int64_t limitSeconds;
  } cases[] = {{"", 24 * 3600}, {"1", 3600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limitSeconds);
    NewSandbox();
    if (!c.hours.empty()) SetConfig("nOracleCloudExpireSnapshotHours", c.hours);
    const auto volumes = InstanceVolumes("sample-web");
    const int64_t now = clock.NowSeconds(), limit = c.limitSeconds;
    const std::string atLimit = AddSnapshot(volumes[0], BackupDescription(now - limit), now - limit);
    const std::string older = AddSnapshot(volumes[0], BackupDescription(now - limit - 1), now - limit - 1);
    const std::string muchOlder =
        AddSnapshot(volumes[1], BackupDescription(now - 10 * limit), now - 10 * limit, "very old");
    // Two fresh ones on the data volume: with the expired one they would be three, above the limit.
    AddSnapshot(volumes[1], BackupDescription(now), now);
    AddSnapshot(volumes[1], BackupDescription(now), now);

    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    EXPECT_TRUE(plugin->CheckSnapshotLimit(ctx));
    // A snapshot exactly at the expiry age is kept; one second older is deleted.
    EXPECT_EQ(SnapshotIds().count(atLimit), 1u);
    EXPECT_EQ(SnapshotIds().count(older) + SnapshotIds().count(muchOlder), 0u);
    EXPECT_EQ(Calls("DeleteVolumeSnapshot"), 2);
    // The count saw the record as it is after the deletions.
    for (const auto& disk : ctx.vmInfo.disks)
      for (const auto& child : disk.childDisks) EXPECT_NE(child.id, muchOlder);
  }
}

TEST_F(PluginSnapshot, ReplicationAndOtherSnapshotsAreNeitherCountedNorExpired) {
  const auto volumes = InstanceVolumes("sample-web");
  const int64_t old = clock.NowSeconds() - 30 * 24 * 3600;
  for (int i = 0; i < 4; ++i) {
    AddSnapshot(volumes[1], "Volume Snapshot created by Quillmark for Replication Job ID9 at 100", old);
    AddSnapshot(volumes[0], "Nightly snapshot taken by the operator", old);
  }
  const auto before = SnapshotIds();
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  EXPECT_TRUE(plugin->CheckSnapshotLimit(ctx));
  EXPECT_EQ(SnapshotIds(), before);
}

TEST_F(PluginSnapshot, PartialRunContinuesWithTheSnappedDisksOnly) {
  MountCtx web, db;
  auto plugin = Prepared(web, "sample-web");
  db = Ctx("sample-db");
  ASSERT_TRUE(plugin->InitBackupVMInfo(db));
  // Four disks: snapped, filtered, failing (the second request), snapped.
  std::vector<SDisk> disks = {web.vmInfo.disks[0], web.vmInfo.disks[1], db.vmInfo.disks[0], db.vmInfo.disks[1]};
  disks[1].isFiltered = true;
  AddFault("CreateVolumeSnapshot", 2, sim::EFaultAction::Fail, "snapshot quota exceeded");

  EXPECT_TRUE(plugin->CreateVolumeSnapshots(web.vmGuid, disks));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_SNAPSHOT_FAILED);
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].volumeId, web.vmInfo.disks[0].volumeId);
  EXPECT_EQ(disks[1].volumeId, db.vmInfo.disks[1].volumeId);
  EXPECT_EQ(Calls("CreateVolumeSnapshot"), 3);
  EXPECT_EQ(SnapshotIds(true).size(), 2u);
  EXPECT_TRUE(Rows("SELECT id FROM snapshots WHERE volume_id = ?", web.vmInfo.disks[1].volumeId).empty());
  EXPECT_EQ(RegisteredChildren(web.vmGuid, VM_CLEANER_ENTITY_SNAPSHOT),
            (std::set<std::string>{disks[0].snapshotId, disks[1].snapshotId}));
}

TEST_F(PluginSnapshot, NothingToSnapFailsAndNothingSnappedFails) {
  struct Case {
    std::string what;
    bool filterAll, selectNone, failAll;
    int code;
  } cases[] = {
      {"every selected disk filtered", true, false, false, VMERR_ALL_DISKS_FILTERED},
      {"no disk selected", false, true, false, VMERR_ALL_DISKS_FILTERED},
      {"every request failing", false, false, true, VMERR_SNAPSHOT_FAILED},
  };
  MountCtx ctx;
  auto plugin = Prepared(ctx, "sample-web");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    plugin->SetLastVMError(VMERR_NONE);
    if (c.failAll) AddFault("CreateVolumeSnapshot", 0, sim::EFaultAction::Fail, "snapshots are disabled");
    const int64_t requestsBefore = Calls("CreateVolumeSnapshot");
    std::vector<SDisk> disks = ctx.vmInfo.disks;
    for (auto& disk : disks) {
      disk.isFiltered = c.filterAll;
      if (c.selectNone) disk.selectedForRestore = 0;
    }
    EXPECT_FALSE(plugin->CreateVolumeSnapshots(ctx.vmGuid, disks));
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_EQ(Calls("CreateVolumeSnapshot") - requestsBefore, c.failAll ? 2 : 0);
    EXPECT_TRUE(SnapshotIds(true).empty());
    EXPECT_EQ(disks.size(), ctx.vmInfo.disks.size());
  }
}

TEST_F(PluginSnapshot, FaultySnapshotSettlesTheWaitWith17AndItsReplicaFails) {
  MountCtx ctx;
  auto plugin = Prepared(ctx, "sample-web");
  AddFault("CreateVolumeSnapshot", 1, sim::EFaultAction::Faulty);
  std::vector<SDisk> disks = ctx.vmInfo.disks;

  EXPECT_TRUE(plugin->CreateVolumeSnapshots(ctx.vmGuid, disks));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_SNAPSHOT_FAILED);
  ASSERT_EQ(disks.size(), 2u);
  const std::string faulty = disks[0].snapshotId;
  // Both snapshots are the job's and stay registered for the clean-up.
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_SNAPSHOT),
            (std::set<std::string>{faulty, disks[1].snapshotId}));

  plugin->SetLastVMError(VMERR_NONE);
  EXPECT_TRUE(plugin->CreateVolumesFromSnapshots(ctx.vmGuid, disks));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_RESOURCE_CREATION_FAILED);
  EXPECT_TRUE(disks[0].createdVolumeId.empty());
  EXPECT_EQ(disks[1].name, disks[1].guid);
  ASSERT_EQ(Replicas().size(), 1u);
  EXPECT_EQ(Replicas()[0].sourceSnapshotId, disks[1].snapshotId);
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_DISK), std::set<std::string>{disks[1].createdVolumeId});
}

// Resources ready after five minutes are found ready in the fifth round of each wait at the default interval of a
// minute, in the third at two minutes; the first round comes one interval after the last request.
TEST_F(PluginSnapshot, WaitPollsAtTheConfiguredIntervalUntilTheResourcesAreAvailable) {
  const struct {
    std::string minutes;  // empty: the default
    uint64_t intervalMs;
    int rounds;
  } cases[] = {{"", 60000u, 5}, {"2", 120000u, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    NewSandbox();
    if (!c.minutes.empty()) SetConfig("nOracleCloudOperationRetryInternvalTimeInMinutes", c.minutes);
    SetProvisionSeconds("snapshot", 300);
    SetProvisionSeconds("volume", 300);
    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    std::vector<int64_t> queriesAtSleep, expected;
    clock.OnSleep([&](size_t) { queriesAtSleep.push_back(Calls("GetSnapshotStatus") + Calls("GetVolumeStatus")); });
    const size_t sleptBefore = clock.Sleeps().size();
    ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
    clock.OnSleep(nullptr);
    const std::vector<uint64_t> all = clock.Sleeps();
    const std::vector<uint64_t> sleeps(all.begin() + static_cast<long>(sleptBefore), all.end());
    EXPECT_EQ(sleeps, std::vector<uint64_t>(2 * c.rounds, c.intervalMs));
    for (int i = 0; i < 2 * c.rounds; ++i) expected.push_back(2 * i);
    EXPECT_EQ(queriesAtSleep, expected);
    EXPECT_EQ(Calls("GetSnapshotStatus"), 2 * c.rounds);
    EXPECT_EQ(Calls("GetVolumeStatus"), 2 * c.rounds);
    for (const auto& row : Replicas()) EXPECT_EQ(row.state, "AVAILABLE");
  }
}

TEST_F(PluginSnapshot, ReplicaStepFailsWhenEverySelectedReplicaFailed) {
  MountCtx ctx;
  auto plugin = Prepared(ctx, "sample-web");
  std::vector<SDisk> snapped = ctx.vmInfo.disks;
  ASSERT_TRUE(plugin->CreateVolumeSnapshots(ctx.vmGuid, snapped));
  ASSERT_EQ(snapped.size(), 2u);
  const auto with = [](SDisk disk, int selected, const std::string& snapshotId) {
    disk.selectedForRestore = selected;
    if (snapshotId != "keep") disk.snapshotId = snapshotId;
    return disk;
  };
  const std::string gone = "ocid1.volumebackup.oc1.phx.gone";
  struct Case {
    std::string what;
    std::vector<SDisk> disks;
    bool result;
    size_t replicas;
  } cases[] = {
      {"the only selected one has no snapshot",
       {with(snapped[0], 0, "keep"), with(snapped[1], 1, ""), with(snapped[1], 0, "keep")},
       false,
       0},
      {"the cloud refuses every selected one",
       {with(snapped[0], 1, gone), with(snapped[1], 0, "keep"), with(snapped[1], 1, gone)},
       false,
       0},
      {"one of two selected fails", {with(snapped[0], 1, ""), snapped[1], with(snapped[0], 0, "keep")}, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t replicasBefore = Replicas().size();
    std::vector<SDisk> disks = c.disks;
    EXPECT_EQ(plugin->CreateVolumesFromSnapshots(ctx.vmGuid, disks), c.result);
    EXPECT_EQ(Replicas().size() - replicasBefore, c.replicas);
    EXPECT_EQ(disks.size(), c.disks.size()) << "the list is not shortened";
  }
}
