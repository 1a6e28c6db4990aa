// The backup mount of the infrastructure flavour against the simulated cloud and the real registry:
// what a mount and its unmount leave, the bytes of the replicas, a failure or a cancel at each step
// and its unwinding, the saved configuration files, the stale-job sweep and a second job.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>

#include "MountTestUtil.h"
#include "RegistryTestUtil.h"
#include "host/FXString.h"
#include "host/SqliteDb.h"

using namespace mounttest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {
using PluginMount = CMountFixture;
}  // namespace

TEST_F(PluginMount, MountMakesASnapshotAndAReplicaPerVolumeAndTheUnmountRemovesThem) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  const std::vector<std::string> volumes = InstanceVolumes("sample-web");
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  // The counters at each sleep: every request of a kind comes before its first status query, and
  // the replicas are requested only once every snapshot settled.
  std::vector<std::vector<int64_t>> atSleep;
  clock.OnSleep([&](size_t) {
    atSleep.push_back({Calls("CreateVolumeSnapshot"), Calls("GetSnapshotStatus"), Calls("CreateVolumeFromSnapshot"),
                       Calls("GetVolumeStatus")});
  });
  const int64_t start = clock.NowSeconds();
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), 0);
  EXPECT_THAT(clock.Sleeps(), ElementsAre(60000u, 60000u));
  EXPECT_EQ(atSleep, (std::vector<std::vector<int64_t>>{{2, 0, 0, 0}, {2, 2, 2, 0}}));

  ASSERT_EQ(ctx.vmInfo.disks.size(), 2u);
  std::set<std::string> snapshotIds, replicaIds;
  for (size_t i = 0; i < 2; ++i) {
    const auto& disk = ctx.vmInfo.disks[i];
    EXPECT_EQ(disk.volumeId, volumes[i]);
    EXPECT_EQ(disk.createdVolumeId, disk.targetVolume);
    EXPECT_EQ(disk.name, disk.guid);
    EXPECT_EQ(Rows("SELECT volume_id, name, description, state FROM snapshots WHERE id = ?", disk.snapshotId),
              (std::vector<std::vector<std::string>>{
                  {disk.volumeId, ResourceName(start), BackupDescription(start), "AVAILABLE"}}));
    EXPECT_EQ(Rows("SELECT source_snapshot_id, display_name, description, state FROM volumes WHERE id = ?",
                   disk.targetVolume),
              (std::vector<std::vector<std::string>>{{disk.snapshotId, ResourceName(start + 60), "", "AVAILABLE"}}));
    snapshotIds.insert(disk.snapshotId);
    replicaIds.insert(disk.targetVolume);
  }
  EXPECT_EQ(SnapshotIds(true), snapshotIds);
  EXPECT_EQ(Replicas().size(), 2u);
  const auto roots = Registry();
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(std::make_tuple(roots[0].name, roots[0].mode, roots[0].orphan),
            std::make_tuple(ctx.vmGuid, VM_CLEANER_MODE_BACKUP, false));
  EXPECT_EQ(Children(roots[0], VM_CLEANER_ENTITY_SNAPSHOT), snapshotIds);
  EXPECT_EQ(Children(roots[0], VM_CLEANER_ENTITY_DISK), replicaIds);
  // The instance's configuration is saved as <guid>.json.
  std::map<std::string, std::string> config;
  ASSERT_TRUE(plugin->bridge->GetInstanceConfigurations(ctx.vmInfo.uri, config));
  const std::set<std::string> files = {ctx.vmGuid + ".json"};
  EXPECT_EQ(FilesIn(mountPath), files);
  EXPECT_EQ(ReadTestFile(mountPath + "/" + ctx.vmGuid + ".json"), config.at(".json"));

  // The unmount removes the job's snapshots, replicas and registration; the files stay.
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_EQ(FilesIn(mountPath), files);
  ExpectNothingLeft();
}

// A failure at each step: the mount fails with the step's code, after the requests made so far, and
// its unwinding leaves nothing of the job in the cloud, the registry or the mount folder.
TEST_F(PluginMount, AFailureAtEachStepFailsWithItsCodeAndLeavesNothing) {
  const auto registry = [this] {
    return VMCleaner::DatabasePathFor(sandbox->Home() + "/registry", sandbox->ProxyInstanceId());
  };
  const auto refuse = [this, registry](const char* rows) {  // registry rows whose insertion fails, as on a full disk
    return [this, registry, rows](MountCtx&) {
      COracleCloudCleaner cleaner;
      EXPECT_TRUE(cleaner.Init(sandbox->ProxyInstanceId()));
      CSqliteDb(registry(), false)
          .Exec(std::string("CREATE TRIGGER refuse BEFORE INSERT ON entities WHEN ") + rows +
                " BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;");
      return std::string();
    };
  };
  const auto proxy = [this](bool upper) {
    return [this, upper](MountCtx& ctx) {
      ctx.vmName = "backup-proxy";
      ctx.vmGuid = upper ? FXString::ToUpper(sandbox->ProxyInstanceId()) : sandbox->ProxyInstanceId();
      return "Instance [backup-proxy][" + ctx.vmGuid + "] cannot backup itself!!";
    };
  };
  struct Case {
    std::string what, op;  // the operation that fails at its nth call, if any
    int64_t nth;
    std::function<std::string(MountCtx&)> arrange;  // returns a line the failure logs, or ""
    int code;
    int64_t snapshots, replicas;  // requests made
  } cases[] = {
      {"the connection is lost", "CheckConnection", 1, {}, VMERR_CONNECTION_FAILED, 0, 0},
      {"the proxy itself", "", 0, proxy(false), VMERR_BACKUP_OF_PROXY, 0, 0},
      {"the proxy in upper case", "", 0, proxy(true), VMERR_BACKUP_OF_PROXY, 0, 0},
      {"no volumes", "", 0,
       [this](MountCtx& ctx) {
         Exec("UPDATE instances SET boot_volume_id = '' WHERE id = ?", ctx.vmGuid);
         Exec("DELETE FROM attachments WHERE instance_id = ?", ctx.vmGuid);
         return std::string("No attached volumes found for instance [sample-web]");
       },
       VMERR_NO_VOLUMES, 0, 0},
      {"another availability domain", "", 0,
       [this](MountCtx& ctx) {
         Exec("UPDATE instances SET ad = 'Uocm:PHX-AD-2' WHERE id = ?", ctx.vmGuid);
         return std::string(
             "The instance and the proxy are in different availability domains. Instance availability "
             "domain: [Uocm:PHX-AD-2], Proxy availability domain: [Uocm:PHX-AD-1].");
       },
       VMERR_NOT_FEASIBLE, 0, 0},
      {"an unknown instance", "", 0,
       [](MountCtx& ctx) {
         ctx.vmGuid = "ocid1.instance.oc1.phx.ghost";
         return "Failed to get VMInfo for Instance [sample-web][" + ctx.vmGuid + "]";
       },
       VMERR_VM_NOT_FOUND, 0, 0},
      {"above the snapshot limit", "", 0,
       [this](MountCtx&) {
         const int64_t now = clock.NowSeconds();
         for (int i = 0; i < 3; ++i)
           AddSnapshot(InstanceVolumes("sample-web")[1], BackupDescription(now - 60), now - 60);
         return std::string();
       },
       VMERR_SNAPSHOT_LIMIT_EXCEEDED, 0, 0},
      // The proxy's record and the instance's come before the two fetches of the limit check.
      {"the limit check's first fetch", "GetVMInfo", 3, {}, VMERR_VM_NOT_FOUND, 0, 0},
      {"the limit check's second fetch", "GetVMInfo", 4, {}, VMERR_VM_NOT_FOUND, 0, 0},
      {"a registry of a version this agent does not know", "", 0,
       [this, registry](MountCtx&) {
         EXPECT_TRUE(COracleCloudCleaner().Init(sandbox->ProxyInstanceId()));
         CSqliteDb(registry(), false).Exec("UPDATE meta SET value = '9' WHERE key = 'schema_version'");
         return std::string();
       },
       VMERR_REGISTRY_WRITE_FAILED, 0, 0},
      {"the registry refuses the job's root", "", 0, refuse("NEW.parent = 0"), VMERR_REGISTRY_WRITE_FAILED, 0, 0},
      {"the registry refuses each coming create", "", 0, refuse("NEW.type = 8"), VMERR_SNAPSHOT_FAILED, 0, 0},
      {"every snapshot request", "CreateVolumeSnapshot", 0, {}, VMERR_SNAPSHOT_FAILED, 2, 0},
      {"a snapshot status query", "GetSnapshotStatus", 2, {}, VMERR_SNAPSHOT_FAILED, 2, 0},
      {"every replica request", "CreateVolumeFromSnapshot", 0, {}, VMERR_RESOURCE_CREATION_FAILED, 2, 2},
      {"a replica status query", "GetVolumeStatus", 1, {}, VMERR_RESOURCE_CREATION_FAILED, 2, 2},
      {"the configuration download", "GetInstanceConfigurations", 1, {}, VMERR_CONFIG_DOWNLOAD_FAILED, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewSandbox();
    MountCtx ctx = Ctx("sample-web");
    if (!c.op.empty()) AddFault(c.op, c.nth, sim::EFaultAction::Fail, "the service failed: " + c.op);
    const std::string line = c.arrange ? c.arrange(ctx) : "";
    const std::set<std::string> snapshotsBefore = SnapshotIds();
    auto plugin = NewPlugin();
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    // The lost connection and the status queries carry the cloud's text.
    if (c.op == "CheckConnection" || c.op.find("Status") != std::string::npos) {
      EXPECT_THAT(plugin->GetLastVMErrorDetails(), HasSubstr("the service failed: " + c.op));
    }
    if (c.code == VMERR_REGISTRY_WRITE_FAILED) {
      EXPECT_THAT(plugin->GetLastVMErrorDetails(), HasSubstr("instance [" + ctx.vmGuid + "]"));
      EXPECT_THAT(plugin->GetLastVMErrorDetails(), HasSubstr(registry()));
    }
    EXPECT_TRUE(line.empty() || EvLogSink::Contains(line)) << line;
    EXPECT_EQ(Calls("CreateVolumeSnapshot"), c.snapshots);
    EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), c.replicas);
    EXPECT_EQ(SnapshotIds(), snapshotsBefore);
    EXPECT_TRUE(FilesIn(mountPath).empty());
    if (c.what.find("does not know") == std::string::npos)
      ExpectNothingLeft();
    else
      EXPECT_EQ(sandbox->CloudSim({"leaks"}), 0);
  }
}

// The agent cancels (from its own thread) before the mount or during one of its waits: the mount
// fails with 4000, asks the cloud for nothing more, and its unwinding leaves nothing.
TEST_F(PluginMount, ACancelAtEachPointUnwindsWith4000AndLeavesNothing) {
  struct Case {
    std::string what, slowKind;  // the kind whose provisioning takes five minutes
    int sleep;                   // the sleep during which the cancel comes; -1: before the mount
    int64_t snapshots, replicas, statusQueries;
  } cases[] = {
      {"before the mount", "", -1, 0, 0, 0},
      {"during the snapshot wait", "snapshot", 0, 2, 0, 0},
      {"during the replica wait", "volume", 1, 2, 2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    NewSandbox();
    if (!c.slowKind.empty()) SetProvisionSeconds(c.slowKind, 300);
    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    const std::set<std::string> snapshotsBefore = SnapshotIds();
    const size_t base = clock.Sleeps().size();
    if (c.sleep < 0) plugin->SetJobCancelled(true);
    clock.OnSleep([&](size_t index) {
      if (index != base + c.sleep) return;
      std::thread agent([&] { plugin->SetJobCancelled(true); });
      agent.join();
    });
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    clock.OnSleep(nullptr);
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_JOB_CANCELLED);
    EXPECT_TRUE(EvLogSink::Contains("Detected Quit flag"));
    EXPECT_EQ(Calls("CreateVolumeSnapshot"), c.snapshots);
    EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), c.replicas);
    EXPECT_EQ(Calls("GetSnapshotStatus") + Calls("GetVolumeStatus"), c.statusQueries);
    EXPECT_EQ(SnapshotIds(), snapshotsBefore);
    ExpectNothingLeft();
  }
}

// A clean-up step failing inside the unwinding keeps the mount's own code (118, or 4000 for a cancel) and is named
// beside its details; the snapshot it could not delete stays registered for the next clean-up.
TEST_F(PluginMount, TheUnwindingKeepsTheFirstFailuresCodeAndNamesItsOwnBesideIt) {
  for (const bool cancel : {false, true}) {
    NewSandbox();
    AddFault("DeleteVolumeSnapshot", 1, sim::EFaultAction::Fail, "snapshot is busy");
    if (!cancel) AddFault("GetInstanceConfigurations", 1, sim::EFaultAction::Fail, "no configuration");
    if (cancel) SetProvisionSeconds("volume", 300);
    auto plugin = NewPlugin();
    MountCtx ctx = Ctx("sample-web");
    clock.OnSleep([&](size_t) {
      if (cancel) std::thread([&] { plugin->SetJobCancelled(true); }).join();
    });
    EXPECT_EQ(plugin->MountVM(ctx), 0);
    clock.OnSleep(nullptr);
    EXPECT_EQ(plugin->GetLastVMError(), cancel ? VMERR_JOB_CANCELLED : VMERR_CONFIG_DOWNLOAD_FAILED);
    EXPECT_THAT(plugin->GetLastVMErrorDetails(), HasSubstr("the unmount failed too (error 17: snapshot is busy"));
    // Every snapshot was tried: only the one that could not be deleted stays, with the root.
    EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_SNAPSHOT).size(), 1u);
    EXPECT_TRUE(Replicas().empty() && RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_DISK).empty());
    EXPECT_EQ(plugin->CleanupVM(ctx), 1);
    ExpectNothingLeft();
  }
}

TEST_F(PluginMount, AnExceptionInsideTheMountIsUnwoundLikeAFailure) {
  struct CThrowingPlugin : InfraPlugin {
    bool RegisterDisksWithDiskInfo(const MountCtx&) override { throw std::runtime_error("bookkeeping broke"); }
  } plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  ASSERT_EQ(plugin.Connect(sandbox->CloudUrl(), "tester", "secret"), 1);
  const std::set<std::string> snapshotsBefore = SnapshotIds();
  MountCtx ctx = Ctx("sample-web");
  EXPECT_EQ(plugin.MountVM(ctx), 0);
  EXPECT_TRUE(EvLogSink::Contains("Caught unhandled exception"));
  EXPECT_EQ(Calls("CreateVolumeFromSnapshot"), 2) << "the exception came after the replicas";
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  ExpectNothingLeft();
}

TEST_F(PluginMount, SaveConfigFilesWritesEachNonEmptyEntryInsideTheMountDirectoryOnly) {
  auto plugin = NewPlugin();
  const std::string jobs = sandbox->Dir() + "/jobs", refused = "Refusing instance config [";
  struct Case {
    std::string what, guid;
    std::map<std::string, std::string> files;
    std::string folder;             // a folder made in the mount directory first
    std::set<std::string> written;  // names in the mount directory afterwards
    std::string error;              // empty: saved
  } cases[] = {
      {"entries in suffix order, the empty one skipped",
       "inst-1",
       {{"_storage.json", "S"}, {"_instance.json", "I"}, {"_master.json", ""}},
       "",
       {"inst-1_instance.json", "inst-1_storage.json"},
       ""},
      {"an empty map", "inst-2", {}, "", {}, ""},
      {"dots inside a name stay inside", "inst..5", {{"..json", "D"}}, "", {"inst..5..json"}, ""},
      // A folder named after the guid would let a path through it reach the mount directory's parent;
      // the refused entry comes first in suffix order, and the save stops there.
      {"a suffix climbing out",
       "inst-3",
       {{"/../../escape-suffix.json", "X"}, {"_ok.json", "OK"}, {"/../sibling.json", "Y"}},
       "inst-3",
       {"inst-3"},
       refused},
      {"a guid climbing out", "../escape-guid", {{".json", "X"}, {"_instance.json", "Y"}}, "", {}, refused},
      {"a guid with a separator", "sub/dir", {{".json", "X"}}, "sub", {"sub"}, refused},
      {"the parent itself", "..", {{"", "X"}}, "", {}, refused},
      {"the directory itself", ".", {{"", "X"}}, "", {}, refused + mountPath + "/.]"},
      {"no guid", "", {{".json", "X"}}, "", {}, "Instance GUID is empty for [named-instance]"},
      {"an entry that cannot be written",
       "inst",
       {{"_a.json", "A"}, {"_b.json", "B"}},
       "inst_a.json",
       {"inst_a.json"},
       "Failed to write instance config [" + mountPath + "/inst_a.json]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    std::filesystem::remove_all(jobs);
    std::filesystem::create_directories(mountPath);
    if (!c.folder.empty()) std::filesystem::create_directories(mountPath + "/" + c.folder);
    MountCtx ctx = Ctx("");
    ctx.vmInfo.name = "named-instance";
    ctx.vmInfo.guid = c.guid;
    EXPECT_EQ(plugin->SaveVMConfigFiles(ctx, c.files), c.error.empty());
    EXPECT_EQ(FilesIn(mountPath), c.written);
    for (const auto& name : c.written)
      EXPECT_TRUE(name == c.folder || ReadTestFile(mountPath + "/" + name) == c.files.at(name.substr(c.guid.size())));
    EXPECT_TRUE(c.folder.empty() || FilesIn(mountPath + "/" + c.folder).empty());
    EXPECT_EQ(FilesIn(jobs), std::set<std::string>{"mount"});
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox->Dir()))
      EXPECT_TRUE(entry.path().filename().string().find("escape") == std::string::npos &&
                  entry.path().filename() != "sibling.json")
          << entry.path();
    EXPECT_EQ(EvLogSink::Contains(refused), c.error.rfind(refused, 0) == 0);
    EXPECT_TRUE(c.error.empty() || EvLogSink::Contains(c.error)) << c.error;
  }
  // Hostile guids and file suffixes from the cloud write nothing beside the mount directory.
  for (const std::string& value : hosttest::HostileValues(sandbox->Dir() + "/canary")) {
    MountCtx ctx = Ctx("");
    ctx.vmInfo.guid = value;
    plugin->SaveVMConfigFiles(ctx, {{".json", "G"}});
    ctx.vmInfo.guid = "inst";
    plugin->SaveVMConfigFiles(ctx, {{value, "S"}});
    EXPECT_EQ(FilesIn(jobs), std::set<std::string>{"mount"}) << value;
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox->Dir()))
    EXPECT_EQ(entry.path().filename().string().find("canary"), std::string::npos) << entry.path();
}

TEST_F(PluginMount, KilledBackupIsSweptBeforeTheNextMountOfTheInstanceCountsSnapshots) {
  // A backup of sample-web dies once its snapshots and replicas exist and are registered.
  AddFault("GetVolumeStatus", 1, sim::EFaultAction::KillBefore);
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
  const auto leftover = FindRoot(Registry(), arranged.vmGuid);
  ASSERT_TRUE(leftover && leftover->orphan);
  ASSERT_EQ(Children(*leftover, VM_CLEANER_ENTITY_SNAPSHOT).size(), 2u);
  ASSERT_EQ(Children(*leftover, VM_CLEANER_ENTITY_DISK).size(), 2u);

  // With no backup snapshot allowed, the next mount passes only if the sweep ran before the count.
  TZPlatformInfo::SetValue("VirtualServer", "nOracleCloudSnapshotMaxCount", "0");
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMError();
  // What is left in the cloud and registered now is this job's alone.
  std::set<std::string> snapshots, replicas, inCloud;  // of this job; the replicas in the cloud
  for (const auto& disk : ctx.vmInfo.disks) {
    snapshots.insert(disk.snapshotId);
    replicas.insert(disk.createdVolumeId);
  }
  EXPECT_EQ(SnapshotIds(true), snapshots);
  for (const auto& replica : Replicas()) inCloud.insert(replica.id);
  EXPECT_EQ(inCloud, replicas);
  const auto root = FindRoot(Registry(), ctx.vmGuid);
  ASSERT_TRUE(root && !root->orphan);
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_SNAPSHOT), snapshots);
  EXPECT_EQ(Children(*root, VM_CLEANER_ENTITY_DISK), replicas);
}

TEST_F(PluginMount, OnlyTheFirstRegistrationOfAnObjectSweeps) {
  auto first = NewPlugin();
  MountCtx web = Ctx("sample-web");
  ASSERT_EQ(first->MountVM(web), 1) << first->GetLastVMErrorDetails();

  // A job of another registry object ends; its root is left behind, an orphan.
  const std::string leftoverRoot = "ocid1.instance.oc1.phx.droppedobject";
  const int64_t taken = kClockStart - 600;
  const std::string snapshot = AddSnapshot(InstanceVolumes("sample-db").back(), BackupDescription(taken), taken,
                                           "_QD_BACKUP_7_1_" + std::to_string(taken));
  {
    COracleCloudCleaner cleaner;
    ASSERT_TRUE(cleaner.Init(sandbox->ProxyInstanceId()));
    ASSERT_TRUE(cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, leftoverRoot));
    ASSERT_TRUE(cleaner.RegisterSnapshot(VM_CLEANER_MODE_BACKUP, leftoverRoot, snapshot));
  }
  MountCtx db = Ctx("sample-db");
  ASSERT_EQ(first->MountVM(db), 1) << first->GetLastVMErrorDetails();
  EXPECT_EQ(SnapshotIds().count(snapshot), 1u);
  EXPECT_TRUE(FindRoot(Registry(), leftoverRoot));
  // Nor does a backup's registration in an object whose first was a restore's (a restore sweeps no backup roots).
  auto restoring = NewPlugin();
  MountCtx other = Ctx("");
  other.vmGuid = "ocid1.instance.oc1.phx.other";
  ASSERT_TRUE(restoring->RegisterCleanerForRestore(WebRestoreCtx("r")) && restoring->RegisterCleanerForBackup(other));
  EXPECT_EQ(SnapshotIds().count(snapshot), 1u);

  // A new object sweeps it, and leaves the roots of the live objects alone.
  auto second = NewPlugin();
  other.vmGuid += "2";
  EXPECT_TRUE(second->RegisterCleanerForBackup(other));
  EXPECT_EQ(SnapshotIds().count(snapshot), 0u);
  const auto roots = Registry();
  EXPECT_FALSE(FindRoot(roots, leftoverRoot));
  EXPECT_TRUE(FindRoot(roots, web.vmGuid) && FindRoot(roots, db.vmGuid));
  EXPECT_EQ(SnapshotIds().count(web.vmInfo.disks[0].snapshotId), 1u);
}

TEST_F(PluginMount, ASecondJobOnAnInstanceInUseFailsAndLeavesTheFirstJobWhole) {
  UseSandboxTools();
  const std::vector<std::string> volumes = InstanceVolumes("sample-db");
  std::map<std::string, std::string> source;
  for (const auto& id : volumes) {
    WriteVolume(id, 4096, "before the backup: " + id);
    source[id] = Checksum(id);
  }
  // The instance keeps writing once the snapshots were requested (the first wait's sleep).
  clock.OnSleep([&](size_t index) {
    if (index == 0)
      for (const auto& id : volumes) WriteVolume(id, 8192, "AFTER the snapshot");
  });
  auto first = NewPlugin();
  MountCtx a = Ctx("sample-db");
  ASSERT_EQ(first->MountVM(a), 1) << first->GetLastVMErrorDetails();
  clock.OnSleep(nullptr);
  for (const auto& id : volumes) EXPECT_NE(Checksum(id), source[id]) << "the source did not change";
  VmdkHandle handle;
  ASSERT_EQ(first->OpenVmdk("sample-db", a.vmGuid, a.vmInfo.disks[0].guid, handle), 1) << first->GetLastVMError();
  const auto rootBefore = FindRoot(Registry(), a.vmGuid);
  ASSERT_TRUE(rootBefore);
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
  const auto rootAfter = FindRoot(Registry(), a.vmGuid);
  ASSERT_TRUE(rootAfter && !rootAfter->orphan);
  for (auto type : {VM_CLEANER_ENTITY_SNAPSHOT, VM_CLEANER_ENTITY_DISK, VM_CLEANER_ENTITY_ISCSI_SESSION})
    EXPECT_EQ(Children(*rootAfter, type), Children(*rootBefore, type)) << type;
  EXPECT_EQ(SnapshotIds(), snapshotsBefore);
  EXPECT_EQ(Replicas().size(), replicasBefore);

  // The first job reads the bytes of the moment of its snapshot requests, and ends cleanly.
  VMInfoStructs::SDisk opened;
  ASSERT_EQ(first->GetVmdkInfo(handle, opened), 1);
  EXPECT_EQ(sim::ChecksumOfSparseFile(opened.name, opened.size), source.at(a.vmInfo.disks[0].volumeId));
  EXPECT_EQ(first->CloseVmdk(handle), 1);
  EXPECT_EQ(Checksum(a.vmInfo.disks[1].createdVolumeId), source.at(a.vmInfo.disks[1].volumeId));
  EXPECT_EQ(first->UnmountVM(a), 1);
  ExpectNothingLeft();
}
