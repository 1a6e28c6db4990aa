// Instance records read through the bridge, for both flavours.
#include "bridge/sim/SimIds.h"
#include "sim_test_cloud.h"

using OracleCloudSDKCppBridge::VMINFO_FLAG_DISKS;
using OracleCloudSDKCppBridge::VMINFO_FLAG_NETWORK;
using OracleCloudSDKCppBridge::VMINFO_FLAG_PROXY;
using OracleCloudSDKCppBridge::VMINFO_FLAG_SNAPSHOTS;
using simtest::CTestCloud;
using VMInfoStructs::SVMInfo;

namespace {

constexpr UINT64 kBackupFlags = 58;

class SimGetVMInfo : public ::testing::TestWithParam<sim::EFlavour> {
 protected:
  bool Classic() const { return GetParam() == sim::EFlavour::Classic; }
  CTestCloud cloud_{GetParam()};
};

TEST_P(SimGetVMInfo, ByNameAndByIdGiveTheSameFullRecord) {
  auto bridge = cloud_.Connect();
  SVMInfo byName, byId;
  ASSERT_TRUE(bridge->GetVMInfo("sample-db", "", byName, kBackupFlags)) << bridge->GetLastError();
  ASSERT_FALSE(byName.guid.empty());
  ASSERT_TRUE(bridge->GetVMInfo("", byName.guid, byId, kBackupFlags)) << bridge->GetLastError();

  for (const SVMInfo* vm : {&byName, &byId}) {
    EXPECT_EQ(vm->name, "sample-db");
    EXPECT_EQ(vm->guid, cloud_.InstanceId("sample-db"));
    EXPECT_EQ(vm->vmSize, "VM.Standard.E4.Flex");
    EXPECT_EQ(vm->cpuCount, 2);
    EXPECT_EQ(vm->memoryMB, 32768);
    EXPECT_EQ(vm->powerState, 1u);
    EXPECT_EQ(vm->lifecycleState, Classic() ? "running" : "RUNNING");
    EXPECT_EQ(vm->availabilityDomain, Classic() ? "US2-Z27" : "Uocm:PHX-AD-1");
    EXPECT_EQ(vm->region, Classic() ? "us2" : "us-phoenix-1");
    EXPECT_FALSE(vm->compartmentId.empty());
    EXPECT_FALSE(vm->imageId.empty());
    ASSERT_EQ(vm->disks.size(), 2u);
    ASSERT_EQ(vm->networkCards.size(), 1u);
    EXPECT_TRUE(vm->networkCards[0].isPrimary);
  }

  // Boot volume first as disk 0, the data volume next; both in the instance's domain.
  const auto& boot = byId.disks[0];
  const auto& data = byId.disks[1];
  EXPECT_TRUE(boot.isBootDisk);
  EXPECT_EQ(boot.diskNumber, 0u);
  EXPECT_EQ(boot.displayName, Classic() ? "sample-db_storage" : "sample-db (Boot Volume)");
  EXPECT_EQ(boot.size, 256ull << 20);
  EXPECT_FALSE(data.isBootDisk);
  EXPECT_EQ(data.diskNumber, 1u);
  EXPECT_EQ(data.displayName, "sample-db-data");
  EXPECT_EQ(data.size, 128ull << 20);
  for (const auto& disk : byId.disks) {
    EXPECT_EQ(disk.guid, disk.volumeId);
    EXPECT_EQ(disk.availabilityDomain, byId.availabilityDomain);
  }
  if (Classic()) {
    EXPECT_EQ(data.volumeId, "/Compute-a424242/backup.admin@example.com/sample-db-data");
  } else {
    EXPECT_EQ(boot.volumeId.rfind("ocid1.bootvolume.oc1.phx.", 0), 0u) << boot.volumeId;
    EXPECT_EQ(data.volumeId.rfind("ocid1.volume.oc1.phx.", 0), 0u) << data.volumeId;
  }

  // The seeded operator snapshot of the data volume.
  EXPECT_TRUE(boot.childDisks.empty());
  ASSERT_EQ(data.childDisks.size(), 1u);
  EXPECT_EQ(data.childDisks[0].name, "sample-db-data-weekly");
  EXPECT_EQ(data.childDisks[0].description, "Weekly snapshot taken by the operator");
  EXPECT_GT(data.childDisks[0].creationTime, 0);
}

TEST_P(SimGetVMInfo, UriFollowsTheFlavour) {
  auto bridge = cloud_.Connect();
  SVMInfo vm;
  ASSERT_TRUE(bridge->GetVMInfo("sample-web", "", vm, VMINFO_FLAG_PROXY)) << bridge->GetLastError();
  if (Classic()) {
    EXPECT_EQ(vm.uri, "/Compute-a424242/backup.admin@example.com/sample-web/" + vm.guid);
    EXPECT_EQ(vm.guid.size(), 36u) << "a UUID";
  } else {
    EXPECT_EQ(vm.uri, vm.guid);
    EXPECT_EQ(vm.guid.rfind("ocid1.instance.oc1.phx.", 0), 0u) << vm.guid;
  }
}

TEST_P(SimGetVMInfo, FlagsSelectWhatIsFilled) {
  auto bridge = cloud_.Connect();
  struct SCase {
    UINT64 flags;
    size_t disks;
    size_t dataSnapshots;  // snapshots listed for the data volume
    size_t cards;
  };
  const SCase cases[] = {
      {VMINFO_FLAG_PROXY, 0, 0, 0},
      {VMINFO_FLAG_DISKS, 2, 0, 0},
      {VMINFO_FLAG_SNAPSHOTS, 0, 0, 0},
      {VMINFO_FLAG_DISKS | VMINFO_FLAG_SNAPSHOTS, 2, 1, 0},
      {VMINFO_FLAG_NETWORK, 0, 0, 1},
      {kBackupFlags, 2, 1, 1},
  };
  for (const SCase& c : cases) {
    SVMInfo vm;
    ASSERT_TRUE(bridge->GetVMInfo("sample-db", "", vm, c.flags)) << c.flags;
    EXPECT_EQ(vm.disks.size(), c.disks) << c.flags;
    if (vm.disks.size() == 2) {
      EXPECT_EQ(vm.disks[1].childDisks.size(), c.dataSnapshots) << c.flags;
    }
    EXPECT_EQ(vm.networkCards.size(), c.cards) << c.flags;
    EXPECT_FALSE(vm.uri.empty()) << c.flags;
  }
}

TEST_P(SimGetVMInfo, TheProxyRecordMatchesTheSandboxIdentity) {
  auto bridge = cloud_.Connect();
  SVMInfo proxy;
  ASSERT_TRUE(bridge->GetVMInfo("", cloud_.Sandbox().proxyId, proxy, VMINFO_FLAG_PROXY)) << bridge->GetLastError();
  EXPECT_EQ(proxy.name, "backup-proxy");
  EXPECT_EQ(proxy.availabilityDomain, Classic() ? "US2-Z27" : "Uocm:PHX-AD-1");
  SVMInfo withDisks;
  ASSERT_TRUE(bridge->GetVMInfo("", proxy.guid, withDisks, VMINFO_FLAG_DISKS));
  ASSERT_EQ(withDisks.disks.size(), 1u) << "the proxy has only its boot volume";
  EXPECT_TRUE(withDisks.disks[0].isBootDisk);
}

TEST_P(SimGetVMInfo, UnknownOrAmbiguousInstancesFailWithTheirName) {
  auto bridge = cloud_.Connect();
  // A second, stopped instance named like an existing one makes the name ambiguous.
  std::string twin = sim::NewUuid();
  auto db = cloud_.Open();
  db->Write([&](sim::CSimDb& d) {
    d.Run("INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, created) "
          "SELECT ?, name, ?, compartment_id, ad, region, shape, cpus, memory_mb, ?, created + 1 FROM instances "
          "WHERE name = 'sample-web'",
          twin, twin, db->Words().instanceStopped);
  });
  const std::string webId = cloud_.InstanceId("sample-web");

  struct SCase {
    std::string name, id, text;
  };
  const SCase cases[] = {
      {"", "no-such-instance", "Instance with id [no-such-instance] was not found"},
      {"sample-web", "no-such-instance", "Instance with id [no-such-instance] was not found"},
      {"nobody", "", "Instance [nobody] was not found"},
      {"", "", "Neither an instance name nor an instance id was given"},
      {"sample-web", "", "Instance name [sample-web] is ambiguous: 2 instances carry it (" + webId + ", " + twin + ")"},
  };
  for (const SCase& c : cases) {
    SVMInfo vm;
    vm.name = "untouched";
    EXPECT_FALSE(bridge->GetVMInfo(c.name, c.id, vm, kBackupFlags)) << c.name << "/" << c.id;
    EXPECT_EQ(bridge->GetLastError(), c.text);
    EXPECT_EQ(vm.name, "untouched") << "out-parameters are filled only on success";
  }

  // The id still finds each twin; the stopped one reports power state 0.
  SVMInfo stopped;
  ASSERT_TRUE(bridge->GetVMInfo("sample-web", twin, stopped, 0)) << bridge->GetLastError();
  EXPECT_EQ(stopped.powerState, 0u);
  EXPECT_EQ(stopped.lifecycleState, Classic() ? "stopped" : "STOPPED");

  // A terminated twin no longer competes for the name.
  db->Write([&](sim::CSimDb& d) {
    d.Run("UPDATE instances SET state = ? WHERE id = ?", db->Words().instanceTerminated, twin);
  });
  SVMInfo vm;
  ASSERT_TRUE(bridge->GetVMInfo("sample-web", "", vm, 0)) << bridge->GetLastError();
  EXPECT_EQ(vm.guid, webId);
}

TEST_P(SimGetVMInfo, DetachedVolumesAreNotListedAndAttachmentOrderIsDiskOrder) {
  auto bridge = cloud_.Connect();
  auto db = cloud_.Open();
  const std::string webId = cloud_.InstanceId("sample-web");
  // Move sample-db's data volume over to sample-web: detached from one, attached after the other's.
  db->Write([&](sim::CSimDb& d) {
    std::string volume = d.QueryText("SELECT id FROM volumes WHERE display_name = 'sample-db-data'", "");
    d.Run("UPDATE attachments SET state = ? WHERE volume_id = ?", db->Words().attachmentDetached, volume);
    d.Run("INSERT INTO attachments(id, instance_id, volume_id, type, state, created) VALUES (?, ?, ?, 'iscsi', ?, 0)",
          "attachment-moved", webId, volume, db->Words().attachmentAttached);
  });
  SVMInfo web, dbVm;
  ASSERT_TRUE(bridge->GetVMInfo("sample-web", "", web, VMINFO_FLAG_DISKS));
  ASSERT_TRUE(bridge->GetVMInfo("sample-db", "", dbVm, VMINFO_FLAG_DISKS));
  ASSERT_EQ(web.disks.size(), 3u);
  EXPECT_EQ(web.disks[1].displayName, "sample-web-data");
  EXPECT_EQ(web.disks[2].displayName, "sample-db-data");
  EXPECT_EQ(web.disks[2].diskNumber, 2u);
  EXPECT_EQ(web.disks[2].attachmentId, "attachment-moved");
  EXPECT_EQ(web.disks[2].attachmentType, "iscsi");
  ASSERT_EQ(dbVm.disks.size(), 1u);
  EXPECT_TRUE(dbVm.disks[0].isBootDisk);
}

INSTANTIATE_TEST_SUITE_P(SimFlavours, SimGetVMInfo,
                         ::testing::Values(sim::EFlavour::Infrastructure, sim::EFlavour::Classic),
                         [](const auto& info) { return std::string(sim::FlavourName(info.param)); });

}  // namespace
