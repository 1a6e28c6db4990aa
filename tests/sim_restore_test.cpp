// What a restore asks of the simulated cloud: a boot volume made through a temporary instance, the
// launch from it, secondary VNICs and the saved configuration read back.
#include "SimTestUtil.h"
#include "host/TZPlatformInfo.h"

using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

class SimRestore : public ::testing::Test {
 protected:
  void SetUp() override { cloud_.SetMeta("provision_seconds.instance", "30"); }
  void Refused(bool done, const std::string& text) {
    EXPECT_FALSE(done) << text;
    EXPECT_EQ(bridge_->GetLastError(), text);
  }
  // The boot volume of a temporary instance launched from the image, which is then deleted.
  SDisk BootVolume(bool preserve, bool wait = true) {
    SVMInfo temp = Restored("VM.Standard2.1", "temp");
    SDisk boot;
    boot.attachmentType = "iscsi";
    EXPECT_TRUE(bridge_->DeployVM(temp, image_, 0) && bridge_->GetBootVolumeIdForInstance(temp, boot.createdVolumeId));
    EXPECT_TRUE(bridge_->DeleteVM(temp.name, temp.guid, wait, preserve)) << bridge_->GetLastError();
    return boot;
  }
  SVMInfo Restored(const std::string& shape = "VM.Standard2.1", const std::string& name = "restored") {
    SVMInfo vm;
    vm.name = name, vm.compartmentId = compartment_, vm.availabilityDomain = "Uocm:PHX-AD-1", vm.vmSize = shape;
    return vm;
  }
  bool Vnic(const SVMInfo& vm, const std::string& subnetId) {
    VMInfoStructs::SVMNetworkCard card;
    card.subnetId = subnetId;
    return bridge_->AttachVnic(vm, card);
  }

  CVirtualClock clock_;
  hosttest::ScopedClock scope_{&clock_};
  simtest::CTestCloud cloud_;
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
  const std::string web_ = cloud_.InstanceId("sample-web");
  const std::string compartment_ = cloud_.Text("SELECT compartment_id FROM instances WHERE id = ?", web_);
  const std::string image_ = cloud_.Text("SELECT image_id FROM instances WHERE id = ?", web_);
  const std::string subnet1_ = cloud_.Text("SELECT id FROM subnets WHERE name = 'subnet-ad1'");
};

// A preserved boot volume is held by its instance until that is terminated; one not preserved
// goes with it. A launch refuses what cannot boot and makes nothing.
TEST_F(SimRestore, LaunchNeedsAFreeBootVolume) {
  SDisk held = BootVolume(true, false), data;
  const std::string owner = cloud_.Text("SELECT id FROM instances WHERE name = 'temp'"), boot = held.createdVolumeId;
  bool noSlot = false, exists = true;
  Refused(bridge_->AttachVolume(held, cloud_.Sandbox().proxyId, noSlot),
          "Volume [" + boot + "] is the boot volume of instance [" + owner + "]");
  data.displayName = "data", data.size = 1;
  ASSERT_TRUE(bridge_->CreateVolume(data, compartment_));
  auto launch = [&](SVMInfo vm, const std::string& id) {
    SDisk d;
    d.guid = id;
    return bridge_->RestoreVM(vm, d);
  };
  SVMInfo otherAd = Restored();
  otherAd.availabilityDomain = "Uocm:PHX-AD-2";
  const std::string webData = cloud_.VolumeId("sample-web-data");
  const std::pair<std::function<bool()>, std::string> cases[] = {
      {[&] { return launch(Restored(), "missing"); }, "Volume with id [missing] was not found"},
      {[&] { return launch(Restored(), webData); }, "Volume [" + webData + "] is attached to instance [" + web_ + "]"},
      {[&] { return launch(Restored(), boot); },
       "Volume [" + boot + "] is the boot volume of instance [" + owner + "]"},
      {[&] { return launch(Restored(), data.guid); }, "Volume [" + data.guid + "] is not a boot volume"},
      {[&] { return clock_.Advance(30), launch(otherAd, boot); },
       "Boot volume [" + boot + "] is in availability domain [Uocm:PHX-AD-1], not in [Uocm:PHX-AD-2]"},
      {[&] { return launch(Restored("VM.Huge"), boot); }, "Shape [VM.Huge] was not found"},
  };
  for (const auto& [call, text] : cases) Refused(call(), text);
  EXPECT_EQ(cloud_.Calls("RestoreVM"), 6);
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM instances WHERE name = 'restored'"), 0);
  ASSERT_TRUE(bridge_->AttachVolume(held, cloud_.Sandbox().proxyId, noSlot)) << "free once terminated";
  ASSERT_TRUE(bridge_->DoesVolumeExist(BootVolume(false).createdVolumeId, exists));
  EXPECT_FALSE(exists);
}

// The instance boots from the volume with the asked size and cards; a faulty launch ends
// terminated and leaves the volume free for the next.
TEST_F(SimRestore, LaunchBootsFromTheVolumeAndTakesCards) {
  SDisk boot = BootVolume(true);
  SVMInfo vm = Restored("VM.Standard.E4.Flex");
  vm.cpuCount = 3, vm.memoryMB = 8192, vm.networkCards.resize(1), vm.networkCards[0].subnetId = subnet1_;
  cloud_.AddFault("RestoreVM", 1, sim::EFaultAction::Faulty);
  SVMInfo broken = vm;
  EXPECT_FALSE(bridge_->RestoreVM(broken, boot));
  EXPECT_EQ(bridge_->GetLastError(), "Instance [" +
                                         cloud_.Text("SELECT id FROM instances WHERE name = 'restored' AND "
                                                     "state = 'TERMINATED'") +
                                         "] did not boot: it is TERMINATED");
  const uint64_t slept = clock_.TotalSleptMilliseconds();
  ASSERT_TRUE(bridge_->RestoreVM(vm, boot)) << bridge_->GetLastError();
  EXPECT_GE(clock_.TotalSleptMilliseconds(), slept + 30000u) << "returned once running";
  ASSERT_TRUE(Vnic(vm, subnet1_)) << bridge_->GetLastError();
  const std::string subnet2 = cloud_.Text("SELECT id FROM subnets WHERE name = 'subnet-ad2'");
  Refused(Vnic(vm, "nonet"), "Subnet [nonet] was not found");
  Refused(Vnic(vm, subnet2),
          "Subnet [" + subnet2 + "] serves availability domain [Uocm:PHX-AD-2], not [Uocm:PHX-AD-1]");
  broken.guid = "ocid1.instance.none";
  Refused(Vnic(broken, subnet1_), "Instance with id [ocid1.instance.none] was not found");
  SVMInfo record;
  ASSERT_TRUE(bridge_->GetVMInfo("", vm.guid, record, 0x22));
  EXPECT_EQ(record.lifecycleState + " " + std::to_string(record.cpuCount) + " " + std::to_string(record.memoryMB),
            "RUNNING 3 8192");
  ASSERT_EQ(record.disks.size() * 10 + record.networkCards.size(), 12u);
  EXPECT_TRUE(record.disks[0].isBootDisk && record.disks[0].volumeId == boot.createdVolumeId);
  EXPECT_TRUE(record.networkCards[0].isPrimary && !record.networkCards[1].isPrimary &&
              record.networkCards[0].subnetId + record.networkCards[1].subnetId == subnet1_ + subnet1_);
}

// An image import lasts the image provisioning time; a faulty one ends FAULTY, which the completion
// query reports as an error, and launches nothing.
TEST_F(SimRestore, ImageImportTakesItsTimeAndAFaultyOneFails) {
  cloud_.SetMeta("provision_seconds.image", "90");
  cloud_.AddFault("CreateImage", 3, sim::EFaultAction::Faulty);  // the refused call counts too
  std::string good, bad, refused;
  Refused(bridge_->CreateImage("image-import", "stub", "early", "NATIVE", compartment_, refused),
          "Object [stub] was not found in bucket [image-import]");
  ASSERT_TRUE(bridge_->UploadToObjectStorage("image-import", "stub", "disk bytes"));
  ASSERT_TRUE(bridge_->CreateImage("image-import", "stub", "good", "NATIVE", compartment_, good) &&
              bridge_->CreateImage("image-import", "stub", "bad", "NATIVE", compartment_, bad));
  auto completed = [&](const std::string& id) {
    bool done = true;
    return bridge_->IsImageImportOperationCompleted(id, done) ? (done ? "done" : "importing") : bridge_->GetLastError();
  };
  clock_.Advance(89);
  EXPECT_EQ(completed(good) + ", " + completed(bad), "importing, importing");
  clock_.Advance(1);
  EXPECT_EQ(completed(good) + ", " + completed(bad), "done, The import of image [" + bad + "] failed: it is FAULTY");
  SVMInfo temp = Restored("VM.Standard2.1", "temp");
  Refused(bridge_->DeployVM(temp, bad, 50), "Image [" + bad + "] is not available: it is FAULTY");
  EXPECT_TRUE(bridge_->DeployVM(temp, good, 50)) << bridge_->GetLastError();
  // The sandbox's configuration asks for an import's completion without a pause.
  TZPlatformInfo::SetFilePath(cloud_.Dir() + "/home/etc/platform.ini");
  uint32_t minutes = 1;
  EXPECT_TRUE(TZPlatformInfo::getNumber("VirtualServer", "nImageImportCompletionQueryIntervalInMinutes", &minutes));
  EXPECT_EQ(minutes, 0u);
  TZPlatformInfo::SetFilePath("");
}

TEST_F(SimRestore, SavedConfigurationReadsBack) {
  std::map<std::string, std::string> files;
  SVMInfo saved, read;
  ASSERT_TRUE(bridge_->GetInstanceConfigurations(cloud_.InstanceId("sample-db"), files));
  ASSERT_TRUE(bridge_->GetVMInfo("sample-db", "", saved, 0x22));
  ASSERT_TRUE(bridge_->ReadInstanceConfig(files[".json"], read)) << bridge_->GetLastError();
  ASSERT_EQ(read.disks.size() * 10 + read.networkCards.size(), 21u);
  EXPECT_EQ(read.name + read.guid + read.vmSize + read.availabilityDomain + read.compartmentId + read.imageId +
                read.networkCards[0].subnetId + " " + std::to_string(read.cpuCount) + " " +
                std::to_string(read.memoryMB),
            saved.name + saved.guid + saved.vmSize + saved.availabilityDomain + saved.compartmentId + saved.imageId +
                saved.networkCards[0].subnetId + " 2 32768");
  const std::pair<const char*, std::string> bad[] = {
      {"{", "not valid JSON"},
      {"[1]", "not a JSON object"},
      {R"({"shape": "x", "vnics": {}})", "not valid: member [vnics] is not an array"},
      {R"({"cpuCount": "two"})", "not valid: [json.exception.type_error.302] type must be number, but is string"}};
  for (const auto& [text, error] : bad) {
    Refused(bridge_->ReadInstanceConfig(text, read), "The instance configuration is " + error);
    EXPECT_EQ(read.vmSize, saved.vmSize) << "unchanged";
  }
}

}  // namespace
