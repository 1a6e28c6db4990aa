// Discovery over the REST API gives what the simulator gives: one sandbox, reached in process and
// through `cloud-sim serve`, each operation through both backends, records compared field by field.
#include <functional>

#include "PluginTestUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"

using namespace OracleCloudSDKCppBridge;
using json = nlohmann::json;

namespace {

json Of(const SDisk& d) {
  json snapshots = json::array();
  for (const auto& c : d.childDisks) snapshots.push_back({c.id, c.name, c.creationTime});
  return {d.guid,         d.volumeId,       d.displayName, d.size,       d.availabilityDomain,
          d.attachmentId, d.attachmentType, d.isBootDisk,  d.diskNumber, snapshots};
}

// The infrastructure API keeps no names or ids of SSH keys, only the public keys an instance has.
// An image's key (its build, the same in every region) is its display name over the API, which has no
// other; it is compared in the image matching tests of both backends, not here.
json Of(const SVMInfo& vm) {
  json disks = json::array(), cards = json::array(), keys = json::array(), lists = json::array();
  for (const auto& d : vm.disks) disks.push_back(Of(d));
  for (const auto& c : vm.networkCards) cards.push_back({c.name, c.subnetId, c.privateIp, c.macAddress, c.isPrimary});
  for (const auto& k : vm.keyPairs) keys.push_back(k.publicKey);
  for (const auto& l : vm.securityGroups) lists.push_back({l.name, l.guid});
  return {{"id", {vm.name, vm.guid, vm.uri, vm.isTemplate}},
          {"place", {vm.availabilityDomain, vm.compartmentId, vm.region}},
          {"size", {vm.vmSize, vm.cpuCount, vm.memoryMB}},
          {"state", {vm.lifecycleState, vm.powerState}},
          {"image", {vm.imageId, vm.guestOs, vm.launchMode}},
          {"disks", disks},
          {"cards", cards},
          {"keys", keys},
          {"lists", lists}};
}

json Of(const SHostInfo& h);
json Of(const SDataCenterInfo& r);
json Of(const SVMSizeInfo& s);
json Of(const SSecurityGroupInfo& l);
json Of(const SStagingStorage& b);
json Of(const SKeyPairInfo& k);
template <class T>
json List(const std::vector<T>& items) {
  json list = json::array();
  for (const T& item : items) list.push_back(Of(item));
  return list;
}
json Of(const SHostInfo& h) { return {h.name, h.guid, List(h.vms)}; }
json Of(const SDataCenterInfo& r) { return {r.name, r.regionKey, r.isHomeRegion}; }
json Of(const SVMSizeInfo& s) { return {s.name, s.cpuCount, s.memory}; }
json Of(const SSecurityGroupInfo& l) { return {l.name, l.guid}; }
json Of(const SStagingStorage& b) { return {b.name, b.guid, b.compartmentId}; }
json Of(const SKeyPairInfo& k) { return k.publicKey; }

// A saved configuration's SSH keys without their names and ids, which only the simulator keeps.
json WithoutKeyNames(json files) {
  for (auto& [name, text] : files.items()) {
    json doc = json::parse(text.get<std::string>(), nullptr, false);
    if (!doc.is_object() || !doc.contains("sshKeys")) continue;
    for (json& key : doc["sshKeys"]) key["id"] = key["name"] = "";
    text = doc.dump(2);
  }
  return files;
}

class RestDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sandbox_.CloudSim({"populate", "--compartments", "2", "--instances", "5"}), 0);
    ASSERT_TRUE(sim_.Connect("sim://" + sandbox_.Dir() + "/cloud", "agent", "")) << sim_.GetLastError();
    ASSERT_TRUE(rest_.Connect(sandbox_.CloudUrl(), sandbox_.CloudUser(), "")) << rest_.GetLastError();
  }
  SVMInfo SimRecord(const std::string& name, UINT64 flags) {
    SVMInfo vm;
    EXPECT_TRUE(sim_.GetVMInfo(name, "", vm, flags)) << sim_.GetLastError();
    return vm;
  }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
  COracleCloudSDKCppBridge sim_{VSINST_ORACLE_CLOUD_INFRASTRUCTURE}, rest_{VSINST_ORACLE_CLOUD_INFRASTRUCTURE};
};

// An operation's result as JSON, or its failure.
using Op = std::function<json(COracleCloudSDKCppBridge&)>;
template <class F>
Op Call(F fill) {
  return [fill](COracleCloudSDKCppBridge& b) -> json {
    json out;
    return fill(b, out) ? out : json{{"failed", true}};
  };
}

TEST_F(RestDiscovery, EveryOperationGivesTheSimulatorsRecords) {
  const UINT64 all = VMINFO_FLAG_NETWORK | VMINFO_FLAG_DISKS | VMINFO_FLAG_SNAPSHOTS;
  const SVMInfo db = SimRecord("sample-db", 0);
  std::vector<SHostInfo> hosts;
  ASSERT_TRUE(sim_.GetHostInfoList(0, 0, "", hosts));
  ASSERT_GE(hosts.size(), 4u);
  const struct {
    const char* what;
    Op op;
  } cases[] = {
      {"regions", Call([](auto& b, json& o) {
         std::vector<SDataCenterInfo> r;
         return b.GetDCInfoList(r, 0, 0) && !(o = List(r)).empty();
       })},
      {"default region", Call([](auto& b, json& o) {
         o = b.GetDefaultRegion();
         return !o.get<std::string>().empty();
       })},
      {"hosts", Call([](auto& b, json& o) {
         std::vector<SHostInfo> h;
         return b.GetHostInfoList(0, 0, "", h) && !(o = List(h)).empty();
       })},
      {"a host by name with its instances of a domain", Call([](auto& b, json& o) {
         SHostInfo h;
         return b.GetHostInfo("Production", "", "Uocm:PHX-AD-1", h, HOSTINFO_FLAG_WITH_VMS | all) &&
                !(o = Of(h))[2].empty();
       })},
      {"a host by id", Call([&](auto& b, json& o) {
         SHostInfo h;
         return b.GetHostInfo("", hosts[2].guid, "", h, 0) && !(o = Of(h)).empty();
       })},
      {"an unknown host", Call([](auto& b, json& o) {
         SHostInfo h;
         return b.GetHostInfo("Nowhere", "", "", h, 0) && !(o = Of(h)).empty();
       })},
      {"every instance (pages, compartments walked)", Call([](auto& b, json& o) {
         std::vector<SVMInfo> v;
         return b.GetVMInfoList(v, VMINFO_FLAG_NETWORK) && (o = List(v)).size() > 8;
       })},
      {"instances of a host", Call([&](auto& b, json& o) {
         std::vector<SVMInfo> v;
         return b.GetVMInfoListForHost(v, hosts[3].guid, 0) && !(o = List(v)).empty();
       })},
      {"an instance by name with its cards", Call([](auto& b, json& o) {
         SVMInfo v;
         return b.GetVMInfo("sample-web", "", v, VMINFO_FLAG_NETWORK) && !(o = Of(v)).empty();
       })},
      {"an instance by id", Call([&](auto& b, json& o) {
         SVMInfo v;
         return b.GetVMInfo("", db.guid, v, 0) && !(o = Of(v)).empty();
       })},
      {"an instance with disks and snapshots", Call([](auto& b, json& o) {
         SVMInfo v;
         return b.GetVMInfo("sample-db", "", v, all) && !(o = Of(v)).empty();
       })},
      {"an unknown instance name", Call([](auto& b, json& o) {
         SVMInfo v;
         return b.GetVMInfo("nobody", "", v, 0) && !(o = Of(v)).empty();
       })},
      {"domains", Call([](auto& b, json& o) {
         std::vector<SVMInfo> d;
         return b.GetAvailabilityDomainInfoList(d, "", 0, 0) && !(o = List(d)).empty();
       })},
      {"shapes", Call([](auto& b, json& o) {
         std::vector<SVMSizeInfo> s;
         return b.GetInstanceShapeInfoList(s, "") && !(o = List(s)).empty();
       })},
      {"shapes of an image", Call([&](auto& b, json& o) {
         std::vector<SVMSizeInfo> s;
         return b.GetInstanceShapeInfoListForImage(s, db.compartmentId, db.imageId, db.availabilityDomain) &&
                !(o = List(s)).empty();
       })},
      {"security lists", Call([](auto& b, json& o) {
         std::vector<SSecurityGroupInfo> l;
         return b.GetSecurityGroupList(l) && !(o = List(l)).empty();
       })},
      {"key pairs", Call([](auto& b, json& o) {
         std::vector<SKeyPairInfo> k;
         return b.GetKeyPairInfoList(k) && !(o = List(k)).empty();
       })},
      {"instances of a name", Call([&](auto& b, json& o) {
         std::vector<SVMInfo> v;
         bool exists = false;
         return b.DoesVMExist("sample-db", v, db.compartmentId, exists) && exists && !(o = List(v)).empty();
       })},
      {"no instance of a name", Call([](auto& b, json& o) {
         std::vector<SVMInfo> v;
         bool e = true;
         return b.DoesVMExist("nobody", v, "", e) && !e && (o = List(v)).empty();
       })},
      {"the boot volume", Call([&](auto& b, json& o) {
         std::string id;
         return b.GetBootVolumeIdForInstance(db, id) && !(o = id).empty();
       })},
      {"the saved configuration", Call([&](auto& b, json& o) {
         std::map<string, string> f;
         return b.GetInstanceConfigurations(db.guid, f) && !(o = WithoutKeyNames(f)).empty();
       })},
      // Another region's images are that region's endpoint's to list, which the one emulator does not serve.
      {"images of a host in the connection's region", Call([](auto& b, json& o) {
         std::vector<SVMInfo> i;
         if (!b.GetTemplateInfoList(i, "Production", 0, 0)) return false;
         std::erase_if(i, [](const SVMInfo& image) { return image.region != "us-phoenix-1"; });
         return !(o = List(i)).empty();
       })},
      {"an image by id", Call([&](auto& b, json& o) {
         SVMInfo i;
         return b.GetTemplateInfo(db.imageId, i, "") && !(o = Of(i)).empty();
       })},
      {"buckets of a host", Call([](auto& b, json& o) {
         std::vector<SStagingStorage> s;
         return b.GetStagingStorageListForHost(s, "Backup", 0, 0) && !(o = List(s)).empty();
       })},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json simulated = c.op(sim_), served = c.op(rest_);
    EXPECT_EQ(served, simulated) << "rest: " << rest_.GetLastError() << "\nsim: " << sim_.GetLastError();
  }
}

TEST_F(RestDiscovery, AnUnknownInstanceIdIsRefusedNamingItAndTheApisCode) {
  const std::string id = "ocid1.instance.oc1.phx.nosuchinstance";
  SVMInfo vm;
  vm.name = "kept";
  EXPECT_FALSE(rest_.GetVMInfo("", id, vm, VMINFO_FLAG_NETWORK));
  EXPECT_EQ(vm.name, "kept");
  const std::string text = rest_.GetLastError();
  EXPECT_NE(text.find("NotAuthorizedOrNotFound"), std::string::npos) << text;
  EXPECT_NE(text.find("[" + id + "]"), std::string::npos) << text;
  EXPECT_FALSE(sim_.GetVMInfo("", id, vm, 0));
  EXPECT_NE(sim_.GetLastError().find("[" + id + "]"), std::string::npos);
  std::map<string, string> files;
  EXPECT_FALSE(rest_.GetInstanceConfigurations(id, files));
  EXPECT_NE(rest_.GetLastError().find("NotAuthorizedOrNotFound"), std::string::npos) << rest_.GetLastError();
}

// A configuration text is read alike by both backends, whichever wrote it.
TEST_F(RestDiscovery, BothBackendsReadASavedConfigurationAlike) {
  std::map<string, string> files;
  ASSERT_TRUE(sim_.GetInstanceConfigurations(SimRecord("sample-web", 0).guid, files)) << sim_.GetLastError();
  SVMInfo bySim, byRest;
  ASSERT_TRUE(sim_.ReadInstanceConfig(files[".json"], bySim)) << sim_.GetLastError();
  ASSERT_TRUE(rest_.ReadInstanceConfig(files[".json"], byRest)) << rest_.GetLastError();
  EXPECT_EQ(Of(byRest), Of(bySim));
  EXPECT_EQ(Of(bySim)["disks"], Of(SimRecord("sample-web", VMINFO_FLAG_DISKS))["disks"]);
  ASSERT_EQ(byRest.keyPairs.size(), 1u);
  EXPECT_EQ(byRest.keyPairs[0].name, "ops-key");
  EXPECT_FALSE(rest_.ReadInstanceConfig("[1]", byRest));
  EXPECT_EQ(rest_.GetLastError(), "The instance configuration is not a JSON object");
}

}  // namespace
