// Volumes, objects and image imports a restore asks for, with their provisioning times,
// deletions and bookkeeping.
#include <sys/stat.h>

#include <filesystem>

#include "sim_test_cloud.h"

using simtest::CClockScope;
using simtest::CTestCloud;
using VMInfoStructs::SDisk;

namespace {

class SimVolumeOps : public ::testing::Test {
 protected:
  std::string Compartment(const std::string& name) const {
    return cloud_.Text("SELECT id FROM compartments WHERE name = ?", name);
  }
  std::string ObjectFile(const std::string& object) const {
    return cloud_.CloudDir() + "/objects/" +
           cloud_.Text("SELECT file FROM objects WHERE bucket = 'image-import' AND name = ?", object);
  }

  CVirtualClock clock_;
  CClockScope scope_{clock_};
  CTestCloud cloud_;
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
};

TEST_F(SimVolumeOps, CreateVolumeMakesAnEmptySparseVolumeAndWaitsUntilItIsUsable) {
  cloud_.SetMeta("provision_seconds.volume", "20");
  SDisk volume;
  volume.displayName = "restored_1800000000";
  volume.size = 50ull << 30;
  volume.availabilityDomain = "Uocm:PHX-AD-2";
  volume.description = "for job 7";
  const std::string production = Compartment("Production");
  ASSERT_TRUE(bridge_->CreateVolume(volume, production)) << bridge_->GetLastError();
  EXPECT_EQ(volume.guid, volume.volumeId);
  EXPECT_EQ(cloud_.Text("SELECT display_name || '|' || ad || '|' || compartment_id || '|' || size_bytes || '|' || state "
                        "|| '|' || description FROM volumes WHERE id = ?",
                        volume.guid),
            "restored_1800000000|Uocm:PHX-AD-2|" + production + "|53687091200|AVAILABLE|for job 7");
  EXPECT_GE(clock_.TotalSleptMilliseconds(), 20000u) << "returned only once available";
  struct stat st;
  ASSERT_EQ(::stat(cloud_.BytesPath(volume.guid).c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), volume.size);
  EXPECT_EQ(st.st_blocks, 0);

  EXPECT_TRUE(bridge_->DoesVolumeExist("restored_1800000000", production));
  EXPECT_FALSE(bridge_->DoesVolumeExist("restored_1800000000", Compartment("Backup")));
  ASSERT_TRUE(bridge_->MakeVolumeBootable(volume.guid));
  ASSERT_TRUE(bridge_->ClearDescriptionForVolume(volume.guid));
  EXPECT_EQ(cloud_.Text("SELECT bootable || '|' || description FROM volumes WHERE id = ?", volume.guid), "1|");

  SDisk refused = volume;
  refused.guid = refused.volumeId = "";
  refused.availabilityDomain = "AD-9";
  EXPECT_FALSE(bridge_->CreateVolume(refused, production));
  EXPECT_EQ(bridge_->GetLastError(), "Availability domain [AD-9] was not found");
  EXPECT_EQ(refused.guid + refused.volumeId, "");
}

TEST_F(SimVolumeOps, AnUploadedObjectIsImportedAsAnImageOverTime) {
  cloud_.SetMeta("provision_seconds.image", "120");
  const std::string stub(1 << 20, '\x5a');
  ASSERT_TRUE(bridge_->UploadToObjectStorage("image-import", "_TZ_OBJECT_7", "old bytes"));
  ASSERT_TRUE(bridge_->UploadToObjectStorage("image-import", "_TZ_OBJECT_7", stub)) << bridge_->GetLastError();
  EXPECT_EQ(simtest::ReadFile(ObjectFile("_TZ_OBJECT_7")), stub);
  const std::string objects = cloud_.CloudDir() + "/objects";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(objects), {}), 1) << "the replaced bytes are gone";

  std::string imageId;
  ASSERT_TRUE(bridge_->CreateImage("image-import", "_TZ_OBJECT_7", "_TZ_IMAGE_7", "PARAVIRTUALIZED",
                                   Compartment("Backup"), imageId))
      << bridge_->GetLastError();
  EXPECT_EQ(cloud_.Text("SELECT name || '|' || launch_mode || '|' || state FROM images WHERE id = ?", imageId),
            "_TZ_IMAGE_7|PARAVIRTUALIZED|IMPORTING");
  bool done = true;
  ASSERT_TRUE(bridge_->IsImageImportOperationCompleted(imageId, done));
  EXPECT_FALSE(done);
  clock_.Advance(120);
  ASSERT_TRUE(bridge_->IsImageImportOperationCompleted(imageId, done));
  EXPECT_TRUE(done);

  EXPECT_FALSE(bridge_->CreateImage("image-import", "_TZ_OBJECT_7", "x", "native", Compartment("Backup"), imageId));
  EXPECT_EQ(bridge_->GetLastError(),
            "Launch mode [native] of image [x] is not one of NATIVE, EMULATED, PARAVIRTUALIZED, CUSTOM");
  const std::string platformImage = cloud_.Text("SELECT id FROM images WHERE compartment_id = '' LIMIT 1");
  EXPECT_FALSE(bridge_->DeleteImage(platformImage));
  EXPECT_EQ(bridge_->GetLastError(), "Image [" + platformImage + "] is a platform image and cannot be deleted");

  ASSERT_TRUE(bridge_->DeleteStorageObject("image-import", "_TZ_OBJECT_7"));
  EXPECT_TRUE(std::filesystem::is_empty(objects));
  ASSERT_TRUE(bridge_->DeleteImage(imageId)) << bridge_->GetLastError();
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM images WHERE id = ?", imageId), 0);
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM created_resources WHERE deleted = 0"), 0) << "both marked gone";
  EXPECT_FALSE(bridge_->DeleteStorageObject("image-import", "_TZ_OBJECT_7"));
  EXPECT_EQ(bridge_->GetLastError(), "Object [_TZ_OBJECT_7] was not found in bucket [image-import]");
}

TEST_F(SimVolumeOps, AFailedImportFailsTheCompletionQuery) {
  std::string imageId;
  ASSERT_TRUE(bridge_->UploadToObjectStorage("image-import", "stub", "bytes"));
  cloud_.AddFault("CreateImage", 1, sim::EFaultAction::Faulty);
  ASSERT_TRUE(bridge_->CreateImage("image-import", "stub", "broken", "", Compartment("Backup"), imageId));
  bool done = false;
  EXPECT_FALSE(bridge_->IsImageImportOperationCompleted(imageId, done));
  EXPECT_EQ(bridge_->GetLastError(), "The import of image [" + imageId + "] failed: it is FAULTY");
}

}  // namespace
