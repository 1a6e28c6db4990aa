// The agent's disk interface on the infrastructure flavour: a replica is attached when its disk is
// opened and detached when it is closed; a mount followed by its unmount leaves the cloud, the
// registry and the proxy's devices as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "MountTestUtil.h"
#include "PluginTestUtil.h"
#include "host/FXString.h"

using namespace mounttest;
using VMInfoStructs::SDisk;
using json = nlohmann::json;

namespace {

constexpr uint64_t kVolumeBytes = 8u << 20;

class CDiskPlugin : public InfraPlugin {
 public:
  using COracleCloudInfo::diskMapper;
  using COracleCloudInfrastructureInfo::DisconnectDiskInfo;
  using COracleCloudInfrastructureInfo::diskInfo;
};

// What a job must leave as it found it: the cloud's volumes, snapshots and live attachments, and
// the proxy's devices.
struct SCloudState {
  json volumes, snapshots, attachments;
  std::set<std::string> devices;
};

class PluginDiskHandle : public CMountFixture {
 protected:
  void SetUp() override {
    CMountFixture::SetUp();
    path_ = std::make_unique<CPathFirst>(sandbox->Dir() + "/bin");
    proxyId = sandbox->ProxyInstanceId();
    // Small volumes with different bytes, so that a device of the wrong volume shows.
    for (const auto& id : InstanceVolumes("sample-db")) {
      Exec("UPDATE volumes SET size_bytes = ? WHERE id = ?", static_cast<int64_t>(kVolumeBytes), id);
      auto cloud = Cloud();
      std::filesystem::resize_file(sim::BytesFileOf(*cloud, id).path, kVolumeBytes);
      WriteVolume(id, 4096, "the bytes of " + id);
      sourceChecksum[id] = Checksum(id);
    }
    plugin = NewDiskPlugin();
    ctx = Ctx("sample-db");
  }
  void TearDown() override {
    plugin.reset();
    path_.reset();
    CMountFixture::TearDown();
  }

  std::unique_ptr<CDiskPlugin> NewDiskPlugin() {
    auto made = std::make_unique<CDiskPlugin>();
    EXPECT_EQ(made->Init(0), 1);
    EXPECT_EQ(made->Connect(sandbox->CloudUrl(), "tester", "secret"), 1);
    return made;
  }
  void Mount() {
    ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
    ASSERT_EQ(ctx.vmInfo.disks.size(), 2u);
  }
  int Open(const std::string& diskName, VmdkHandle& handle) {
    return plugin->OpenVmdk("sample-db", ctx.vmGuid, diskName, handle);
  }

  json LiveProxyAttachments() const {
    json live = json::array();
    for (const auto& row : plugintest::Ls(*sandbox, "attachments"))
      if (row["instance_id"] == proxyId && row["state"] != "DETACHED") live.push_back(row);
    return live;
  }
  bool AttachedToProxy(const std::string& volumeId) const {
    return !plugintest::RowsWhere(LiveProxyAttachments(), "volume_id", volumeId).empty();
  }
  std::set<std::string> Devices() const { return FilesIn(sandbox->Root() + "/dev/disk/by-path"); }
  SCloudState State() const {
    json live = json::array();
    for (const auto& row : plugintest::Ls(*sandbox, "attachments"))
      if (row["state"] != "DETACHED") live.push_back(row);
    return {plugintest::Ls(*sandbox, "volumes"), plugintest::Ls(*sandbox, "snapshots"), live, Devices()};
  }
  void ExpectUnchanged(const SCloudState& before) const {
    const SCloudState after = State();
    EXPECT_EQ(after.volumes, before.volumes);
    EXPECT_EQ(after.snapshots, before.snapshots);
    EXPECT_EQ(after.attachments, before.attachments);
    EXPECT_EQ(after.devices, before.devices);
    std::string leaks;
    EXPECT_EQ(sandbox->CloudSim({"leaks"}, &leaks), 0) << leaks;
    EXPECT_TRUE(Registry().empty());
  }

  // Opens every disk, checks that its device holds the bytes of the volume it replicates, and closes
  // all but the disk `leaveOpen` (none when empty).
  void ReadEveryDisk(const std::string& leaveOpen) {
    for (const auto& disk : ctx.vmInfo.disks) {
      SCOPED_TRACE(disk.displayName);
      VmdkHandle handle;
      ASSERT_EQ(Open(disk.guid, handle), 1) << plugin->GetLastVMError();
      SDisk opened;
      ASSERT_EQ(plugin->GetVmdkInfo(handle, opened), 1);
      EXPECT_EQ(sim::Sha256OfSparseFile(opened.name, opened.size), sourceChecksum.at(disk.volumeId));
      if (disk.guid != leaveOpen) {
        EXPECT_EQ(plugin->CloseVmdk(handle), 1);
      }
    }
  }

  std::string proxyId;
  std::map<std::string, std::string> sourceChecksum;
  std::unique_ptr<CDiskPlugin> plugin;
  MountCtx ctx;

 private:
  std::unique_ptr<CPathFirst> path_;
};

}  // namespace

TEST_F(PluginDiskHandle, OpenAttachesOnceAndItsDeviceHoldsTheReplicasBytes) {
  Mount();
  const SDisk record = ctx.vmInfo.disks[1];
  const std::string upper = FXString::ToUpper(record.guid);
  ASSERT_NE(upper, record.guid) << "the disk's guid has no letter; the case test proves nothing";
  ASSERT_EQ(sandbox->Calls("AttachVolume"), 0) << "the infrastructure mount attaches nothing itself";

  VmdkHandle handle;
  ASSERT_EQ(Open(record.guid, handle), 1) << plugin->GetLastVMError();
  EXPECT_EQ(plugin->GetLastVMError(), 0);
  EXPECT_EQ(sandbox->Calls("AttachVolume"), 1);
  SDisk opened;
  ASSERT_EQ(plugin->GetVmdkInfo(handle, opened), 1);
  EXPECT_EQ(opened.createdVolumeId, record.createdVolumeId);
  EXPECT_EQ(opened.name, sandbox->Root() + "/dev/disk/by-path/ip-" + opened.iscsiTargetPortal + ":" +
                             opened.iscsiTargetPort + "-iscsi-" + opened.iscsiIqn + "-lun-1");
  EXPECT_EQ(opened.size, kVolumeBytes);
  EXPECT_TRUE(plugin->diskMapper->IsOffline(opened.name));
  // The device holds the replica's bytes, which are the source volume's at the snapshot.
  const std::string replica = plugintest::Checksum(*sandbox, record.createdVolumeId);
  EXPECT_EQ(sim::Sha256OfSparseFile(opened.name, opened.size), replica);
  EXPECT_EQ(replica, sourceChecksum.at(record.volumeId));
  EXPECT_TRUE(AttachedToProxy(record.createdVolumeId));
  const std::string session = opened.iscsiTargetPortal + "+" + opened.iscsiTargetPort + "+" + opened.iscsiIqn;
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_ISCSI_SESSION), std::set<std::string>{session});

  // The second open, by the upper-case forms of the names, finds the same disk and attaches nothing.
  VmdkHandle again;
  ASSERT_EQ(plugin->OpenVmdk("sample-db", FXString::ToUpper(ctx.vmGuid), upper, again), 1);
  EXPECT_TRUE(EvLogSink::Contains("Disk is already opened"));
  EXPECT_EQ(again.diskHandle, handle.diskHandle);
  EXPECT_EQ(sandbox->Calls("AttachVolume"), 1);

  // Close: logged out, unregistered, detached; the replica itself stays for the unmount.
  ASSERT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_FALSE(AttachedToProxy(record.createdVolumeId));
  EXPECT_FALSE(std::filesystem::exists(opened.name));
  EXPECT_TRUE(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_ISCSI_SESSION).empty());
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_DISK).count(record.createdVolumeId), 1u);
  EXPECT_EQ(sandbox->Calls("DetachVolume"), 1);
  // A second close detaches nothing.
  EvLogSink::Clear();
  ASSERT_EQ(plugin->CloseVmdk(again), 1);
  EXPECT_TRUE(EvLogSink::Contains("Disk is already closed"));
  EXPECT_EQ(sandbox->Calls("DetachVolume"), 1);

  // A closed disk opened again is attached again, to a device with the same bytes.
  ASSERT_EQ(Open(record.guid, handle), 1);
  EXPECT_EQ(sandbox->Calls("AttachVolume"), 2);
  ASSERT_EQ(plugin->GetVmdkInfo(handle, opened), 1);
  EXPECT_EQ(sim::Sha256OfSparseFile(opened.name, opened.size), replica);
  EXPECT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(PluginDiskHandle, OpenRefusesWhatItCannotFind) {
  // Before any mount there is no disk bookkeeping at all.
  VmdkHandle handle;
  plugin->SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
  EXPECT_EQ(Open("any-disk", handle), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 0);
  EXPECT_TRUE(plugintest::LoggedError("Disk info pointer is NULL."));

  Mount();
  const std::string diskGuid = ctx.vmInfo.disks[0].guid;
  struct Case {
    std::string what, guid, disk;
    int code;
    std::string error;
  } cases[] = {
      {"empty disk name", ctx.vmGuid, "", 0, "Invalid inputs."},
      {"empty instance", "", diskGuid, 0, "Invalid inputs."},
      {"unknown disk", ctx.vmGuid, "no-such-disk", 23,
       "Unable to find open Disk Handle for VM [" + ctx.vmGuid + "] Disk [no-such-disk]"},
      {"unknown instance", "ocid1.instance.oc1.phx.ghost", diskGuid, 23,
       "Unable to find open VM Handle for [first][ocid1.instance.oc1.phx.ghost]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    plugin->SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
    VmdkHandle found;
    EXPECT_EQ(plugin->OpenVmdk("first", c.guid, c.disk, found), 0);
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_TRUE(plugintest::LoggedError(c.error));
  }
  EXPECT_EQ(sandbox->Calls("AttachVolume"), 0);

  // A handle the open never filled is refused by the other calls.
  EvLogSink::Clear();
  SDisk disk;
  EXPECT_EQ(plugin->GetVmdkInfo(VmdkHandle{}, disk), 0);
  EXPECT_EQ(plugin->CloseVmdk(VmdkHandle{}), 0);
  EXPECT_EQ(EvLogSink::Count("Invalid vmdk handle"), 2u);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(PluginDiskHandle, FailedAttachAtOpenPassesItsCodeAndALaterOpenAttaches) {
  Mount();
  const SDisk record = ctx.vmInfo.disks[0];
  // No free slot, and no waiting for one beyond a single retry.
  TZPlatformInfo::SetValue("VirtualServer", "nOCIDiskSlotMaximumWaitTimeInMinutes", "0");
  AddFault("AttachVolume", 0, sim::EFaultAction::NoSlot);
  VmdkHandle handle;
  EXPECT_EQ(Open(record.guid, handle), 0);
  EXPECT_EQ(plugin->GetLastVMError(), 189);
  EXPECT_EQ(clock.Sleeps().back(), 600000u);
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_REGISTERED);
  EXPECT_FALSE(AttachedToProxy(record.createdVolumeId));

  sim::CSimFaults(*Cloud()).Clear("");
  ASSERT_EQ(Open(record.guid, handle), 1);
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_OPEN);
  EXPECT_TRUE(AttachedToProxy(record.createdVolumeId));
  EXPECT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(PluginDiskHandle, CloseOfARegisteredDiskThatWasNeverOpenedRunsTheDetach) {
  Mount();
  const SDisk record = ctx.vmInfo.disks[0];
  VmdkHandle handle;
  ASSERT_TRUE(plugin->diskInfo->GetVmdkHandle("sample-db", ctx.vmGuid, record.guid, handle));
  ASSERT_EQ(plugin->diskInfo->GetDiskState(handle), OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_REGISTERED);
  EXPECT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_EQ(sandbox->Calls("DetachVolume"), 1);
  EXPECT_TRUE(EvLogSink::Contains("Successfully detached volume [" + record.createdVolumeId + "] "));
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_CLOSED);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(PluginDiskHandle, DisconnectWithADiskStillOpenLogsItAndDropsEveryHandle) {
  Mount();
  const SDisk open = ctx.vmInfo.disks[1], registered = ctx.vmInfo.disks[0];
  VmdkHandle handle;
  ASSERT_EQ(Open(open.guid, handle), 1);

  EXPECT_TRUE(plugin->DisconnectDiskInfo(ctx));
  EXPECT_TRUE(plugintest::LoggedError("Disk handle is still open. [" + open.guid + "]"));
  EXPECT_FALSE(EvLogSink::Contains("Disk handle is still open. [" + registered.guid + "]"));
  // Nothing is detached here.
  EXPECT_TRUE(AttachedToProxy(open.createdVolumeId));
  // The handles are gone: no disk of the instance can be opened any more.
  for (const auto& disk : {open, registered}) {
    VmdkHandle later;
    EXPECT_EQ(Open(disk.guid, later), 0);
    EXPECT_EQ(plugin->GetLastVMError(), 23);
  }
  EXPECT_FALSE(plugin->DisconnectDiskInfo(ctx));
  EXPECT_TRUE(plugintest::LoggedError("Failed to disconnect VM [sample-db][" + ctx.vmGuid + "]"));

  // The job's clean-up still removes everything the mount and the open made.
  EXPECT_EQ(plugin->CleanupVM(ctx), 1);
  std::string leaks;
  EXPECT_EQ(sandbox->CloudSim({"leaks"}, &leaks), 0) << leaks;
  EXPECT_TRUE(Registry().empty());
}

TEST_F(PluginDiskHandle, StreamLimitIsThirtyTwoUnlessConfigured) {
  EXPECT_EQ(plugin->GetStreamLimit(), 32);
  EXPECT_FALSE(EvLogSink::Contains("Proxy stream limit from registry"));
  TZPlatformInfo::SetValue("VirtualServer", "nOCIProxyStreamLimit", "6");
  EXPECT_EQ(plugin->GetStreamLimit(), 6);
  EXPECT_TRUE(EvLogSink::Contains("Proxy stream limit from registry: [6]"));
}

TEST_F(PluginDiskHandle, MountReadCloseAndUnmountLeaveEverythingAsItWas) {
  const SCloudState before = State();
  std::string leaks;
  ASSERT_EQ(sandbox->CloudSim({"leaks"}, &leaks), 0) << leaks;
  ASSERT_TRUE(Registry().empty());
  Mount();
  ReadEveryDisk("");
  EXPECT_EQ(sandbox->Calls("AttachVolume"), 2);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_FALSE(EvLogSink::Contains("Disk handle is still open."));
  ExpectUnchanged(before);
}

TEST_F(PluginDiskHandle, UnmountWithADiskLeftOpenStillLeavesEverythingAsItWas) {
  const SCloudState before = State();
  Mount();
  const std::string leftOpen = ctx.vmInfo.disks[1].guid;
  ReadEveryDisk(leftOpen);
  ASSERT_TRUE(AttachedToProxy(ctx.vmInfo.disks[1].createdVolumeId));
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_TRUE(plugintest::LoggedError("Disk handle is still open. [" + leftOpen + "]"));
  ExpectUnchanged(before);
}

TEST_F(PluginDiskHandle, FailedCloseKeepsTheDiskOpenAndTheUnmountRemovesIt) {
  const SCloudState before = State();
  Mount();
  const SDisk record = ctx.vmInfo.disks[0];
  VmdkHandle handle;
  ASSERT_EQ(Open(record.guid, handle), 1);
  AddFault("DetachVolume", 1, sim::EFaultAction::Fail, "attachment is busy");
  EXPECT_EQ(plugin->CloseVmdk(handle), 0);
  EXPECT_TRUE(plugintest::LoggedError("Failed to detach volume from proxy"));
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_OPEN);
  EXPECT_TRUE(AttachedToProxy(record.createdVolumeId));
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_TRUE(plugintest::LoggedError("Disk handle is still open. [" + record.guid + "]"));
  ExpectUnchanged(before);
}

TEST_F(PluginDiskHandle, MountCancelledDuringAWaitIsUnwound) {
  const SCloudState before = State();
  // The agent cancels while the mount waits for its snapshots.
  clock.OnSleep([&](size_t index) {
    if (index == 0) plugin->SetJobCancelled(true);
  });
  EXPECT_EQ(plugin->MountVM(ctx), 0);
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), 4000);
  EXPECT_EQ(sandbox->Calls("CreateVolumeSnapshot"), 2) << "the cancel came after the snapshots were requested";
  ExpectUnchanged(before);
}

TEST_F(PluginDiskHandle, OpenCancelledDuringTheSlotWaitIsUnwoundByTheUnmount) {
  const SCloudState before = State();
  Mount();
  AddFault("AttachVolume", 0, sim::EFaultAction::NoSlot);
  const size_t base = clock.Sleeps().size();
  clock.OnSleep([&](size_t index) {
    if (index == base) plugin->SetJobCancelled(true);
  });
  VmdkHandle handle;
  EXPECT_EQ(Open(ctx.vmInfo.disks[0].guid, handle), 0);
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), 4000);
  sim::CSimFaults(*Cloud()).Clear("");
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  ExpectUnchanged(before);
}
