// The simulated cloud through the bridge, for both flavours: lifecycles on the host clock, faulty
// resources, refusals in the cloud's words, bytes of snapshots and copies, attachments and slots.
#include <sys/stat.h>

#include <regex>

#include "SimTestUtil.h"
#include "bridge/sim/VolumeFiles.h"
#include "sandbox/VolumeChecksum.h"

using simtest::CTestCloud;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;
namespace fs = std::filesystem;

namespace {

void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(static_cast<std::streamoff>(offset))
      << bytes;
}

class SimCloud : public ::testing::TestWithParam<sim::EFlavour> {
 protected:
  SVMInfo Record(const std::string& id, UINT64 flags = 58) {
    SVMInfo vm;
    EXPECT_TRUE(bridge_->GetVMInfo("", id, vm, flags)) << bridge_->GetLastError();
    return vm;
  }
  std::string Sum(const std::string& id) const { return sim::VolumeChecksum(*cloud_.Open(), id); }
  void Refused(bool done, const std::string& text) {
    EXPECT_FALSE(done) << text;
    EXPECT_EQ(bridge_->GetLastError(), text);
  }
  std::string State(bool snapshot, const std::string& id) {
    std::string state;
    EXPECT_TRUE(snapshot ? bridge_->GetSnapshotStatus(id, state) : bridge_->GetVolumeStatus(id, state));
    return state;
  }
  // What jobs made and did not delete, as "kind:name" in creation order.
  std::string Left() const {
    return cloud_.Text("SELECT group_concat(kind || ':' || name) FROM created_resources WHERE deleted = 0");
  }
  SDisk NewVolume(const std::string& name) {
    SDisk d;
    d.displayName = name, d.size = 8 * sim::kMiB, d.attachmentType = "iscsi";
    EXPECT_TRUE(bridge_->CreateVolume(d, cloud_.Text("SELECT compartment_id FROM instances WHERE id = ?", proxy_)));
    d.createdVolumeId = d.guid;
    return d;
  }
  std::string Attachment(const std::string& volume) const {
    return cloud_.Text("SELECT state FROM attachments WHERE volume_id = ? ORDER BY seq DESC LIMIT 1", volume);
  }

  CVirtualClock clock_;
  hosttest::ScopedClock scope_{&clock_};
  CTestCloud cloud_{GetParam()};
  const sim::SFlavourWords& w_ = sim::WordsOf(GetParam());
  const std::string proxy_ = cloud_.Sandbox().proxyId, web_ = cloud_.InstanceId("sample-web");
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
};

// Each transition takes its provisioning time, is settled when read, and refuses what its state does not allow.
TEST_P(SimCloud, ProvisioningTimesDriveEveryLifecycle) {
  for (const char* kind : {"instance", "snapshot", "volume"})
    cloud_.SetMeta(std::string("provision_seconds.") + kind, "30");
  ASSERT_TRUE(bridge_->PowerOffInstance(web_));
  Refused(bridge_->PowerOnInstance(web_),
          "Instance [" + web_ + "] cannot be started while it is " + w_.instanceStopping);
  clock_.Advance(29);
  EXPECT_EQ(Record(web_, 0).lifecycleState, w_.instanceStopping);
  clock_.Advance(1);
  EXPECT_EQ(Record(web_, 0).lifecycleState, w_.instanceStopped);

  std::string snapshot, replica, refused;
  ASSERT_TRUE(bridge_->CreateVolumeSnapshot(cloud_.VolumeId("sample-web-data"), "d", "n", snapshot));
  Refused(bridge_->CreateVolumeFromSnapshot(snapshot, "early", refused),
          "Snapshot [" + snapshot + "] is not available: it is " + w_.snapshotProvisioning);
  clock_.Advance(30);
  ASSERT_TRUE(bridge_->CreateVolumeFromSnapshot(snapshot, "replica", replica));
  Refused(bridge_->CreateVolumeSnapshot(replica, "d", "n", refused),
          "Volume [" + replica + "] is not available: it is " + w_.volumeProvisioning);
  clock_.Advance(30);
  EXPECT_EQ(State(false, replica), w_.volumeAvailable);

  // WaitForBoot sleeps on the host clock and is woken when due, not a poll later.
  SVMInfo slow;
  slow.name = "slow";
  ASSERT_TRUE(bridge_->DeployVM(slow, web_, 0));
  SVMInfo impatient = slow;
  Refused(bridge_->WaitForBoot(impatient, 20, true), "Instance [" + slow.guid + "] did not reach " +
                                                         w_.instanceRunning + " within 20 seconds: it is " +
                                                         w_.instanceProvisioning);
  EXPECT_EQ(clock_.TotalSleptMilliseconds(), 20000u);
  ASSERT_TRUE(bridge_->WaitForBoot(slow, 600, true)) << bridge_->GetLastError();
  EXPECT_EQ(slow.powerState, 1u);
  EXPECT_GE(clock_.TotalSleptMilliseconds(), 30000u);
  EXPECT_LE(clock_.TotalSleptMilliseconds(), 32000u);

  // A delete that does not wait returns while terminating.
  ASSERT_TRUE(bridge_->DeleteVM("", web_, false, false)) << bridge_->GetLastError();
  EXPECT_EQ(Record(web_, 0).lifecycleState, w_.instanceTerminating);
}

TEST_P(SimCloud, FaultyRulesEndResourcesFaulty) {
  for (const char* op : {"CreateVolumeSnapshot", "CreateVolumeFromSnapshot", "DeployVM"}) {
    cloud_.AddFault(op, 1, sim::EFaultAction::Faulty);
  }
  cloud_.AddFault("CreateVolumeSnapshot", 3, sim::EFaultAction::Faulty);
  const std::string data = cloud_.VolumeId("sample-web-data");
  std::string faulty, good, late, volume;
  ASSERT_TRUE(bridge_->CreateVolumeSnapshot(data, "d", "bad", faulty)) << "the request itself succeeds";
  ASSERT_TRUE(bridge_->CreateVolumeSnapshot(data, "d", "good", good));
  EXPECT_EQ(State(true, faulty) + State(true, good), w_.snapshotFaulty + std::string(w_.snapshotAvailable));
  ASSERT_TRUE(bridge_->CreateVolumeSnapshot(data, "d", "late", late));
  EXPECT_EQ(State(true, late), w_.snapshotFaulty) << "the third";
  ASSERT_TRUE(bridge_->CreateVolumeFromSnapshot(good, "replica", volume));
  EXPECT_EQ(State(false, volume), w_.volumeFaulty);
  Refused(bridge_->CreateVolumeFromSnapshot(faulty, "from-faulty", volume),
          "Snapshot [" + faulty + "] is not available: it is " + w_.snapshotFaulty);

  SVMInfo broken;
  broken.name = "broken";
  ASSERT_TRUE(bridge_->DeployVM(broken, web_, 0));
  Refused(bridge_->WaitForBoot(broken, 600, true),
          "Instance [" + broken.guid + "] did not boot: it is " + w_.instanceStopped);
  EXPECT_EQ(clock_.TotalSleptMilliseconds(), 0u) << "a failed boot ends the wait at once";
}

// A refused call names the cause in the cloud's words and makes nothing.
TEST_P(SimCloud, RefusalsNameTheCauseAndChangeNothing) {
  const std::string id = cloud_.Classic() ? "5e1b6f0c-0000-4000-8000-000000000000" : "ocid1.instance.oc1.phx.unknown";
  const std::string data = cloud_.VolumeId("sample-web-data"), db = cloud_.InstanceId("sample-db");
  const std::string boot = cloud_.Text("SELECT boot_volume_id FROM instances WHERE id = ?", web_);
  std::string out;
  bool noSlot = false;
  SVMInfo vm;
  auto attach = [&](const std::string& volume, const std::string& instance, const std::string& type = "iscsi") {
    SDisk d;
    d.createdVolumeId = volume, d.attachmentType = type;
    return bridge_->AttachVolume(d, instance, noSlot);
  };
  const std::pair<std::function<bool()>, std::string> cases[] = {
      {[&] { return bridge_->PowerOnInstance(id); }, "Instance with id [" + id + "] was not found"},
      {[&] { return bridge_->DeleteVM("nobody", "", true, false); }, "Instance [nobody] was not found"},
      {[&] { return bridge_->GetVMInfo("", "", vm, 0); }, "Neither an instance name nor an instance id was given"},
      {[&] { return vm.name = "x", bridge_->DeployVM(vm, id, 0); },
       "Source [" + id + "] is neither an instance nor an image"},
      {[&] {
         vm.guid = db, vm.vmSize = "VM.Standard.E4.Flex", vm.cpuCount = 65;
         return bridge_->ReConfigureVM(vm);
       },
       "Shape [VM.Standard.E4.Flex] allows 1 to 64 processors, not 65"},
      {[&] { return bridge_->CreateVolumeSnapshot("vol-x", "d", "n", out); }, "Volume with id [vol-x] was not found"},
      {[&] { return bridge_->DeleteVolume(data); },
       "Volume [" + data + "] cannot be deleted while it is attached to instance [" + web_ + "]"},
      {[&] { return attach("missing", proxy_); }, "Volume with id [missing] was not found"},
      {[&] { return attach(data, "missing"); }, "Instance with id [missing] was not found"},
      {[&] { return attach(data, proxy_); }, "Volume [" + data + "] is already attached to instance [" + web_ + "]"},
      {[&] { return attach(boot, proxy_); }, "Volume [" + boot + "] is the boot volume of instance [" + web_ + "]"},
  };
  for (const auto& [call, text] : cases) Refused(call(), text);
  EXPECT_FALSE(noSlot) << "a refusal is no missing slot";
  EXPECT_EQ(Left(), "");
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM attachments"), 2);
  EXPECT_EQ(Record(db, 0).cpuCount, 2) << "a refused size leaves the shape as it was";

  // A second instance of the same name makes the name ambiguous.
  SVMInfo twin;
  twin.name = "sample-web";
  clock_.Advance(1);
  ASSERT_TRUE(bridge_->DeployVM(twin, web_, 0)) << bridge_->GetLastError();
  Refused(bridge_->GetVMInfo("sample-web", "", vm, 0),
          "Instance name [sample-web] is ambiguous: 2 instances carry it (" + web_ + ", " + twin.guid + ")");
}

// Snapshots hold the bytes of their request time, replicas copy them into separate sparse files,
// and what a job made is booked until it is deleted.
TEST_P(SimCloud, SnapshotsAndReplicasHoldTheBytesOfTheRequestTime) {
  const std::string volume = cloud_.VolumeId("sample-db-data"), original = Sum(volume);
  std::string snapshot, replica;
  ASSERT_TRUE(bridge_->CreateVolumeSnapshot(volume, "nightly", "snap-1", snapshot)) << bridge_->GetLastError();
  WriteAt(cloud_.BytesPath(volume), sim::kMiB, "overwritten");  // into a data run
  WriteAt(cloud_.BytesPath(volume), 40 * sim::kMiB, "new data in a hole");
  ASSERT_NE(Sum(volume), original);
  EXPECT_EQ(Sum(snapshot), original);
  ASSERT_TRUE(bridge_->CreateVolumeFromSnapshot(snapshot, "replica-1", replica)) << bridge_->GetLastError();
  EXPECT_EQ(Sum(replica), original);
  for (const std::string& id : {snapshot, replica}) {
    struct stat st {};
    ASSERT_EQ(::stat(cloud_.BytesPath(id).c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), 128 * sim::kMiB);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 8 * sim::kMiB) << "holes stay holes";
  }

  EXPECT_EQ(Left(), "snapshot:snap-1,volume:replica-1");
  ASSERT_TRUE(bridge_->DeleteVolumeSnapshot(snapshot)) << bridge_->GetLastError();
  EXPECT_EQ(cloud_.BytesPath(snapshot), "");
  EXPECT_EQ(Left(), "volume:replica-1");
  EXPECT_EQ(Sum(replica), original) << "a volume made from a deleted snapshot stays";
}

TEST_P(SimCloud, AttachmentsOfferTargetsWithinTheSlotLimit) {
  cloud_.SetMeta("provision_seconds.attachment", "45");
  // On classic the proxy's boot volume takes a slot of its own.
  const std::string limit = cloud_.Classic() ? "3" : "2";
  cloud_.SetMeta("slot_limit", limit);
  // The classic plug-in names the proxy by its uri when it detaches.
  const std::string detachProxy = cloud_.Classic() ? Record(proxy_, 0).uri : proxy_;
  auto target = [&](const SDisk& d) { return cloud_.CloudDir() + "/iscsi/targets/" + d.iscsiIqn; };
  SDisk a = NewVolume("a"), b = NewVolume("b"), c = NewVolume("c"), never = NewVolume("never");
  bool noSlot = true;
  ASSERT_TRUE(bridge_->AttachVolume(a, proxy_, noSlot)) << bridge_->GetLastError();
  EXPECT_FALSE(noSlot);
  EXPECT_GE(clock_.TotalSleptMilliseconds(), 45000u) << "returned once attached";
  ASSERT_TRUE(bridge_->AttachVolume(b, proxy_, noSlot)) << bridge_->GetLastError();
  EXPECT_TRUE(std::regex_match(a.iscsiIqn, std::regex(R"(iqn\.2015-12\.com\.oracleiaas:[-0-9a-f]{36})")));
  EXPECT_EQ(a.iscsiTargetPortal + " " + b.iscsiTargetPortal + " " + a.iscsiTargetPort, "169.254.2.2 169.254.2.3 3260");
  EXPECT_EQ(Attachment(a.guid), w_.attachmentAttached);
  EXPECT_EQ(ReadTestFile(target(a)), "path=" + cloud_.BytesPath(a.guid) + "\nportal=169.254.2.2\nport=3260\n");

  // Two of two slots in use: the next is refused for want of a slot, and so is one under the
  // noslot rule although a slot is free.
  const std::string full = "Instance [" + proxy_ + "] has no free volume attachment slot for volume [" + c.guid + "]";
  Refused(bridge_->AttachVolume(c, proxy_, noSlot), full + ": " + limit + " of " + limit + " slots are in use");
  EXPECT_TRUE(noSlot);
  EXPECT_EQ(Attachment(c.guid), "");
  ASSERT_TRUE(bridge_->DetachVolumes({a.guid, never.guid}, detachProxy)) << "what is not attached is passed over";
  EXPECT_EQ(Attachment(a.guid), w_.attachmentDetached);
  EXPECT_FALSE(fs::exists(target(a))) << "a detach withdraws the target";
  cloud_.AddFault("AttachVolume", 1, sim::EFaultAction::NoSlot);
  Refused(bridge_->AttachVolume(c, proxy_, noSlot), full);
  EXPECT_TRUE(noSlot);
  ASSERT_TRUE(bridge_->AttachVolume(c, proxy_, noSlot)) << bridge_->GetLastError();
  EXPECT_FALSE(noSlot);

  // Only the volume the job created is ever attached, never the record's source volume.
  never.createdVolumeId = "", never.volumeId = never.guid;
  EXPECT_FALSE(bridge_->AttachVolume(never, web_, noSlot));
  EXPECT_EQ(Attachment(never.guid), "");

  // Terminating an instance ends its attachments and withdraws their targets.
  ASSERT_TRUE(bridge_->AttachVolume(a, web_, noSlot)) << bridge_->GetLastError();
  ASSERT_TRUE(bridge_->DeleteVM("", web_, true, false));
  EXPECT_FALSE(fs::exists(target(a)));
  EXPECT_EQ(Attachment(a.guid), w_.attachmentDetached);
}

INSTANTIATE_TEST_SUITE_P(SimFlavours, SimCloud,
                         ::testing::Values(sim::EFlavour::Infrastructure, sim::EFlavour::Classic),
                         [](const auto& info) { return std::string(sim::FlavourName(info.param)); });

}  // namespace
