// The REST backend's volume operations against cloud-sim serve, each run through both backends on one
// cloud: the same records, states, bytes and errors' meaning; fault rules and tags as in process.
#include <filesystem>

#include "PluginTestUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/rest/ApiCredentials.h"
#include "bridge/rest/RestApi.h"
#include "host/HostTypes.h"

using namespace OracleCloudSDKCppBridge;
using namespace plugintest;
namespace fs = std::filesystem;

namespace {

class RestVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rest_.Connect(sandbox_.CloudUrl(), sandbox_.CloudUser(), "")) << rest_.GetLastError();
    ASSERT_TRUE(sim_.Connect("sim://" + sandbox_.Dir() + "/cloud", "agent", "")) << sim_.GetLastError();
    const json volumes = Ls(sandbox_, "volumes");
    dataVolume_ = RowWhere(volumes, "name", "sample-db-data")["id"];
    bootVolume_ = RowWhere(volumes, "name", "sample-db (Boot Volume)")["id"];
  }
  struct SBackend {
    const char* name;
    COracleCloudSDKCppBridge& bridge;
  };
  std::vector<SBackend> Backends() { return {{"sim", sim_}, {"rest", rest_}}; }
  json Volume(const std::string& id) { return RowWhere(Ls(sandbox_, "volumes"), "id", id); }
  json Snapshot(const std::string& id) { return RowWhere(Ls(sandbox_, "snapshots"), "id", id); }
  // The sandbox's iscsiadm as the plug-in runs it; its status.
  int Iscsiadm(const SDisk& disk, const std::string& action) {
    const std::string target = " -T " + disk.iscsiIqn + " -p " + disk.iscsiTargetPortal + ":" + disk.iscsiTargetPort;
    const std::string line = action == "login"
                                 ? "iscsiadm -m node -o new" + target + " && iscsiadm -m node" + target + " -l"
                                 : "iscsiadm -m node" + target + " -u; iscsiadm -m node -o delete" + target;
    const int status =
        std::system(("PATH='" + sandbox_.Dir() + "/bin':\"$PATH\"; " + line + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
  COracleCloudSDKCppBridge rest_{VSINST_ORACLE_CLOUD_INFRASTRUCTURE}, sim_{VSINST_ORACLE_CLOUD_INFRASTRUCTURE};
  std::string dataVolume_, bootVolume_;
};

// A snapshot of a data and of a boot volume, a volume from each, an iSCSI attach the proxy logs in
// to, detach and deletion: each backend makes alike what the other then reads alike.
TEST_F(RestVolumes, SnapshotRestoreAttachDetachAndDeleteAlikeThroughBothBackends) {
  const std::string proxy = sandbox_.ProxyInstanceId();
  std::map<std::string, json> made;  // by backend and source: the new volume's row
  for (const SBackend& b : Backends()) {
    for (const std::string& source : {dataVolume_, bootVolume_}) {
      const bool boot = source == bootVolume_;
      const std::string label = std::string(b.name) + (boot ? " boot" : " data");
      std::string snapshotId, volumeId, state;
      ASSERT_TRUE(b.bridge.CreateVolumeSnapshot(source, "backup of " + label, "snap " + label, snapshotId))
          << label << b.bridge.GetLastError();
      EXPECT_EQ(snapshotId.rfind(boot ? "ocid1.bootvolumebackup." : "ocid1.volumebackup.", 0), 0u) << snapshotId;
      const json snapshot = Snapshot(snapshotId);
      EXPECT_EQ(snapshot["description"], "backup of " + label);
      EXPECT_EQ(snapshot["name"], "snap " + label);
      for (const SBackend& reader : Backends()) {
        bool exists = false;
        ASSERT_TRUE(reader.bridge.GetSnapshotStatus(snapshotId, state)) << reader.bridge.GetLastError();
        EXPECT_EQ(state, "AVAILABLE") << label << " read by " << reader.name;
        ASSERT_TRUE(reader.bridge.DoesVolumeSnapshotExist(snapshotId, exists) && exists) << label;
      }
      ASSERT_TRUE(b.bridge.CreateVolumeFromSnapshot(snapshotId, "copy " + label, volumeId)) << b.bridge.GetLastError();
      for (const SBackend& reader : Backends()) {
        ASSERT_TRUE(reader.bridge.GetVolumeStatus(volumeId, state)) << reader.bridge.GetLastError();
        EXPECT_EQ(state, "AVAILABLE") << label << " read by " << reader.name;
      }
      const json volume = Volume(volumeId), original = Volume(source);
      EXPECT_EQ(volume["is_boot"], boot) << volume;
      EXPECT_EQ(volume["source_snapshot_id"], snapshotId);
      for (const char* field : {"compartment", "availability_domain", "size_bytes"})
        EXPECT_EQ(volume[field], original[field]) << field;
      EXPECT_EQ(Checksum(sandbox_, volumeId), Checksum(sandbox_, source)) << label;
      made[label] = volume;

      SDisk disk;
      disk.createdVolumeId = volumeId;
      disk.attachmentType = "iscsi";
      bool noFreeSlot = true;
      ASSERT_TRUE(b.bridge.AttachVolume(disk, proxy, noFreeSlot)) << label << b.bridge.GetLastError();
      EXPECT_FALSE(noFreeSlot);
      EXPECT_EQ(RowWhere(Ls(sandbox_, "attachments"), "id", disk.attachmentId)["state"], "ATTACHED");
      ASSERT_EQ(Iscsiadm(disk, "login"), 0) << label << " " << disk.iscsiIqn << " " << disk.iscsiTargetPortal;
      ASSERT_EQ(Iscsiadm(disk, "logout"), 0) << label;
      // A detach from the other backend ends it alike; the target goes with it.
      COracleCloudSDKCppBridge& other = &b.bridge == &sim_ ? rest_ : sim_;
      ASSERT_TRUE(other.DetachVolumes({volumeId, dataVolume_ + "-none"}, proxy)) << other.GetLastError();
      EXPECT_EQ(RowWhere(Ls(sandbox_, "attachments"), "id", disk.attachmentId)["state"], "DETACHED");
      EXPECT_FALSE(fs::exists(sandbox_.Dir() + "/cloud/iscsi/targets/" + disk.iscsiIqn));

      EXPECT_TRUE(other.DoesVolumeExist("copy " + label, std::string(volume["compartment"])));
      ASSERT_TRUE(b.bridge.DeleteVolume(volumeId)) << b.bridge.GetLastError();
      ASSERT_TRUE(b.bridge.DeleteVolumeSnapshot(snapshotId)) << b.bridge.GetLastError();
      for (const SBackend& reader : Backends()) {
        bool exists = true;
        ASSERT_TRUE(reader.bridge.DoesVolumeExist(volumeId, exists)) << reader.bridge.GetLastError();
        EXPECT_FALSE(exists) << label << " read by " << reader.name;
        ASSERT_TRUE(reader.bridge.DoesVolumeSnapshotExist(snapshotId, exists)) << reader.bridge.GetLastError();
        EXPECT_FALSE(exists) << label << " read by " << reader.name;
        EXPECT_FALSE(reader.bridge.DoesVolumeExist("copy " + label, ""));
        // What is gone is refused alike: the text names it as not found.
        EXPECT_FALSE(reader.bridge.GetVolumeStatus(volumeId, state));
        EXPECT_NE(reader.bridge.GetLastError().find("[" + volumeId + "] was not found"), std::string::npos)
            << reader.bridge.GetLastError();
        EXPECT_FALSE(reader.bridge.DeleteVolumeSnapshot(snapshotId));
        EXPECT_NE(reader.bridge.GetLastError().find("not found"), std::string::npos) << reader.bridge.GetLastError();
      }
    }
  }
  EXPECT_EQ(made["sim data"]["name"], "copy sim data");
  EXPECT_EQ(made["rest boot"]["name"], "copy rest boot");
  EXPECT_EQ(made["sim boot"]["size_bytes"], made["rest boot"]["size_bytes"]);
  sandbox_.ExpectNothingLeft();
}

// A fault rule meets the operation over REST as in process: counted once however many requests it
// makes, a faulty backup ends FAULTY, and a full instance sets noFreeSlot.
TEST_F(RestVolumes, FaultRulesMeetEachOperationOnceAsInProcess) {
  for (const SBackend& b : Backends()) {
    const long snapshots = sandbox_.Calls("CreateVolumeSnapshot"), attaches = sandbox_.Calls("AttachVolume");
    sandbox_.Fault("CreateVolumeSnapshot", 1, "faulty");
    std::string snapshotId, state;
    ASSERT_TRUE(b.bridge.CreateVolumeSnapshot(dataVolume_, "", "", snapshotId)) << b.bridge.GetLastError();
    ASSERT_TRUE(rest_.GetSnapshotStatus(snapshotId, state));
    EXPECT_EQ(state, "FAULTY") << b.name;
    EXPECT_EQ(sandbox_.Calls("CreateVolumeSnapshot"), snapshots + 1) << b.name;
    std::string volumeId;
    EXPECT_FALSE(b.bridge.CreateVolumeFromSnapshot(snapshotId, "", volumeId)) << b.name;
    EXPECT_NE(b.bridge.GetLastError().find("is not available: it is FAULTY"), std::string::npos)
        << b.bridge.GetLastError();
    ASSERT_TRUE(b.bridge.DeleteVolumeSnapshot(snapshotId));

    sandbox_.Fault("AttachVolume", 1, "noslot");
    SDisk disk;
    disk.displayName = std::string("spare ") + b.name;
    disk.size = 3 * 1024 * 1024;
    ASSERT_TRUE(b.bridge.CreateVolume(disk, RowWhere(Ls(sandbox_, "volumes"), "id", dataVolume_)["compartment"]))
        << b.bridge.GetLastError();
    disk.createdVolumeId = disk.volumeId;
    disk.attachmentType = "paravirtualized";
    bool noFreeSlot = false;
    EXPECT_FALSE(b.bridge.AttachVolume(disk, sandbox_.ProxyInstanceId(), noFreeSlot)) << b.name;
    EXPECT_TRUE(noFreeSlot) << b.name;
    EXPECT_NE(b.bridge.GetLastError().find("has no free volume attachment slot"), std::string::npos)
        << b.bridge.GetLastError();
    EXPECT_EQ(sandbox_.Calls("AttachVolume"), attaches + 1) << b.name;
    EXPECT_TRUE(Column(RowsWhere(Ls(sandbox_, "attachments"), "volume_id", disk.volumeId), "state").empty());
    ASSERT_TRUE(b.bridge.DeleteVolume(disk.volumeId)) << b.bridge.GetLastError();
  }
  sandbox_.ExpectNothingLeft();
}

// A create carries the bridge's tags and the thread's token as freeform tags; the description of a
// volume is cleared through an update; the server refuses a field its request does not have.
TEST_F(RestVolumes, CreatesCarryTheTagsAndTheServerRefusesUnknownFields) {
  rest_.SetResourceTags({{"Owner", "proxy-7"}});
  COracleCloudSDKCppBridge::SetThreadCreateToken("request-42");
  SDisk disk;
  disk.displayName = "tagged";
  disk.description = "made by a restore";
  disk.size = 2ull * 1024 * 1024 * 1024;
  ASSERT_TRUE(rest_.CreateVolume(disk, RowWhere(Ls(sandbox_, "volumes"), "id", dataVolume_)["compartment"]))
      << rest_.GetLastError();
  COracleCloudSDKCppBridge::SetThreadCreateToken("");
  EXPECT_EQ(Volume(disk.volumeId)["size_bytes"], disk.size);
  std::vector<STaggedResource> found;
  ASSERT_TRUE(sim_.FindTaggedResources(EResourceKind::Volume, "BackupRequest", "request-42", found));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, disk.volumeId);
  EXPECT_EQ(found[0].tags, (std::map<std::string, std::string>{{"Owner", "proxy-7"}, {"BackupRequest", "request-42"}}));
  EXPECT_EQ(Volume(disk.volumeId)["description"], "made by a restore");
  ASSERT_TRUE(rest_.ClearDescriptionForVolume(disk.volumeId)) << rest_.GetLastError();
  EXPECT_EQ(Volume(disk.volumeId)["description"], "");
  ASSERT_TRUE(sim_.FindTaggedResources(EResourceKind::Volume, "Owner", "proxy-7", found));
  ASSERT_EQ(found.size(), 1u) << "the update kept the other tags";
  EXPECT_TRUE(rest_.MakeVolumeBootable(bootVolume_)) << rest_.GetLastError();
  EXPECT_FALSE(rest_.MakeVolumeBootable(disk.volumeId));
  EXPECT_NE(rest_.GetLastError().find("is a block volume"), std::string::npos) << rest_.GetLastError();
  ASSERT_TRUE(rest_.DeleteVolume(disk.volumeId)) << rest_.GetLastError();

  SApiCredentials user;
  std::string error;
  ASSERT_TRUE(ReadApiCredentials(sandbox_.CloudUser(), "", user, error)) << error;
  CRestApi api(SRestEndpoints::FromUrl(sandbox_.CloudUrl()), MakeRequestSigner(user, error), SHttpOptions{});
  const struct {
    const char* path;
    json body;
    long status;
    const char* code;
  } refused[] = {
      {"/20160918/volumes",
       {{"compartmentId", "c"}, {"availabilityDomain", "a"}, {"sizeInMBs", 1}, {"bogus", 1}},
       400,
       "InvalidParameter"},
      {"/20160918/volumes", {{"availabilityDomain", "a"}, {"sizeInMBs", 1}}, 400, "MissingParameter"},
      {"/20160918/volumeBackups", {{"volumeId", bootVolume_}}, 404, "NotAuthorizedOrNotFound"},
      {"/20160918/volumeAttachments",
       {{"type", "emulated"}, {"instanceId", "i"}, {"volumeId", dataVolume_}},
       400,
       "InvalidParameter"},
  };
  for (const auto& r : refused) {
    try {
      api.Post(ERestService::Core, r.path, r.body);
      ADD_FAILURE() << r.body << " was taken";
    } catch (const CRestError& e) {
      EXPECT_EQ(e.Status(), r.status) << r.body << e.what();
      EXPECT_EQ(e.Code(), r.code) << r.body << e.what();
    }
  }
  // The boot volume of an instance, as the instance's records are read.
  const json proxyBoot = RowWhere(Ls(sandbox_, "volumes"), "name", "backup-proxy (Boot Volume)");
  const std::vector<json> boots = api.List(ERestService::Core, "/20160918/bootVolumeAttachments",
                                           {{"availabilityDomain", proxyBoot["availability_domain"]},
                                            {"compartmentId", proxyBoot["compartment"]},
                                            {"instanceId", sandbox_.ProxyInstanceId()}});
  ASSERT_EQ(boots.size(), 1u);
  EXPECT_EQ(boots[0]["bootVolumeId"], proxyBoot["id"]);
  EXPECT_EQ(boots[0]["lifecycleState"], "ATTACHED");
  EXPECT_EQ(Volume(dataVolume_)["state"], "AVAILABLE");
  EXPECT_TRUE(RowsWhere(Ls(sandbox_, "volumes"), "name", "tagged").empty());
}

}  // namespace
