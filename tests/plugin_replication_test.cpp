// Replication at the plug-in, the host's part (writing into the attached volumes, carrying the ids
// from one sync to the next) played by the test.
#include "MountTestUtil.h"
#include "bridge/sim/CloudSeeder.h"

using namespace mounttest;
using namespace VMInfoStructs;

namespace {

class PluginReplication : public CMountFixture {
 protected:
  void SetUp() override {
    CMountFixture::SetUp();
    UseSandboxTools();
    plugin = NewPlugin();
  }
  void TearDown() override { plugin.reset(), CMountFixture::TearDown(); }
  // The next sync of web-dr, carrying what `previous` recorded (nothing for the first).
  RestoreCtx SyncCtx(const RestoreCtx* previous = nullptr) {
    clock.SleepMilliseconds(2000);  // volume names carry the second
    RestoreCtx ctx = WebRestoreCtx("web-dr");
    ctx.restoreType = RESTORE_TYPE_REPLICATION, ctx.powerOnAfterRestore = false;
    if (!previous) return ctx;
    ctx.restoredVmGuid = previous->restoredVmGuid;
    for (size_t i = 0; i < ctx.disks.size(); ++i)
      ctx.disks[i].createdVolumeId = previous->disks[i].createdVolumeId,
      ctx.disks[i].snapshotId = previous->disks[i].snapshotId;
    return ctx;
  }
  // The four phases, `write` between Init and Pre; the clean-up after a failed one. The failed phase (1..4) or 0.
  int Sync(const RestoreCtx& ctx, const std::function<void(const RestoreCtx&)>& write = nullptr) {
    int phase = 1;
    if (plugin->InitRestoreVM(ctx)) {
      initError = plugin->GetLastVMError();
      if (write) write(ctx);
      phase = !plugin->PreRestoreVM(ctx) ? 2 : !plugin->RestoreVM(ctx) ? 3 : !plugin->PostRestoreVM(ctx) ? 4 : 0;
    }
    if (phase > 1) plugin->CleanupRestoreVM(ctx);
    return phase;
  }
  // Writes `text` into every selected disk.
  std::function<void(const RestoreCtx&)> Writes(const std::string& text) {
    return [this, text](const RestoreCtx& c) {
      for (const SDisk& disk : c.disks)
        if (disk.selectedForRestore == 1) WriteVolume(disk.createdVolumeId, 1 << 20, text);
    };
  }
  // The first sync (of the boot disk alone with `bootOnly`), with "first" written into its disks.
  RestoreCtx FirstSync(bool bootOnly = false) {
    RestoreCtx ctx = SyncCtx();
    ctx.disks[1].selectedForRestore = bootOnly ? 0 : 1;
    EXPECT_EQ(Sync(ctx, Writes("first")), 0) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(ctx.replicationType, REPLICATION_TYPE_FULL);
    return ctx;
  }
  // The one destination is stopped, its volumes hold what the host wrote, each with one usable
  // integrity snapshot, described as this job's, that the records carry; nothing else of a job is left.
  void ExpectDestination(const RestoreCtx& ctx, const std::vector<std::string>& checksums) {
    EXPECT_EQ(Rows("SELECT id, state FROM instances WHERE name = 'web-dr' AND state <> 'TERMINATED'"),
              (std::vector<std::vector<std::string>>{{ctx.restoredVmGuid, "STOPPED"}}));
    std::vector<std::string> sums;
    for (const SDisk& disk : ctx.disks) {
      if (disk.selectedForRestore != 1) continue;
      sums.push_back(Sum(disk.createdVolumeId));
      EXPECT_EQ(Rows("SELECT id FROM snapshots WHERE volume_id = ? AND name = '_QD_INTEGRITY_SNAPSHOT' AND "
                     "state = 'AVAILABLE' AND description = ? || created",
                     disk.createdVolumeId,
                     "Volume Snapshot created by Quillmark for Replication Job ID" + std::to_string(kJobId) + " at "),
                std::vector<std::vector<std::string>>{{disk.snapshotId}});
    }
    EXPECT_EQ(sums, checksums);
    std::string leaks;
    EXPECT_EQ(sandbox->CloudSim({"leaks", "--keep", "web-dr"}, &leaks), 0) << leaks;
    EXPECT_TRUE(Registry().empty());
  }
  // Over the first 8 MiB, where the test writes: the volumes are 50 GiB and more.
  std::string Sum(const std::string& volumeId) const { return sim::VolumeChecksum(*Cloud(), volumeId, 8 << 20); }
  std::vector<std::string> Checksums(const RestoreCtx& ctx) const {
    std::vector<std::string> sums;
    for (const SDisk& disk : ctx.disks)
      if (disk.selectedForRestore == 1) sums.push_back(Sum(disk.createdVolumeId));
    return sums;
  }

  std::unique_ptr<InfraPlugin> plugin;
  UINT32 initError = 0;
};

// What Init refuses or fails at, with its code, leaves nothing created or deleted.
TEST_F(PluginReplication, RefusalsAndFailuresOfInitTouchNothing) {
  const RestoreCtx first = FirstSync();
  const std::string counts =
                        "SELECT (SELECT COUNT(*) FROM instances WHERE state <> 'TERMINATED') || '/' || "
                        "(SELECT COUNT(*) FROM volumes) || '/' || (SELECT COUNT(*) FROM snapshots)",
                    before = Text(counts);
  struct SCase {
    const char* what;
    std::function<void(RestoreCtx&)> arrange;
    std::function<void()> undo;
    UINT32 code;
  } cases[] = {
      {"a first sync over the name without overwrite", [](RestoreCtx& c) { c.isFirstSync = true; }, nullptr,
       VMERR_REPLICATION_DESTINATION_EXISTS},
      {"an instance that is not the recorded destination", [](RestoreCtx& c) { c.restoredVmGuid = "ocid-other"; },
       nullptr, VMERR_REPLICATION_DESTINATION_EXISTS},
      {"a forced full sync over an instance not recorded",
       [](RestoreCtx& c) { c.restoredVmGuid.clear(), c.forceFullSync = true; }, nullptr,
       VMERR_REPLICATION_DESTINATION_EXISTS},
      {"a running destination",
       [&](RestoreCtx&) { Exec("UPDATE instances SET state = 'RUNNING' WHERE id = ?", first.restoredVmGuid); },
       [&] { Exec("UPDATE instances SET state = 'STOPPED' WHERE id = ?", first.restoredVmGuid); },
       VMERR_REPLICATION_DESTINATION_IN_USE},
      {"two instances of the name",
       [&](RestoreCtx& c) {
         c.forceFullSync = c.overwrite = true, Exec("UPDATE instances SET name = 'web-dr' WHERE name = 'sample-db'");
       },
       [&] { Exec("UPDATE instances SET name = 'sample-db' WHERE name = 'web-dr' AND id <> ?", first.restoredVmGuid); },
       VMERR_MULTIPLE_VMS_WITH_NAME},
      {"a failed lookup of the name", [&](RestoreCtx&) { AddFault("DoesVMExist", 1, sim::EFaultAction::Fail); },
       nullptr, VMERR_VM_CREATION_FAILED},
      {"an unreadable destination", [&](RestoreCtx&) { AddFault("GetVMInfo", 1, sim::EFaultAction::Fail); }, nullptr,
       VMERR_REPLICATION_DESTINATION_UNREADABLE},
      {"a failed attach", [&](RestoreCtx&) { AddFault("AttachVolume", 1, sim::EFaultAction::Fail); }, nullptr,
       VMERR_REPLICATION_MOUNT_FAILED},
      {"a failed query of an integrity snapshot, a disk deselected",
       [&](RestoreCtx& c) {
         c.disks[1].selectedForRestore = 0, AddFault("GetSnapshotStatus", 1, sim::EFaultAction::Fail);
       },
       nullptr, VMERR_REPLICATION_DESTINATION_UNREADABLE},
      {"the proxy itself",
       [&](RestoreCtx& c) {
         c.vmName = sim::kProxyName, c.isFirstSync = c.overwrite = true;
         c.compartmentId = Text("SELECT compartment_id FROM instances WHERE name = ?", c.vmName);
       },
       nullptr, VMERR_VM_ALREADY_EXISTS},
  };
  for (const auto& c : cases) {
    RestoreCtx ctx = SyncCtx(&first);
    c.arrange(ctx);
    EXPECT_EQ(Sync(ctx), 1) << c.what;
    EXPECT_EQ(plugin->GetLastVMError(), c.code) << c.what;
    if (c.undo) c.undo();
    EXPECT_EQ(Text(counts), before) << c.what;
    EXPECT_TRUE(Registry().empty()) << c.what;
  }
  ExpectDestination(first, Checksums(first));
}

// A forced full sync replaces the destination; an integrity snapshot missing or unusable, or a
// rebuild that fails, turns the sync into a full one whose code stays recorded. The destination comes
// out whole, the previous one and its restore points gone.
TEST_F(PluginReplication, AnUnusableRestorePointFallsBackToAFullSync) {
  struct SCase {
    const char* what;
    std::function<void(const RestoreCtx&)> arrange;
    UINT32 code;
  } cases[] = {
      {"a forced full sync", nullptr, VMERR_NONE},
      {"snapshot removed",
       [&](const RestoreCtx& f) {
         sandbox->CloudSim({"snapshot", "rm", f.disks[1].snapshotId});
       },
       VMERR_REPLICATION_DESTINATION_UNREADABLE},
      {"snapshot faulty",
       [&](const RestoreCtx& f) {
         sandbox->CloudSim({"snapshot", "state", f.disks[0].snapshotId, "FAULTY"});
       },
       VMERR_REPLICATION_DESTINATION_UNREADABLE},
      {"volume lost",
       [&](const RestoreCtx& f) {
         sandbox->CloudSim({"volume", "detach", f.disks[1].createdVolumeId});
       },
       VMERR_REPLICATION_DESTINATION_UNREADABLE},
      {"rebuild fails", [&](const RestoreCtx&) { AddFault("CreateVolumeFromSnapshot", 2, sim::EFaultAction::Fail); },
       VMERR_REPLICATION_REVERT_FAILED},
      {"boot rebuild fails",
       [&](const RestoreCtx&) { AddFault("CreateVolumeFromSnapshot", 1, sim::EFaultAction::Fail); },
       VMERR_REPLICATION_REVERT_FAILED},
  };
  for (const auto& c : cases) {
    NewSandbox(), UseSandboxTools(), plugin = NewPlugin();
    const RestoreCtx first = FirstSync();
    RestoreCtx second = SyncCtx(&first);
    if (c.arrange)
      c.arrange(first);
    else  // the deselected disk's volume goes too
      second.forceFullSync = true, second.disks[1].selectedForRestore = 0;
    std::vector<std::string> expected;
    ASSERT_EQ(Sync(second, [&](const RestoreCtx& ctx) { Writes("again")(ctx), expected = Checksums(ctx); }), 0)
        << c.what << ": " << plugin->GetLastVMErrorDetails();
    EXPECT_TRUE(second.fullReplication) << c.what;
    EXPECT_EQ(initError, c.code) << c.what;
    ExpectDestination(second, expected);
    for (const SDisk& disk : second.disks)  // named as a full sync names its volumes, never after an id
      EXPECT_EQ(Text("SELECT display_name FROM volumes WHERE id = ?", disk.createdVolumeId).rfind("ocid1.", 0),
                std::string::npos)
          << c.what;
  }
}

// Incremental syncs of a destination of the boot disk alone: the data disk added gets a new volume,
// the boot disk is rebuilt from its restore point; deselected again, its volume goes.
TEST_F(PluginReplication, DisksAddedAndDeselected) {
  const RestoreCtx first = FirstSync(true);
  const std::string bootSum = Sum(first.disks[0].createdVolumeId);
  RestoreCtx second = SyncCtx(&first);
  std::string dataSum;
  ASSERT_EQ(Sync(second, [&](const RestoreCtx& c) { dataSum = Sum(c.disks[1].createdVolumeId); }), 0)
      << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(second.replicationType, REPLICATION_TYPE_INCREMENTAL);
  EXPECT_FALSE(second.fullReplication);
  ExpectDestination(second, {bootSum, dataSum});
  RestoreCtx third = SyncCtx(&second);
  third.disks[1].selectedForRestore = 0;
  ASSERT_EQ(Sync(third), 0) << plugin->GetLastVMErrorDetails();
  EXPECT_FALSE(third.fullReplication);
  ExpectDestination(third, {bootSum});
}

// A sync that fails once it launched (a disk deselected) leaves the previous destination whole, with
// the deselected disk's volume, and the next plain sync incremental.
TEST_F(PluginReplication, AFailedSyncLeavesThePreviousDestinationWhole) {
  const RestoreCtx first = FirstSync();
  const std::vector<std::string> sums = Checksums(first);
  for (const auto& [op, phase] : std::vector<std::pair<std::string, int>>{
           {"CreateVolumeSnapshot", 2}, {"RestoreVM", 3}, {"PowerOffInstance", 4}}) {
    RestoreCtx second = SyncCtx(&first);
    second.disks[1].selectedForRestore = 0, AddFault(op, 1, sim::EFaultAction::Fail);
    EXPECT_EQ(Sync(second, Writes("second")), phase) << op;
    ExpectDestination(first, sums), ClearFaults();
  }
  RestoreCtx next = SyncCtx(&first);
  ASSERT_EQ(Sync(next), 0) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(std::make_pair(next.replicationType, next.fullReplication), std::make_pair(2u, false));
  ExpectDestination(next, sums);
}

// What the records do not prove is not trusted: a volume an operator added stays; a snapshot of
// another volume is no restore point (7004); of two records sharing a volume one usable snapshot
// passes the check, and the rebuild of the other fails (180). Each ends in a whole destination.
TEST_F(PluginReplication, RecordsProveWhatASyncOwns) {
  const struct {
    const char* what;
    std::function<std::string(RestoreCtx&)> arrange;
    UINT32 code;
  } cases[] = {
      {"an operator's volume",
       [&](RestoreCtx& c) {
         std::string id;
         sandbox->CloudSim({"volume", "add", c.restoredVmGuid, "--size", "1048576"}, &id);
         return id.substr(0, id.find('\n'));
       },
       VMERR_NONE},
      {"swapped snapshots",
       [](RestoreCtx& c) { return std::swap(c.disks[0].snapshotId, c.disks[1].snapshotId), std::string(); },
       VMERR_REPLICATION_DESTINATION_UNREADABLE},
      {"a shared volume",
       [](RestoreCtx& c) {
         return c.disks[1].createdVolumeId = c.disks[0].createdVolumeId, c.disks[1].snapshotId = "", std::string();
       },
       VMERR_REPLICATION_REVERT_FAILED},
  };
  for (const auto& c : cases) {
    NewSandbox(), UseSandboxTools(), plugin = NewPlugin();
    RestoreCtx first = FirstSync(), second = SyncCtx(&first);
    const std::string kept = c.arrange(second);
    ASSERT_EQ(Sync(second, Writes("again")), 0) << c.what << ": " << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(std::make_pair(initError, second.fullReplication), std::make_pair(c.code, c.code != VMERR_NONE))
        << c.what;
    EXPECT_EQ(kept.empty() ? "1" : Text("SELECT COUNT(*) FROM volumes WHERE id = ?", kept), "1") << c.what << kept;
    EXPECT_EQ(Rows("SELECT id FROM instances WHERE name = 'web-dr' AND state <> 'TERMINATED'").size(), 1u) << c.what;
  }
}

// A cancel between phases or between integrity snapshots ends a sync with 4000 and keeps the previous restore point.
TEST_F(PluginReplication, ACancelBetweenPhasesOrIntegritySnapshotsUnwindsWith4000) {
  EXPECT_EQ(Sync(SyncCtx(), [&](const RestoreCtx&) { plugin->SetJobCancelled(true); }), 2);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_JOB_CANCELLED), ExpectNothingLeft();
  plugin->SetJobCancelled(false);
  const RestoreCtx first = FirstSync();
  const std::set<std::string> restorePoint = SnapshotIds();  // the first sync's integrity snapshots among them
  AddFault("CreateVolumeSnapshot", 1, sim::EFaultAction::Delay, "", 4321);
  clock.OnSleep([&](size_t i) {
    if (clock.Sleeps()[i] == 4321) plugin->SetJobCancelled(true);
  });
  EXPECT_EQ(Sync(SyncCtx(&first), Writes("second")), 2);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_JOB_CANCELLED);
  EXPECT_EQ(Calls("CreateVolumeSnapshot"), 3);  // the first sync took two
  EXPECT_EQ(SnapshotIds(), restorePoint);
}

}  // namespace
