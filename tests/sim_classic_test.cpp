// The classic flavour of the simulated cloud: the saved orchestration read back, launches from an
// orchestration or a launch plan, and the proxy's ten storage attachment slots.
#include <nlohmann/json.hpp>

#include "SimTestUtil.h"
#include "bridge/sim/SimLeaks.h"
#include "bridge/sim/VolumeFiles.h"

using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

class SimClassic : public ::testing::Test {
 protected:
  void Refused(bool done, const std::string& text) {
    EXPECT_FALSE(done) << text;
    EXPECT_EQ(bridge_->GetLastError(), text);
  }
  std::string NewVolume(const std::string& name) {
    SDisk d;
    d.displayName = name, d.size = 8 * sim::kMiB;
    EXPECT_TRUE(bridge_->CreateVolume(d, compartment_)) << bridge_->GetLastError();
    return d.guid;
  }
  SDisk Disk(UINT32 number, const std::string& volume) {
    SDisk d;
    d.diskNumber = number, d.targetVolume = volume;
    return d;
  }
  // Disks and cards of each record as "number:volume*" (* the boot disk) and "name=network/ip".
  static std::string Layout(const SVMInfo& vm) {
    std::string text;
    for (const auto& d : vm.disks) {
      text += std::to_string(d.diskNumber) + ":" + d.volumeId + (d.isBootDisk ? "* " : " ");
    }
    for (const auto& c : vm.networkCards) text += c.name + "=" + c.subnetId + "/" + c.privateIp + " ";
    return text;
  }

  CVirtualClock clock_;
  hosttest::ScopedClock scope_{&clock_};
  simtest::CTestCloud cloud_{sim::EFlavour::Classic};
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
  const std::string web_ = cloud_.InstanceId("sample-web");
  const std::string compartment_ = cloud_.Text("SELECT compartment_id FROM instances WHERE id = ?", web_);
  const std::string subnet_ = cloud_.Text("SELECT id FROM subnets WHERE name = 'subnet-ad1'");
};

// What a classic backup saves reads back as the instance it came from, from the orchestration and
// from the instance record alone; a text of the wrong form is refused and changes nothing.
TEST_F(SimClassic, SavedOrchestrationReadsBack) {
  std::map<std::string, std::string> files;
  SVMInfo saved, fromPlan, fromRecord;
  ASSERT_TRUE(bridge_->GetVMInfo("", web_, saved, 0x22));
  ASSERT_TRUE(bridge_->GetInstanceConfigurations(saved.uri, files));
  ASSERT_TRUE(bridge_->ReadInstanceOrchestration(files["_instance.json"], fromPlan)) << bridge_->GetLastError();
  const std::string record = nlohmann::json::parse(files["_instance.json"])["objects"][0]["template"].dump();
  ASSERT_TRUE(bridge_->ReadInstanceConfig(record, fromRecord)) << bridge_->GetLastError();
  for (const SVMInfo& read : {fromPlan, fromRecord}) {
    EXPECT_EQ(read.name + read.guid + read.uri + read.vmSize + read.imageId + read.keyPairs.at(0).guid +
                  read.securityGroups.at(1).guid + " " + Layout(read),
              saved.name + saved.guid + saved.uri + saved.vmSize + saved.imageId + saved.keyPairs.at(0).guid +
                  saved.securityGroups.at(1).guid + " " + Layout(saved));
  }
  EXPECT_EQ(Layout(saved).substr(0, 2), "1:") << "the boot volume is disk 1";
  const std::pair<const char*, std::string> bad[] = {
      {"{", "not valid JSON"},
      {R"({"objects": [{"type": "StorageVolume"}]})", "not valid: it holds no instance"},
      {R"({"objects": [{"type": "Instance", "template": {"storage_attachments": [{"index": 0, "volume": "v"}]}}]})",
       "not valid: the index of a storage attachment is not a disk index from 1 to 10"},
      {R"({"objects": [{"type": "Instance", "template": {"storage_attachments": [{"index": 2, "volume": "v"},
          {"index": 2, "volume": "w"}]}}]})",
       "not valid: two storage attachments have the index 2"}};
  for (const auto& [text, error] : bad) {
    Refused(bridge_->ReadInstanceOrchestration(text, fromPlan), "The instance orchestration is " + error);
    EXPECT_EQ(Layout(fromPlan), Layout(saved)) << "unchanged";
  }
  Refused(bridge_->ReadInstanceConfig(R"({"networking": []})", fromRecord),
          "The instance record is not valid: member [networking] is not an object");
}

// A launch attaches the volumes by their numbers and boots from disk 1; what it cannot launch it
// refuses in the cloud's words and makes nothing; a faulty launch fails and leaves the volumes free.
TEST_F(SimClassic, LaunchAttachesByNumberAndBootsFromDiskOne) {
  cloud_.SetMeta("provision_seconds.instance", "30");
  const std::string boot = NewVolume("boot"), data = NewVolume("data"), more = NewVolume("more");
  ASSERT_TRUE(bridge_->MakeVolumeBootable(boot));
  SVMInfo vm;
  vm.name = "restored", vm.compartmentId = compartment_, vm.vmSize = "VM.Standard2.1";
  vm.disks = {Disk(4, more), Disk(1, boot), Disk(2, data)};
  vm.networkCards.resize(1), vm.networkCards[0].name = "eth0", vm.networkCards[0].subnetId = subnet_;
  vm.networkCards[0].privateIp = "10.0.1.50";
  const std::string webIp = cloud_.Text("SELECT private_ip FROM vnics WHERE instance_id = ?", web_);
  using Op = bool (OracleCloudSDKCppBridge::COracleCloudSDKCppBridge::*)(SVMInfo&);
  const Op plan = &OracleCloudSDKCppBridge::COracleCloudSDKCppBridge::DeployVMFromOrchestration;
  const Op launchPlan = &OracleCloudSDKCppBridge::COracleCloudSDKCppBridge::RestoreVM;
  const struct {
    Op op;
    std::function<void(SVMInfo&)> change;
    std::string text;
  } cases[] = {
      {plan,
       [&](SVMInfo& v) {
         v.disks = {Disk(1, data), Disk(2, boot)};
       },
       "Storage volume [" + data + "] at index 1 is not bootable"},
      {launchPlan, [&](SVMInfo& v) { v.networkCards[0].privateIp = webIp; },
       "IP address [" + webIp + "] in IP network [" + subnet_ + "] is already used by instance [" +
           cloud_.Text("SELECT uri FROM instances WHERE id = ?", web_) + "]"},
      {plan, [&](SVMInfo& v) { v.networkCards[0].privateIp = "10.0.2.50"; },
       "IP address [10.0.2.50] is not in IP network [" + subnet_ + "] (10.0.1.0/24)"},
      {plan, [&](SVMInfo& v) { v.disks[0].targetVolume = "missing"; }, "Volume with id [missing] was not found"},
      {launchPlan, [&](SVMInfo& v) { v.vmSize = "VM.Huge"; }, "Shape [VM.Huge] was not found"},
      {plan, [&](SVMInfo& v) { v.disks = {Disk(2, data)}; },
       "Instance [restored] has no storage attachment with index 1 to boot from"},
  };
  for (const auto& c : cases) {
    SVMInfo refused = vm;
    c.change(refused);
    Refused((bridge_.get()->*c.op)(refused), c.text);
    EXPECT_EQ(refused.guid, "") << c.text;
  }
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM instances WHERE name = 'restored'"), 0);

  cloud_.AddFault("RestoreVM", 1, sim::EFaultAction::Faulty);
  SVMInfo broken = vm;
  EXPECT_FALSE(bridge_->RestoreVM(broken));
  const std::string brokenUri = cloud_.Text("SELECT uri FROM instances WHERE name = 'restored'");
  EXPECT_EQ(bridge_->GetLastError(),
            "Launch plan for instance [restored] failed: instance [" + brokenUri + "] did not start");
  const uint64_t slept = clock_.TotalSleptMilliseconds();
  ASSERT_TRUE(bridge_->DeployVMFromOrchestration(vm)) << bridge_->GetLastError();
  EXPECT_GE(clock_.TotalSleptMilliseconds(), slept + 30000u) << "returned once running";
  SVMInfo record;
  ASSERT_TRUE(bridge_->GetVMInfo("", vm.guid, record, 0x22));
  EXPECT_EQ(record.uri, vm.uri);
  EXPECT_EQ(record.lifecycleState + " " + Layout(record),
            "running 1:" + boot + "* 2:" + data + " 4:" + more + " eth0=" + subnet_ + "/10.0.1.50 ");

  // The launched instance is the job's result: with it kept, nothing is left.
  auto cloud = cloud_.Open();
  EXPECT_EQ(sim::ListLeaks(*cloud, {}).size(), 6u) << "the instance, three volumes, two attachments";
  EXPECT_TRUE(sim::ListLeaks(*cloud, {"restored"}).empty());
}

// The proxy has ten storage attachment slots, its boot volume in one of them.
TEST_F(SimClassic, ProxyTakesNineVolumesBesideItsBootVolume) {
  const std::string proxy = cloud_.Sandbox().proxyId;
  bool noSlot = true;
  std::string volume;
  for (int i = 2; i <= 10; ++i) {
    volume = NewVolume(std::string("v") + std::to_string(i));
    ASSERT_TRUE(bridge_->AttachVolume(volume, proxy, noSlot)) << i << bridge_->GetLastError();
  }
  SVMInfo record;
  ASSERT_TRUE(bridge_->GetVMInfo("", proxy, record, 0x22));
  ASSERT_EQ(record.disks.size(), 10u);
  EXPECT_EQ(std::to_string(record.disks.back().diskNumber) + ":" + record.disks.back().volumeId, "10:" + volume);
  const std::string last = NewVolume("v11");
  Refused(bridge_->AttachVolume(last, proxy, noSlot), "Instance [" + proxy +
                                                          "] has no free volume attachment slot for volume [" + last +
                                                          "]: 10 of 10 slots are in use");
  EXPECT_TRUE(noSlot);
}

}  // namespace
