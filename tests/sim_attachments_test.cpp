// Volume attachments through the bridge: iSCSI targets offered to the instance, device links of
// paravirtualized attachments to the proxy, slot limits, detach and delete; checked on the cloud's
// rows and the sandbox's files.
#include <filesystem>
#include <regex>

#include "bridge/sim/SimSandboxPaths.h"
#include "bridge/sim/VolumeFiles.h"
#include "sim_test_cloud.h"

using simtest::CClockScope;
using simtest::CTestCloud;
using VMInfoStructs::SDisk;
namespace fs = std::filesystem;

namespace {

class SimAttachments : public ::testing::TestWithParam<sim::EFlavour> {
 protected:
  std::string Proxy() const { return cloud_.Sandbox().proxyId; }
  // The classic plug-in names the proxy by its uri when it detaches.
  std::string ProxyForDetach() const {
    return GetParam() == sim::EFlavour::Classic ? cloud_.Text("SELECT uri FROM instances WHERE id = ?", Proxy()) : Proxy();
  }
  std::string NewVolume(const std::string& name) {
    SDisk volume;
    volume.displayName = name;
    volume.size = 8 * sim::kMiB;
    EXPECT_TRUE(bridge_->CreateVolume(volume, cloud_.Text("SELECT compartment_id FROM instances WHERE id = ?", Proxy())))
        << bridge_->GetLastError();
    return volume.guid;
  }
  static SDisk IscsiDisk(const std::string& volumeId) {
    SDisk disk;
    disk.createdVolumeId = volumeId;
    disk.attachmentType = "iscsi";
    return disk;
  }
  std::string State(const std::string& volumeId) const {
    return cloud_.Text("SELECT state FROM attachments WHERE volume_id = ? ORDER BY seq DESC LIMIT 1", volumeId);
  }
  std::string TargetFile(const std::string& iqn) const { return cloud_.CloudDir() + "/iscsi/targets/" + iqn; }

  const sim::SFlavourWords& words_ = sim::WordsOf(GetParam());
  CVirtualClock clock_;
  CClockScope scope_{clock_};
  CTestCloud cloud_{GetParam()};
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
  bool noFreeSlot_ = true;
};

TEST_P(SimAttachments, IscsiAttachFillsTheDiskOffersTheTargetAndWaitsUntilAttached) {
  cloud_.SetMeta("provision_seconds.attachment", "45");
  SDisk a = IscsiDisk(NewVolume("replica-1")), b = IscsiDisk(NewVolume("replica-2"));
  ASSERT_TRUE(bridge_->AttachVolume(a, Proxy(), noFreeSlot_)) << bridge_->GetLastError();
  EXPECT_FALSE(noFreeSlot_);
  EXPECT_GE(clock_.TotalSleptMilliseconds(), 45000u) << "returned only once attached";
  ASSERT_TRUE(bridge_->AttachVolume(b, Proxy(), noFreeSlot_)) << bridge_->GetLastError();

  EXPECT_TRUE(std::regex_match(a.iscsiIqn, std::regex(R"(iqn\.2015-12\.com\.oracleiaas:[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12})")))
      << a.iscsiIqn;
  EXPECT_NE(a.iscsiIqn, b.iscsiIqn);
  EXPECT_EQ(a.iscsiTargetPortal + " " + b.iscsiTargetPortal + " " + a.iscsiTargetPort, "169.254.2.2 169.254.2.3 3260");
  EXPECT_EQ(cloud_.Text("SELECT instance_id || ' ' || volume_id || ' ' || state || ' ' || iqn FROM attachments WHERE id = ?",
                        a.attachmentId),
            Proxy() + " " + a.createdVolumeId + " " + words_.attachmentAttached + " " + a.iscsiIqn);
  EXPECT_EQ(simtest::ReadFile(TargetFile(a.iscsiIqn)),
            "path=" + cloud_.BytesPath(a.createdVolumeId) + "\nportal=169.254.2.2\nport=3260\n");

  // Only the volume the job created is ever attached, never the record's source volume.
  SDisk withoutCreated;
  withoutCreated.volumeId = NewVolume("source");
  withoutCreated.targetVolume = NewVolume("target");
  withoutCreated.attachmentType = "iscsi";
  EXPECT_FALSE(bridge_->AttachVolume(withoutCreated, Proxy(), noFreeSlot_));
  EXPECT_EQ(cloud_.Text("SELECT count(*) FROM attachments WHERE volume_id IN (?, ?)", withoutCreated.volumeId,
                        withoutCreated.targetVolume),
            "0");
}

TEST_P(SimAttachments, RefusedAttachesNameTheCauseAndChangeNothing) {
  const std::string web = cloud_.InstanceId("sample-web");
  const std::string webData = cloud_.Text("SELECT id FROM volumes WHERE display_name = 'sample-web-data'");
  const std::string webBoot = cloud_.Text("SELECT boot_volume_id FROM instances WHERE id = ?", web);
  const std::string spare = NewVolume("spare");
  struct SCase {
    std::string volume, instance, type, error;
  } cases[] = {
      {"missing", Proxy(), "iscsi", "Volume with id [missing] was not found"},
      {spare, "missing", "iscsi", "Instance with id [missing] was not found"},
      {webData, Proxy(), "iscsi", "Volume [" + webData + "] is already attached to instance [" + web + "]"},
      {webBoot, Proxy(), "iscsi", "Volume [" + webBoot + "] is the boot volume of instance [" + web + "]"},
      {spare, Proxy(), "nfs", "Attachment type [nfs] is not supported: use iscsi or paravirtualized"},
  };
  for (const SCase& c : cases) {
    SDisk disk = IscsiDisk(c.volume);
    disk.attachmentType = c.type;
    EXPECT_FALSE(bridge_->AttachVolume(disk, c.instance, noFreeSlot_)) << c.error;
    EXPECT_EQ(bridge_->GetLastError(), c.error);
    EXPECT_FALSE(noFreeSlot_) << c.error;
    EXPECT_EQ(disk.iscsiIqn + disk.attachmentId, "");
  }
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM attachments WHERE volume_id = ?", spare), 0);
  EXPECT_TRUE(fs::is_empty(cloud_.CloudDir() + "/iscsi/targets"));
}

TEST_P(SimAttachments, AFullInstanceAndTheNoSlotFaultReportNoFreeSlot) {
  auto set = simtest::RunTool("cloud-sim", {"--sandbox", cloud_.Dir(), "config", "set", "slot_limit", "2"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  std::string v1 = NewVolume("v1"), v2 = NewVolume("v2"), v3 = NewVolume("v3");
  for (const std::string& v : {v1, v2}) ASSERT_TRUE(bridge_->AttachVolume(v, Proxy(), noFreeSlot_));
  EXPECT_FALSE(bridge_->AttachVolume(v3, Proxy(), noFreeSlot_));
  EXPECT_TRUE(noFreeSlot_);
  const std::string full = "Instance [" + Proxy() + "] has no free volume attachment slot for volume [" + v3 + "]";
  EXPECT_EQ(bridge_->GetLastError(), full + ": 2 of 2 slots are in use");
  EXPECT_EQ(State(v3), "");

  ASSERT_TRUE(bridge_->DetachVolume(v1, ProxyForDetach()));
  cloud_.AddFault("AttachVolume", 1, sim::EFaultAction::NoSlot);
  SDisk disk = IscsiDisk(v3);
  EXPECT_FALSE(bridge_->AttachVolume(disk, Proxy(), noFreeSlot_)) << "the fault acts although a slot is free";
  EXPECT_TRUE(noFreeSlot_);
  EXPECT_EQ(bridge_->GetLastError(), full);
  EXPECT_TRUE(bridge_->AttachVolume(disk, Proxy(), noFreeSlot_)) << bridge_->GetLastError();
  EXPECT_FALSE(noFreeSlot_);
}

TEST_P(SimAttachments, DetachPassesOverWhatIsNotAttachedAndWithdrawsTargets) {
  SDisk a = IscsiDisk(NewVolume("a")), b = IscsiDisk(NewVolume("b"));
  const std::string never = NewVolume("never-attached");
  ASSERT_TRUE(bridge_->AttachVolume(a, Proxy(), noFreeSlot_));
  ASSERT_TRUE(bridge_->AttachVolume(b, Proxy(), noFreeSlot_));
  EXPECT_TRUE(bridge_->DetachVolume(never, ProxyForDetach())) << bridge_->GetLastError();
  ASSERT_TRUE(bridge_->DetachVolumes({a.createdVolumeId, never, b.createdVolumeId}, ProxyForDetach()))
      << bridge_->GetLastError();
  for (const SDisk& d : {a, b}) {
    EXPECT_EQ(State(d.createdVolumeId), words_.attachmentDetached);
    EXPECT_FALSE(fs::exists(TargetFile(d.iscsiIqn)));
    EXPECT_EQ(cloud_.Text("SELECT deleted_op FROM created_resources WHERE id = ?", d.attachmentId), "DetachVolumes");
  }
  EXPECT_TRUE(bridge_->DetachVolumes({a.createdVolumeId, b.createdVolumeId}, ProxyForDetach())) << "teardown twice";
  EXPECT_FALSE(bridge_->DetachVolume(never, "missing"));
  EXPECT_EQ(bridge_->GetLastError(), "Instance with id [missing] was not found");

  // Terminating an instance ends its attachments and withdraws their targets too.
  const std::string web = cloud_.InstanceId("sample-web");
  ASSERT_TRUE(bridge_->AttachVolume(a, web, noFreeSlot_)) << bridge_->GetLastError();
  ASSERT_TRUE(bridge_->DeleteVM("", web, true, false)) << bridge_->GetLastError();
  EXPECT_FALSE(fs::exists(TargetFile(a.iscsiIqn)));
  EXPECT_EQ(State(a.createdVolumeId), words_.attachmentDetached);
}

// The classic form attaches paravirtualized: the device link appears on the proxy at once.
TEST_P(SimAttachments, DirectAttachLinksTheBytesAndDeleteWaitsForTheDetach) {
  const std::string volume = NewVolume("direct"), other = NewVolume("elsewhere");
  const std::string bytes = cloud_.BytesPath(volume);
  auto link = [&](const std::string& id) { return sim::VirtioLinkPath(*cloud_.Open(), id); };
  ASSERT_TRUE(bridge_->AttachVolume(volume, Proxy(), noFreeSlot_)) << bridge_->GetLastError();
  EXPECT_EQ(cloud_.Text("SELECT type FROM attachments WHERE volume_id = ?", volume), "paravirtualized");
  EXPECT_EQ(fs::read_symlink(link(volume)).string(), bytes);
  ASSERT_TRUE(bridge_->AttachVolume(other, cloud_.InstanceId("sample-web"), noFreeSlot_));
  EXPECT_FALSE(fs::is_symlink(link(other))) << "not the proxy's device";

  EXPECT_FALSE(bridge_->DeleteVolume(volume));
  EXPECT_EQ(bridge_->GetLastError(),
            "Volume [" + volume + "] cannot be deleted while it is attached to instance [" + Proxy() + "]");
  EXPECT_TRUE(fs::exists(bytes));
  ASSERT_TRUE(bridge_->DetachVolumes({volume}, ProxyForDetach()));
  EXPECT_TRUE(fs::is_empty(cloud_.Dir() + "/root/dev/disk/by-path"));
  ASSERT_TRUE(bridge_->DeleteVolume(volume)) << bridge_->GetLastError();
  EXPECT_FALSE(fs::exists(bytes));
  bool exists = true;
  ASSERT_TRUE(bridge_->DoesVolumeExist(volume, exists));
  EXPECT_FALSE(exists);
  EXPECT_FALSE(bridge_->DeleteVolume(volume)) << "a volume that is gone cannot be deleted again";
  EXPECT_EQ(bridge_->GetLastError(), "Volume with id [" + volume + "] was not found");
}

INSTANTIATE_TEST_SUITE_P(SimFlavours, SimAttachments,
                         ::testing::Values(sim::EFlavour::Infrastructure, sim::EFlavour::Classic),
                         [](const auto& info) { return std::string(sim::FlavourName(info.param)); });

}  // namespace
