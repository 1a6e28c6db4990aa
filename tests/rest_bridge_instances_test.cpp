// Instances, images and objects through the REST backend: on one REST sandbox each operation gives
// the outcome the in-process backend gives (the cloud's state, the records, the errors' meaning).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "PluginTestUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/rest/ApiCredentials.h"
#include "bridge/rest/RestApi.h"

using namespace OracleCloudSDKCppBridge;
using namespace plugintest;
using json = nlohmann::json;

namespace {

constexpr const char* kFlex = "VM.Standard.E4.Flex";

class RestInstances : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rest_.Connect(sandbox_.CloudUrl(), sandbox_.CloudUser(), "")) << rest_.GetLastError();
    ASSERT_TRUE(sim_.Connect("sim://" + sandbox_.Dir() + "/cloud", "agent", "")) << sim_.GetLastError();
    production_ = CompartmentId(sandbox_, "Production");
    subnet_ = RowWhere(Ls(sandbox_, "subnets"), "name", "subnet-ad1")["id"];
    const json images = RowsWhere(Ls(sandbox_, "images"), "name", "Canonical-Ubuntu-22.04");
    image_ = images.at(0)["id"];
  }
  // Both backends, the in-process one first, each with the label its resources are named after.
  std::vector<std::pair<std::string, COracleCloudSDKCppBridge*>> Backends() {
    return {{"sim", &sim_}, {"rest", &rest_}};
  }
  SVMInfo NewVm(const std::string& name, const std::string& shape) const {
    SVMInfo vm;
    vm.name = name, vm.compartmentId = production_, vm.vmSize = shape, vm.availabilityDomain = "Uocm:PHX-AD-1";
    SVMNetworkCard card;
    card.subnetId = subnet_;
    vm.networkCards.push_back(card);
    return vm;
  }
  json Instance(const std::string& id) { return RowWhere(Ls(sandbox_, "instances"), "id", id); }
  bool VolumeExists(const std::string& id) { return !RowsWhere(Ls(sandbox_, "volumes"), "id", id).empty(); }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
  COracleCloudSDKCppBridge rest_{VSINST_ORACLE_CLOUD_INFRASTRUCTURE}, sim_{VSINST_ORACLE_CLOUD_INFRASTRUCTURE};
  std::string production_, subnet_, image_;
};

// What the caller is told about an instance, field by field.
json Record(const SVMInfo& vm) {
  return {{"compartment", vm.compartmentId},
          {"ad", vm.availabilityDomain},
          {"region", vm.region},
          {"shape", vm.vmSize},
          {"cpus", vm.cpuCount},
          {"memory", vm.memoryMB},
          {"image", vm.imageId},
          {"mode", vm.launchMode},
          {"state", vm.lifecycleState},
          {"power", vm.powerState},
          {"uriIsId", vm.uri == vm.guid}};
}

TEST_F(RestInstances, DeployPowerReconfigureRelaunchAndDeleteAlikeThroughBothBackends) {
  std::map<std::string, json> deployed, reconfigured, relaunched;
  for (auto& [label, bridge] : Backends()) {
    SVMInfo vm = NewVm("deploy-" + label, kFlex);
    vm.cpuCount = 2, vm.memoryMB = 8192;
    ASSERT_TRUE(bridge->DeployVM(vm, image_, 60)) << label << bridge->GetLastError();
    deployed[label] = Record(vm);
    const json row = Instance(vm.guid);
    EXPECT_EQ(row["state"], "RUNNING") << label;
    EXPECT_EQ(row["name"], vm.name) << label;
    const std::string boot = row["boot_volume_id"];
    EXPECT_EQ(RowWhere(Ls(sandbox_, "volumes"), "id", boot)["size_bytes"], 60LL << 30) << label;
    EXPECT_EQ(RowsWhere(Ls(sandbox_, "vnics"), "instance_id", vm.guid).at(0)["subnet_id"], subnet_) << label;

    const struct {
      std::function<bool()> call;
      const char* state;
    } power[] = {{[&, &bridge = bridge] { return bridge->PowerOffInstance(vm.guid); }, "STOPPED"},
                 {[&, &bridge = bridge] { return bridge->RebootInstance(vm.guid); }, "RUNNING"},
                 {[&, &bridge = bridge] { return bridge->PowerOffInstance(vm.guid); }, "STOPPED"},
                 {[&, &bridge = bridge] { return bridge->PowerOnInstance(vm.guid); }, "RUNNING"}};
    for (const auto& step : power) {
      ASSERT_TRUE(step.call()) << label << bridge->GetLastError();
      EXPECT_EQ(Instance(vm.guid)["state"], step.state) << label;
    }
    SVMInfo change;
    change.guid = vm.guid, change.cpuCount = 4;
    ASSERT_TRUE(bridge->ReConfigureVM(change)) << label << bridge->GetLastError();
    reconfigured[label] = Record(change);
    EXPECT_EQ(Instance(vm.guid)["cpus"], 4) << label;
    EXPECT_EQ(Instance(vm.guid)["memory_mb"], 8192) << label;
    ASSERT_TRUE(bridge->WaitForBoot(vm, 5, true)) << label << bridge->GetLastError();
    SVMNetworkCard second;
    second.subnetId = subnet_, second.name = "second-" + label;
    ASSERT_TRUE(bridge->AttachVnic(vm, second)) << label << bridge->GetLastError();
    EXPECT_EQ(RowWhere(Ls(sandbox_, "vnics"), "name", second.name)["instance_id"], vm.guid) << label;

    // Terminated keeping its boot volume, which a new instance then boots from.
    ASSERT_TRUE(bridge->DeleteVM("", vm.guid, true, true)) << label << bridge->GetLastError();
    EXPECT_EQ(Instance(vm.guid)["state"], "TERMINATED") << label;
    ASSERT_TRUE(VolumeExists(boot)) << label;
    SVMInfo again = NewVm("relaunch-" + label, "VM.Standard2.1");
    SDisk disk;
    disk.createdVolumeId = boot;
    ASSERT_TRUE(bridge->RestoreVM(again, disk)) << label << bridge->GetLastError();
    relaunched[label] = Record(again);
    EXPECT_EQ(Instance(again.guid)["boot_volume_id"], boot) << label;
    EXPECT_EQ(Instance(again.guid)["state"], "RUNNING") << label;
    ASSERT_TRUE(bridge->DeleteVM("", again.guid, true, false)) << label << bridge->GetLastError();
    EXPECT_EQ(Instance(again.guid)["state"], "TERMINATED") << label;
    EXPECT_FALSE(VolumeExists(boot)) << label;

    // What no longer can be done fails alike.
    EXPECT_FALSE(bridge->PowerOnInstance(vm.guid)) << label;
    EXPECT_NE(bridge->GetLastError().find("cannot be started while it is TERMINATED"), std::string::npos)
        << label << bridge->GetLastError();
    EXPECT_FALSE(bridge->RestoreVM(again, disk)) << label;
    EXPECT_NE(bridge->GetLastError().find("was not found"), std::string::npos) << label << bridge->GetLastError();
    EXPECT_FALSE(bridge->DeployVMFromOrchestration(again)) << label;
    EXPECT_NE(bridge->GetLastError().find("classic cloud's only"), std::string::npos)
        << label << bridge->GetLastError();
  }
  EXPECT_EQ(deployed["rest"], deployed["sim"]);
  EXPECT_EQ(deployed["rest"]["cpus"], 2);
  EXPECT_EQ(reconfigured["rest"], reconfigured["sim"]);
  EXPECT_EQ(relaunched["rest"], relaunched["sim"]);
  sandbox_.ExpectNothingLeft();
}

// A launch from a boot volume that never boots ends terminated and fails; the volume stays free.
TEST_F(RestInstances, AFaultyRelaunchFailsAndLeavesTheBootVolumeFree) {
  for (auto& [label, bridge] : Backends()) {
    SVMInfo vm = NewVm("faulty-" + label, "VM.Standard2.1");
    ASSERT_TRUE(bridge->DeployVM(vm, image_, 0)) << bridge->GetLastError();
    const std::string boot = Instance(vm.guid)["boot_volume_id"];
    ASSERT_TRUE(bridge->DeleteVM("", vm.guid, true, true)) << bridge->GetLastError();
    sandbox_.Fault("RestoreVM", 1, "faulty");
    SDisk disk;
    disk.guid = boot;
    SVMInfo again = NewVm("faulty-again-" + label, "VM.Standard2.1");
    EXPECT_FALSE(bridge->RestoreVM(again, disk)) << label;
    EXPECT_NE(bridge->GetLastError().find("did not boot: it is TERMINATED"), std::string::npos)
        << bridge->GetLastError();
    EXPECT_TRUE(again.guid.empty()) << label;
    for (const auto& row : RowsWhere(Ls(sandbox_, "instances"), "name", again.name))
      EXPECT_EQ(row["state"], "TERMINATED");
    EXPECT_TRUE(VolumeExists(boot)) << label;
    SVMInfo last = NewVm("faulty-last-" + label, "VM.Standard2.1");
    ASSERT_TRUE(bridge->RestoreVM(last, disk)) << label << bridge->GetLastError();
    ASSERT_TRUE(bridge->DeleteVM("", last.guid, true, false)) << bridge->GetLastError();
  }
  sandbox_.ExpectNothingLeft();
}

TEST_F(RestInstances, ObjectsAndImageImportsAlikeThroughBothBackends) {
  std::map<std::string, json> images;
  for (auto& [label, bridge] : Backends()) {
    const std::string object = "stub-" + label;
    bridge->SetResourceTags({{"BackupJob", "job-" + label}});
    ASSERT_TRUE(bridge->UploadToObjectStorage("image-import", object, "stub disk " + label)) << bridge->GetLastError();
    EXPECT_EQ(RowWhere(Ls(sandbox_, "objects"), "name", object)["size_bytes"], 10 + label.size()) << label;
    bool exists = false;
    ASSERT_TRUE(bridge->DoesStorageObjectExist("image-import", object, exists)) << bridge->GetLastError();
    EXPECT_TRUE(exists) << label;
    std::string imageId;
    ASSERT_TRUE(bridge->CreateImage("image-import", object, "image-" + label, "PARAVIRTUALIZED", production_, imageId))
        << label << bridge->GetLastError();
    bool completed = false;
    ASSERT_TRUE(bridge->IsImageImportOperationCompleted(imageId, completed)) << bridge->GetLastError();
    EXPECT_TRUE(completed) << label;
    json row = RowWhere(Ls(sandbox_, "images"), "id", imageId);
    row.erase("id"), row.erase("image_key"), row["name"] = "image";
    images[label] = row;
    std::vector<STaggedResource> tagged;
    ASSERT_TRUE(sim_.FindTaggedResources(EResourceKind::Image, "BackupJob", "job-" + label, tagged));
    ASSERT_EQ(tagged.size(), 1u) << label;
    EXPECT_EQ(tagged[0].id, imageId) << label;

    ASSERT_TRUE(bridge->DoesImageExist(imageId, exists) && exists) << label << bridge->GetLastError();
    ASSERT_TRUE(bridge->DeleteImage(imageId)) << bridge->GetLastError();
    ASSERT_TRUE(bridge->DoesImageExist(imageId, exists)) << bridge->GetLastError();
    EXPECT_FALSE(exists) << label;
    EXPECT_FALSE(bridge->DeleteImage(imageId)) << label;
    EXPECT_NE(bridge->GetLastError().find("was not found"), std::string::npos) << bridge->GetLastError();

    // A faulty import is reported as failed, and the image is still the job's to delete.
    sandbox_.Fault("CreateImage", 1, "faulty");
    ASSERT_TRUE(bridge->CreateImage("image-import", object, "faulty-" + label, "", production_, imageId))
        << bridge->GetLastError();
    EXPECT_FALSE(bridge->IsImageImportOperationCompleted(imageId, completed)) << label;
    EXPECT_NE(bridge->GetLastError().find("The import of image [" + imageId + "] failed"), std::string::npos)
        << bridge->GetLastError();
    ASSERT_TRUE(bridge->DeleteImage(imageId)) << bridge->GetLastError();

    ASSERT_TRUE(bridge->DeleteStorageObject("image-import", object)) << bridge->GetLastError();
    ASSERT_TRUE(bridge->DoesStorageObjectExist("image-import", object, exists)) << bridge->GetLastError();
    EXPECT_FALSE(exists) << label;
    EXPECT_FALSE(bridge->DeleteStorageObject("image-import", object)) << label;
    EXPECT_FALSE(bridge->DoesStorageObjectExist("no-such-bucket", object, exists)) << label;
    EXPECT_NE(bridge->GetLastError().find("Bucket [no-such-bucket] was not found"), std::string::npos)
        << bridge->GetLastError();
  }
  EXPECT_EQ(images["rest"], images["sim"]);
  EXPECT_EQ(images["rest"]["state"], "AVAILABLE");
  sandbox_.ExpectNothingLeft();
}

// kill-after on DeployVM ends the calling process once the instance exists in the cloud.
TEST_F(RestInstances, AKillAfterDeployLeavesTheInstanceInTheCloud) {
  sandbox_.Fault("DeployVM", 1, "kill-after");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    SVMInfo vm = NewVm("killed", "VM.Standard2.1");
    const bool ok = bridge.Connect(sandbox_.CloudUrl(), sandbox_.CloudUser(), "") && bridge.DeployVM(vm, image_, 0);
    ::_exit(ok ? 0 : 3);
  }
  const int status = CTestSandbox::WaitFor(child);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  const std::string id = InstanceId(sandbox_, "killed");
  EXPECT_EQ(Instance(id)["state"], "RUNNING");
  ASSERT_TRUE(rest_.DeleteVM("", id, true, false)) << rest_.GetLastError();
  sandbox_.ExpectNothingLeft();
}

// A launch request of the wrong form is refused with the API's status and code, and launches nothing.
TEST_F(RestInstances, ALaunchOfTheWrongFormIsRefused) {
  SApiCredentials credentials;
  std::string error;
  ASSERT_TRUE(ReadApiCredentials(sandbox_.CloudUser(), "", credentials, error)) << error;
  CRestApi api(SRestEndpoints::FromUrl(sandbox_.CloudUrl()), MakeRequestSigner(credentials, error), SHttpOptions{});
  const json good = {{"availabilityDomain", "Uocm:PHX-AD-1"},
                     {"compartmentId", production_},
                     {"displayName", "odd"},
                     {"shape", "VM.Standard2.1"},
                     {"sourceDetails", {{"sourceType", "image"}, {"imageId", image_}}}};
  const struct {
    const char* what;
    std::function<void(json&)> change;
    long status;
    const char *code, *names;
  } cases[] = {
      {"an unknown field", [](json& b) { b["colour"] = "blue"; }, 400, "InvalidParameter", "[colour]"},
      {"no source", [](json& b) { b.erase("sourceDetails"); }, 400, "MissingParameter", "[sourceDetails]"},
      {"an unknown source type", [](json& b) { b["sourceDetails"]["sourceType"] = "instance"; }, 400,
       "InvalidParameter", "[instance]"},
      {"an image that is not there", [](json& b) { b["sourceDetails"]["imageId"] = "ocid1.image.oc1..none"; }, 404,
       "NotAuthorizedOrNotFound", "[ocid1.image.oc1..none] was not found"},
  };
  for (const auto& c : cases) {
    json body = good;
    c.change(body);
    try {
      api.Post(ERestService::Core, "/20160918/instances", body);
      ADD_FAILURE() << c.what << " was not refused";
    } catch (const CRestError& e) {
      EXPECT_EQ(e.Status(), c.status) << c.what << e.what();
      EXPECT_EQ(e.Code(), c.code) << c.what;
      EXPECT_NE(std::string(e.what()).find(c.names), std::string::npos) << c.what << e.what();
    }
  }
  EXPECT_TRUE(RowsWhere(Ls(sandbox_, "instances"), "name", "odd").empty());
}

}  // namespace

// What a clone is made of, its name in place of `name`: the clone's record, its volumes in attach
// order (the boot volume first) with their bytes, attachments' types and states, access and network.
json CloneOutcome(const CTestSandbox& sandbox, COracleCloudSDKCppBridge& reader, const SVMInfo& vm) {
  auto generic = [&](std::string text) {
    for (size_t at; (at = text.find(vm.name)) != std::string::npos;) text.replace(at, vm.name.size(), "NAME");
    return text;
  };
  const json row = RowWhere(Ls(sandbox, "instances"), "id", vm.guid);
  const json volumes = Ls(sandbox, "volumes");
  auto volume = [&](const std::string& id) {
    const json v = RowWhere(volumes, "id", id);
    return json{{"name", generic(v["name"])},      {"size", v["size_bytes"]}, {"boot", v["is_boot"]},
                {"description", v["description"]}, {"state", v["state"]},     {"checksum", Checksum(sandbox, id)}};
  };
  json outcome = {{"record", Record(vm)}, {"volumes", {volume(row["boot_volume_id"])}}, {"attachments", json::array()}};
  for (const json& a : RowsWhere(Ls(sandbox, "attachments"), "instance_id", vm.guid)) {
    outcome["volumes"].push_back(volume(a["volume_id"]));
    outcome["attachments"].push_back({a["type"], a["state"]});
  }
  SVMInfo read;
  EXPECT_TRUE(reader.GetVMInfo("", vm.guid, read, VMINFO_FLAG_NETWORK)) << reader.GetLastError();
  for (const auto& key : read.keyPairs) outcome["keys"].push_back(key.guid);
  for (const auto& list : read.securityGroups) outcome["lists"].push_back(list.guid);
  for (const auto& card : read.networkCards)
    outcome["cards"].push_back({generic(card.name), card.subnetId, card.isPrimary});
  return outcome;
}

// sample-web with a second data volume (holding bytes, attached over iSCSI) cloned through each
// backend: the same volumes, bytes, names, attachments and access. A clone whose launch is refused
// leaves nothing behind through either.
TEST_F(RestInstances, ACloneOfAnInstanceIsAlikeThroughBothBackendsAndAFailedOneLeavesNothing) {
  const std::string web = InstanceId(sandbox_, "sample-web");
  std::string added = Sim(sandbox_, {"volume", "add", web, "--size", std::to_string(64 << 20)});
  added.erase(added.find_last_not_of("\r\n") + 1);
  Sim(sandbox_, {"volume", "write", added, "--offset", std::to_string(5 << 20), "--text", "second data volume"});
  ExecSql(sandbox_, "UPDATE attachments SET type = 'iscsi' WHERE volume_id = ?", added);
  ExecSql(sandbox_, "UPDATE volumes SET description = 'kept' WHERE id = ?", added);
  std::map<std::string, json> outcome;
  std::map<std::string, SVMInfo> clones;
  for (auto& [label, bridge] : Backends()) {
    SVMInfo vm;
    vm.name = "clone-" + label;
    COracleCloudSDKCppBridge::SetThreadCreateToken("token-" + label);
    ASSERT_TRUE(bridge->DeployVM(vm, web, 0)) << label << bridge->GetLastError();
    COracleCloudSDKCppBridge::SetThreadCreateToken("");
    ASSERT_TRUE(bridge->WaitForBoot(vm, 60, true)) << label << bridge->GetLastError();
    outcome[label] = CloneOutcome(sandbox_, sim_, vm);
    clones[label] = vm;
  }
  const json source = CloneOutcome(sandbox_, sim_, [&] {
    SVMInfo vm;
    EXPECT_TRUE(sim_.GetVMInfo("", web, vm, 0)) << sim_.GetLastError();
    return vm;
  }());
  EXPECT_EQ(outcome["rest"], outcome["sim"]);
  ASSERT_EQ(outcome["rest"]["volumes"].size(), 3u);
  EXPECT_EQ(outcome["rest"]["volumes"][2]["name"], "NAME-data2");
  EXPECT_EQ(outcome["rest"]["volumes"][0]["name"], "NAME (Boot Volume)");
  for (const char* part : {"volumes", "attachments", "keys", "lists", "cards"})
    EXPECT_EQ(outcome["rest"][part], source[part]) << part;
  for (const char* field : {"shape", "cpus", "memory", "image", "compartment", "ad"})
    EXPECT_EQ(outcome["rest"]["record"][field], source["record"][field]) << field;
  for (auto& [label, vm] : clones) {
    // Whatever the clone made carries the create token, so a sweep finds it.
    const json attached = RowsWhere(Ls(sandbox_, "attachments"), "instance_id", vm.guid);
    std::set<std::string> made = {Instance(vm.guid)["boot_volume_id"]}, found;
    for (const json& a : attached) made.insert(a["volume_id"].get<std::string>());
    std::vector<std::string> ids;
    ASSERT_TRUE(rest_.FindResourcesByToken(EResourceKind::Volume, "token-" + label, ids)) << rest_.GetLastError();
    found.insert(ids.begin(), ids.end());
    EXPECT_EQ(found, made) << label;
    ASSERT_TRUE(rest_.FindResourcesByToken(EResourceKind::Instance, "token-" + label, ids)) << rest_.GetLastError();
    EXPECT_EQ(ids, std::vector<std::string>{vm.guid}) << label;
    ASSERT_TRUE(rest_.DeleteVM("", vm.guid, true, false)) << rest_.GetLastError();
    for (const json& a : attached) ASSERT_TRUE(rest_.DeleteVolume(a["volume_id"])) << rest_.GetLastError();
  }

  // The image runs on one shape only: a clone on another is refused, in process before anything is
  // made, over REST at the launch, after which the copies are deleted.
  ExecSql(sandbox_, "INSERT INTO image_shapes(image_id, shape) VALUES (?, 'VM.Standard2.1')",
          Instance(web)["image_id"].get<std::string>());
  for (auto& [label, bridge] : Backends()) {
    SVMInfo vm;
    vm.name = "refused-" + label, vm.vmSize = "VM.Standard2.2";
    EXPECT_FALSE(bridge->DeployVM(vm, web, 0)) << label;
    EXPECT_NE(bridge->GetLastError().find("does not run on shape [VM.Standard2.2]"), std::string::npos)
        << label << bridge->GetLastError();
    EXPECT_TRUE(vm.guid.empty()) << label;
    for (const json& v : Ls(sandbox_, "volumes"))
      EXPECT_EQ(std::string(v["name"]).find(vm.name), std::string::npos) << v;
  }
  EXPECT_NE(rest_.GetLastError().find("failed while launching instance [refused-rest]"), std::string::npos)
      << rest_.GetLastError();
  sandbox_.ExpectNothingLeft();
}
