// The agent's disk interface on the infrastructure flavour: a replica is attached when its disk is
// opened and detached when it is closed; a mount followed by its unmount leaves the cloud, the
// registry and the proxy's devices as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "MountTestUtil.h"
#include "PluginTestUtil.h"
#include "host/FXString.h"

using namespace mounttest;
using VMInfoStructs::SDisk;
using json = nlohmann::json;

namespace {

constexpr uint64_t kVolumeBytes = 8u << 20;
constexpr auto kRegistered = OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_REGISTERED;
constexpr auto kOpen = OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_OPEN;
constexpr auto kClosed = OracleCloudInfrastructureDiskInfo::OCI_DISK_STATE_CLOSED;

class CDiskPlugin : public InfraPlugin {
 public:
  using COracleCloudInfo::diskMapper;
  using COracleCloudInfrastructureInfo::ConnectDiskInfo, COracleCloudInfrastructureInfo::DisconnectDiskInfo;
  using COracleCloudInfrastructureInfo::diskInfo;
};

// What a job must leave as it found it: the cloud's volumes, snapshots and live attachments, and the proxy's devices.
using SCloudState = std::tuple<json, json, json, std::set<std::string>>;

class PluginDiskHandle : public CMountFixture {
 protected:
  void SetUp() override {
    CMountFixture::SetUp();
    UseSandboxTools();
    // Small volumes with different bytes, so that a device of the wrong volume shows.
    for (const auto& id : InstanceVolumes("sample-db")) {
      Exec("UPDATE volumes SET size_bytes = ? WHERE id = ?", static_cast<int64_t>(kVolumeBytes), id);
      std::filesystem::resize_file(sim::BytesFileOf(*Cloud(), id).path, kVolumeBytes);
      WriteVolume(id, 4096, "the bytes of " + id);
      sourceChecksum[id] = Checksum(id);
    }
    plugin = NewPlugin<CDiskPlugin>();
    ctx = Ctx("sample-db");
    before = State();
  }
  void TearDown() override {
    plugin.reset();
    CMountFixture::TearDown();
  }

  void Mount() {
    ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
    ASSERT_EQ(ctx.vmInfo.disks.size(), 2u);
  }
  int Open(const std::string& diskName, VmdkHandle& handle) {
    return plugin->OpenVmdk("sample-db", ctx.vmGuid, diskName, handle);
  }
  int64_t Attaches() const { return sandbox->Calls("AttachVolume"); }
  int64_t Detaches() const { return sandbox->Calls("DetachVolume"); }
  std::string DeviceChecksum(const VmdkHandle& handle) {
    SDisk opened;
    EXPECT_EQ(plugin->GetVmdkInfo(handle, opened), 1);
    return sim::ChecksumOfSparseFile(opened.name, opened.size);
  }

  SCloudState State() const {
    json live = json::array();
    for (const auto& row : plugintest::Ls(*sandbox, "attachments"))
      if (row["state"] != "DETACHED") live.push_back(row);
    return {plugintest::Ls(*sandbox, "volumes"), plugintest::Ls(*sandbox, "snapshots"), live,
            FilesIn(sandbox->Root() + "/dev/disk/by-path")};
  }
  void ExpectAsBefore() const {
    EXPECT_TRUE(State() == before);
    ExpectNothingLeft();
  }

  std::map<std::string, std::string> sourceChecksum;
  std::unique_ptr<CDiskPlugin> plugin;
  MountCtx ctx;
  SCloudState before;
};

}  // namespace

TEST_F(PluginDiskHandle, OpenAttachesOnceAndItsDeviceHoldsTheReplicasBytes) {
  Mount();
  const SDisk record = ctx.vmInfo.disks[1];
  const std::string upper = FXString::ToUpper(record.guid);
  ASSERT_NE(upper, record.guid) << "the disk's guid has no letter";
  ASSERT_EQ(Attaches(), 0) << "the infrastructure mount attaches nothing itself";

  VmdkHandle handle;
  ASSERT_EQ(Open(record.guid, handle), 1) << plugin->GetLastVMError();
  EXPECT_EQ(plugin->GetLastVMError(), 0);
  EXPECT_EQ(Attaches(), 1);
  SDisk opened;
  ASSERT_EQ(plugin->GetVmdkInfo(handle, opened), 1);
  EXPECT_EQ(opened.createdVolumeId, record.createdVolumeId);
  EXPECT_EQ(opened.name, sandbox->Root() + "/dev/disk/by-path/ip-" + opened.iscsiTargetPortal + ":" +
                             opened.iscsiTargetPort + "-iscsi-" + opened.iscsiIqn + "-lun-1");
  EXPECT_EQ(opened.size, kVolumeBytes);
  EXPECT_TRUE(plugin->diskMapper->IsOffline(opened.name));
  // The device holds the replica's bytes, which are the source volume's at the snapshot.
  EXPECT_EQ(DeviceChecksum(handle), sourceChecksum.at(record.volumeId));
  const std::string session = opened.iscsiTargetPortal + "+" + opened.iscsiTargetPort + "+" + opened.iscsiIqn;
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_ISCSI_SESSION), std::set<std::string>{session});

  // The second open, by the upper-case forms of the names, finds the same disk and attaches nothing.
  VmdkHandle again;
  ASSERT_EQ(plugin->OpenVmdk("sample-db", FXString::ToUpper(ctx.vmGuid), upper, again), 1);
  EXPECT_EQ(again.diskHandle, handle.diskHandle);
  EXPECT_EQ(Attaches(), 1);

  // Close: logged out, unregistered, detached; the replica itself stays for the unmount.
  ASSERT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_FALSE(AttachedToProxy(record.createdVolumeId));
  EXPECT_FALSE(std::filesystem::exists(opened.name));
  EXPECT_TRUE(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_ISCSI_SESSION).empty());
  EXPECT_EQ(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_DISK).count(record.createdVolumeId), 1u);
  EXPECT_EQ(Detaches(), 1);
  // A second close detaches nothing; an open after the close attaches again, with the same bytes.
  ASSERT_EQ(plugin->CloseVmdk(again), 1);
  EXPECT_EQ(Detaches(), 1);
  ASSERT_EQ(Open(record.guid, handle), 1);
  EXPECT_EQ(Attaches(), 2);
  EXPECT_EQ(DeviceChecksum(handle), sourceChecksum.at(record.volumeId));
  EXPECT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  ExpectAsBefore();
}

TEST_F(PluginDiskHandle, OpenRefusesWhatItCannotFind) {
  VmdkHandle handle;
  plugin->SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
  EXPECT_EQ(Open("any-disk", handle), 0) << "before any mount there is no disk bookkeeping";
  EXPECT_EQ(plugin->GetLastVMError(), 0);
  Mount();
  const std::string disk = ctx.vmInfo.disks[0].guid, ghost = "ocid1.instance.oc1.phx.ghost";
  for (const auto& [guid, name, code] : std::vector<std::tuple<std::string, std::string, int>>{
           {ctx.vmGuid, "", 0}, {"", disk, 0}, {ctx.vmGuid, "no-such-disk", 23}, {ghost, disk, 23}}) {
    // The handle holds a registered disk from an earlier call: a failed lookup must not reuse it.
    ASSERT_TRUE(plugin->diskInfo->GetVmdkHandle("first", ctx.vmGuid, disk, handle));
    plugin->SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
    EXPECT_EQ(plugin->OpenVmdk("first", guid, name, handle), 0) << guid << " " << name;
    EXPECT_EQ(plugin->GetLastVMError(), code) << guid << " " << name;
  }
  EXPECT_EQ(Attaches(), 0);
  // A handle the open never filled is refused by the other calls.
  SDisk opened;
  EXPECT_EQ(plugin->GetVmdkInfo(VmdkHandle{}, opened), 0);
  EXPECT_EQ(plugin->CloseVmdk(VmdkHandle{}), 0);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(PluginDiskHandle, CloseOfARegisteredDiskThatWasNeverOpenedRunsTheDetach) {
  Mount();
  VmdkHandle handle;
  ASSERT_TRUE(plugin->diskInfo->GetVmdkHandle("sample-db", ctx.vmGuid, ctx.vmInfo.disks[0].guid, handle));
  ASSERT_EQ(plugin->diskInfo->GetDiskState(handle), kRegistered);
  EXPECT_EQ(plugin->CloseVmdk(handle), 1);
  EXPECT_EQ(Detaches(), 1);
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), kClosed);
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
}

TEST_F(PluginDiskHandle, DisconnectWithADiskStillOpenLogsItAndDropsEveryHandle) {
  Mount();
  const SDisk open = ctx.vmInfo.disks[1], registered = ctx.vmInfo.disks[0];
  VmdkHandle handle;
  ASSERT_EQ(Open(open.guid, handle), 1);
  EXPECT_TRUE(plugin->ConnectDiskInfo(ctx)) << "an instance connected already is connected";
  EXPECT_FALSE(plugin->diskInfo->RegisterDisk("ocid1.instance.oc1.phx.unconnected", open, false));

  EXPECT_TRUE(plugin->DisconnectDiskInfo(ctx));
  EXPECT_TRUE(plugintest::LoggedError("Disk handle is still open. [" + open.guid + "]"));
  EXPECT_FALSE(EvLogSink::Contains("Disk handle is still open. [" + registered.guid + "]"));
  EXPECT_TRUE(AttachedToProxy(open.createdVolumeId)) << "nothing is detached here";
  // The handles are gone: no disk of the instance can be opened any more.
  for (const auto& disk : {open, registered}) {
    VmdkHandle later;
    EXPECT_EQ(Open(disk.guid, later), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_DISK_OPEN_FAILED);
  }
  EXPECT_FALSE(plugin->DisconnectDiskInfo(ctx));
  // The job's clean-up still removes everything the mount and the open made.
  EXPECT_EQ(plugin->CleanupVM(ctx), 1);
  ExpectAsBefore();
}

TEST_F(PluginDiskHandle, StreamLimitIsThirtyTwoUnlessConfigured) {
  EXPECT_EQ(plugin->GetStreamLimit(), 32);
  TZPlatformInfo::SetValue("VirtualServer", "nOCIProxyStreamLimit", "6");
  EXPECT_EQ(plugin->GetStreamLimit(), 6);
}

TEST_F(PluginDiskHandle, UnmountWithADiskLeftOpenStillLeavesEverythingAsItWas) {
  Mount();
  // Every disk opened and read; the first closed, the second left open.
  for (const auto& disk : ctx.vmInfo.disks) {
    SCOPED_TRACE(disk.displayName);
    VmdkHandle handle;
    ASSERT_EQ(Open(disk.guid, handle), 1) << plugin->GetLastVMError();
    EXPECT_EQ(DeviceChecksum(handle), sourceChecksum.at(disk.volumeId));
    if (&disk == &ctx.vmInfo.disks[0]) {
      EXPECT_EQ(plugin->CloseVmdk(handle), 1);
    }
  }
  ASSERT_TRUE(AttachedToProxy(ctx.vmInfo.disks[1].createdVolumeId));
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_TRUE(plugintest::LoggedError("Disk handle is still open. [" + ctx.vmInfo.disks[1].guid + "]"));
  ExpectAsBefore();
}

TEST_F(PluginDiskHandle, FailedCloseKeepsTheDiskOpenAndTheUnmountRemovesIt) {
  Mount();
  const SDisk record = ctx.vmInfo.disks[0];
  VmdkHandle handle;
  ASSERT_EQ(Open(record.guid, handle), 1);
  AddFault("DetachVolume", 1, sim::EFaultAction::Fail, "attachment is busy");
  EXPECT_EQ(plugin->CloseVmdk(handle), 0);
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), kOpen);
  EXPECT_TRUE(AttachedToProxy(record.createdVolumeId));
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  ExpectAsBefore();
}

// The agent cancels during the second wait for a free slot: the open ends with 4000 without another
// attempt, and the unmount removes what the job made.
TEST_F(PluginDiskHandle, OpenCancelledDuringTheSlotWaitIsUnwoundByTheUnmount) {
  Mount();
  AddFault("AttachVolume", 0, sim::EFaultAction::NoSlot);
  const size_t base = clock.Sleeps().size();
  clock.OnSleep([&](size_t index) {
    if (index == base + 1) plugin->SetJobCancelled(true);
  });
  VmdkHandle handle;
  EXPECT_EQ(Open(ctx.vmInfo.disks[0].guid, handle), 0);
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_JOB_CANCELLED);
  EXPECT_EQ(plugin->diskInfo->GetDiskState(handle), kRegistered);
  EXPECT_EQ(Attaches(), 1);  // the pause between attempts sees the cancel
  EXPECT_EQ(clock.Sleeps().size(), base + 2);
  EXPECT_TRUE(EvLogSink::Contains("Detected quit flag during attach disk [" + ctx.vmInfo.disks[0].displayName + "][" +
                                  ctx.vmInfo.disks[0].createdVolumeId + "]"));
  ClearFaults();
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  ExpectAsBefore();
}
