// The host's discovery queries against the simulated cloud: hosts with and without image
// templates, filters, instance and image lists, single hosts and records, the local data store,
// region keys, shapes and the host-info cache.
#include <functional>

#include "PluginTestUtil.h"

using namespace plugintest;
using namespace VMInfoStructs;

namespace {

class PluginDiscovery : public CPluginFlowTest {};

constexpr UINT64 kAllFlags = 0xFFFFFFFFFFFFFFFFULL;
constexpr UINT64 kTemplatesBit = 0x4000000000000000ULL;

template <class Record>
std::vector<std::string> NamesOf(const std::vector<Record>& records) {
  std::vector<std::string> names;
  for (const auto& r : records) names.push_back(r.name);
  return names;
}

template <class Record>
std::set<std::string> GuidsOf(const std::vector<Record>& records) {
  std::set<std::string> guids;
  for (const auto& r : records) guids.insert(r.guid);
  return guids;
}

// An image that only the Backup compartment sees, so that "its images" differ per compartment.
std::string AddPrivateImage(const CTestSandbox& sandbox) {
  const std::string id = "ocid1.image.oc1.phx.private-backup-tools";
  ExecSql(sandbox,
          "INSERT INTO images(id, name, region, image_key, compartment_id, state, created) "
          "VALUES (?, 'backup-tools', 'us-phoenix-1', 'backup-tools-1', ?, 'AVAILABLE', 0)",
          id, CompartmentId(sandbox, "Backup"));
  return id;
}

// The images a compartment sees: shared ones and its own.
std::set<std::string> ImagesSeenBy(const json& images, const std::string& compartmentId) {
  std::set<std::string> ids;
  for (const auto& image : images)
    if (image["compartment"] == "" || image["compartment"] == compartmentId) ids.insert(image["id"].get<std::string>());
  return ids;
}

SHostInfo Sentinel() {
  SHostInfo host;
  host.name = "sentinel";
  return host;
}

}  // namespace

TEST_F(PluginDiscovery, HostListFetchesTemplatesOnlyForBit62WithoutAllOnes) {
  struct Case {
    UINT64 flags;
    bool templates;
  } cases[] = {{kAllFlags, false}, {0, false}, {kTemplatesBit, true}, {kTemplatesBit | 0x3, true},
               {kAllFlags - 1, true}, {kAllFlags & ~kTemplatesBit, false}};
  CTestSandbox sandbox;
  AddPrivateImage(sandbox);
  const json images = Ls(sandbox, "images");
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  for (const auto& c : cases) {
    EvLogSink::Clear();
    const long templateCallsBefore = sandbox.Calls("GetTemplateInfoList");
    std::vector<SHostInfo> out;
    ASSERT_EQ(plugin->GetHostInfoList(out, c.flags, 0, nullptr, FILTER_TYPE_NONE), 1) << std::hex << c.flags;
    ASSERT_EQ(out.size(), 2u) << std::hex << c.flags;
    for (const auto& host : out) {
      if (!c.templates) {
        EXPECT_TRUE(host.vms.empty()) << std::hex << c.flags << " " << host.name;
        continue;
      }
      EXPECT_EQ(GuidsOf(host.vms), ImagesSeenBy(images, host.guid)) << host.name;
      for (const auto& vm : host.vms) EXPECT_TRUE(vm.isTemplate) << vm.name;
    }
    EXPECT_EQ(sandbox.Calls("GetTemplateInfoList") - templateCallsBefore, c.templates ? 2 : 0) << std::hex << c.flags;
    EXPECT_EQ(EvLogSink::Count("Got ["), c.templates ? 2u : 0u);
    // Backup sees the three shared images and its own.
    EXPECT_EQ(EvLogSink::Contains("Got [4] templates"), c.templates);
    EXPECT_EQ(EvLogSink::Contains("Got [3] templates"), c.templates);
  }
}

TEST_F(PluginDiscovery, InfrastructureTemplateFailureOfOneCompartmentFailsTheList) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  AddFailure(sandbox, "GetTemplateInfoList", "image service down", 2);
  std::vector<SHostInfo> out = {Sentinel()};
  EXPECT_EQ(plugin->GetHostInfoList(out, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "sentinel");
  EXPECT_TRUE(EvLogSink::Contains("getting templates failed "));
  EXPECT_EQ(EvLogSink::Count("Got ["), 1u);
}

TEST_F(PluginDiscovery, OtherFlavoursAppendOneHostHoldingEveryTemplate) {
  struct Case {
    const char* cloud;
    bool classic;
  } cases[] = {{"classic", true}, {"infrastructure", false}};
  for (const auto& c : cases) {
    CTestSandbox sandbox(c.cloud);
    std::unique_ptr<COracleCloudInfo> plugin =
        c.classic ? ConnectObject<CClassicPlugin>(sandbox) : ConnectObject<CPlainPlugin>(sandbox);
    std::vector<SHostInfo> plainHosts, out;
    ASSERT_EQ(plugin->GetHostInfoList(plainHosts, 0, 0, nullptr, FILTER_TYPE_NONE), 1);
    ASSERT_EQ(plugin->GetHostInfoList(out, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE), 1) << c.cloud;
    ASSERT_EQ(out.size(), plainHosts.size() + 1) << c.cloud;
    for (size_t i = 0; i < plainHosts.size(); ++i) {
      EXPECT_EQ(out[i].guid, plainHosts[i].guid);
      EXPECT_TRUE(out[i].vms.empty()) << out[i].name;
    }
    const SHostInfo& extra = out.back();
    EXPECT_EQ(extra.name, "");
    EXPECT_EQ(extra.guid, "");
    EXPECT_EQ(GuidsOf(extra.vms), Column(Ls(sandbox, "images"), "id")) << c.cloud;
    EXPECT_TRUE(EvLogSink::Contains("Got [3] templates"));

    AddFailure(sandbox, "GetTemplateInfoList", "image service down");
    out = {Sentinel()};
    EXPECT_EQ(plugin->GetHostInfoList(out, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE), 0) << c.cloud;
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name, "sentinel");
    EXPECT_TRUE(EvLogSink::Contains("getting templates failed "));
  }
}

TEST_F(PluginDiscovery, HostListFailureLeavesTheOutputUntouched) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  AddFailure(sandbox, "GetHostInfoList", "identity service down");
  std::vector<SHostInfo> out = {Sentinel()};
  EXPECT_EQ(plugin->GetHostInfoList(out, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "sentinel");
  EXPECT_EQ(sandbox.Calls("GetTemplateInfoList"), 0);
}

TEST_F(PluginDiscovery, FiltersApplyOnlyWithAFilterListAndANonZeroType) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::vector<std::string> all = {"backup-proxy", "sample-db", "sample-web"};
  const std::vector<std::string> samples = {"sample-*"};
  const std::vector<std::string> web = {"*-WEB"};
  const std::vector<std::string> two = {"backup-prox?", "sample-d*"};
  struct Case {
    const std::vector<std::string>* filters;
    EFilterType type;
    std::vector<std::string> expected;
  } cases[] = {
      {&samples, FILTER_TYPE_NONE, all},
      {nullptr, FILTER_TYPE_INCLUDE, all},
      {&samples, FILTER_TYPE_INCLUDE, {"sample-db", "sample-web"}},
      {&samples, FILTER_TYPE_EXCLUDE, {"backup-proxy"}},
      {&web, FILTER_TYPE_INCLUDE, {"sample-web"}},
      {&two, FILTER_TYPE_INCLUDE, {"backup-proxy", "sample-db"}},
      {&two, FILTER_TYPE_EXCLUDE, {"sample-web"}},
  };
  for (const auto& c : cases) {
    std::vector<SVMInfo> out;
    ASSERT_EQ(plugin->GetVMInfoList(out, 0, 0, c.filters, c.type), 1);
    EXPECT_EQ(NamesOf(out), c.expected) << (c.filters ? c.filters->front() : "null") << " type " << c.type;
  }

  const std::vector<std::string> prod = {"prod*"};
  std::vector<SHostInfo> hosts;
  ASSERT_EQ(plugin->GetHostInfoList(hosts, 0, 0, &prod, FILTER_TYPE_INCLUDE), 1);
  EXPECT_EQ(NamesOf(hosts), std::vector<std::string>{"Production"});
  ASSERT_EQ(plugin->GetHostInfoList(hosts, 0, 0, &prod, FILTER_TYPE_EXCLUDE), 1);
  EXPECT_EQ(NamesOf(hosts), std::vector<std::string>{"Backup"});
  ASSERT_EQ(plugin->GetHostInfoList(hosts, 0, 0, &prod, FILTER_TYPE_NONE), 1);
  EXPECT_EQ(hosts.size(), 2u);

  AddFailure(sandbox, "GetVMInfoList", "compute service down");
  std::vector<SVMInfo> kept(1);
  kept[0].name = "kept";
  EXPECT_EQ(plugin->GetVMInfoList(kept, 0, 0, nullptr, FILTER_TYPE_NONE), 0);
  EXPECT_EQ(NamesOf(kept), std::vector<std::string>{"kept"});
}

TEST_F(PluginDiscovery, TemplateInventoryOfAHostListsTheImagesItSees) {
  CTestSandbox sandbox;
  const std::string privateImage = AddPrivateImage(sandbox);
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const json images = Ls(sandbox, "images");

  for (const char* compartment : {"Production", "Backup"}) {
    const std::string id = CompartmentId(sandbox, compartment);
    std::vector<SInventoryInfo> out;
    ASSERT_EQ(plugin->GetVMInventoryInfoListForHost(id, out, kAllFlags, 7), 1) << compartment;
    std::set<std::string> guids;
    for (const auto& e : out) {
      guids.insert(e.guid);
      EXPECT_EQ(e.type, INVENTORY_TYPE_VM);
    }
    EXPECT_EQ(guids, ImagesSeenBy(images, id)) << compartment;
    EXPECT_EQ(guids.count(privateImage), std::string(compartment) == "Backup" ? 1u : 0u);
  }
}

// Each query whose bridge call fails, whatever the call returned: 0, the query's code and the
// bridge's text.
TEST_F(PluginDiscovery, EveryFailedQueryReportsItsCodeAndTheBridgesText) {
  CTestSandbox infraSandbox, classicSandbox("classic");
  auto infra = ConnectPlugin<CInfraPlugin>(infraSandbox);
  auto classic = ConnectPlugin<CClassicPlugin>(classicSandbox);
  const std::string production = CompartmentId(infraSandbox, "Production");
  const std::string web = InstanceId(infraSandbox, "sample-web");
  const std::string linuxImage =
      RowWhere(RowsWhere(Ls(infraSandbox, "images"), "region", "us-phoenix-1"), "name", "Oracle-Linux-8.8")["id"];
  std::vector<SHostInfo> hosts;
  std::vector<SVMInfo> vms;
  std::vector<SInventoryInfo> entries;
  std::vector<SDataCenterInfo> regions;
  std::vector<SResourcePoolInfo> domains;
  std::vector<SVMSizeInfo> shapes;
  std::vector<SSecurityGroupInfo> lists;
  std::vector<SKeyPairInfo> keys;
  std::vector<SStagingStorage> buckets;
  std::vector<SDatastoreInfo> stores;
  SHostInfo host;
  SVMInfo vm, image;
  image.isTemplate = true;
  const EVMInfoError kHost = VMERR_HOST_QUERY_FAILED;
  struct Case {
    const char* label;
    bool classic;
    const char* op;
    EVMInfoError code;
    std::function<int(COracleCloudInfo&)> query;
  } cases[] = {
      {"hosts", false, "GetHostInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetHostInfoList(hosts, 0, 0, nullptr, FILTER_TYPE_NONE); }},
      {"hosts with templates", false, "GetTemplateInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetHostInfoList(hosts, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE); }},
      {"hosts with templates", true, "GetTemplateInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetHostInfoList(hosts, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE); }},
      {"host cache", false, "GetHostInfoList", kHost,
       [&](COracleCloudInfo& p) { return static_cast<CInfraPlugin&>(p)._RefreshHostInfoCache(9, 0); }},
      {"one host", false, "GetHostInfo", kHost,
       [&](COracleCloudInfo& p) { return p.GetHostInfoForHost(production, 0, 0, host); }},
      {"one host", true, "GetHostInfo", kHost,
       [&](COracleCloudInfo& p) { return p.GetHostInfoForHost("us2", 0, 0, host); }},
      {"instances", false, "GetVMInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetVMInfoList(vms, 0, 0, nullptr, FILTER_TYPE_NONE); }},
      {"instances of a compartment", false, "GetVMInfoListForHost", kHost,
       [&](COracleCloudInfo& p) {
         return p.GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_COMPARTMENT, 0, 0, vms);
       }},
      {"instances of the inventory", true, "GetVMInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetVMInfoListForInventoryObject("", INVENTORY_TYPE_VM, 0, 0, vms); }},
      {"images of a host", false, "GetTemplateInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetVMInventoryInfoListForHost(production, entries, 0, 0); }},
      {"regions", false, "GetDCInfoList", kHost, [&](COracleCloudInfo& p) { return p.GetDCInfoList(regions, 0, 0); }},
      {"availability domains", false, "GetAvailabilityDomainInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetRPInfoListForHost(production, domains, 0, 0); }},
      {"shapes", false, "GetInstanceShapeInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetAvailableVMSizesForHost(production, shapes, 0, 0); }},
      {"shapes", true, "GetInstanceShapeInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetAvailableVMSizesForHost("us2", shapes, 0, 0); }},
      {"security lists", false, "GetSecurityGroupList", kHost,
       [&](COracleCloudInfo& p) { return p.GetSecurityGroupsForHost(production, lists, 0, 0); }},
      {"SSH keys", false, "GetKeyPairInfoList", kHost,
       [&](COracleCloudInfo& p) { return p.GetKeyPairForHost(production, keys, 0, 0); }},
      {"buckets", false, "GetStagingStorageListForHost", kHost,
       [&](COracleCloudInfo& p) { return p.GetStagingStorageListForHost(production, buckets, 0, 0); }},
      {"instance record", false, "GetVMInfo", VMERR_VM_NOT_FOUND,
       [&](COracleCloudInfo& p) { return p.GetVMInfoForVM("", web, "", 0, 0, vm); }},
      {"instance record", true, "GetVMInfo", VMERR_VM_NOT_FOUND,
       [&](COracleCloudInfo& p) { return p.GetVMInfoForVM("sample-web", "", "", 0, 0, vm); }},
      {"image record", false, "GetTemplateInfo", kHost,
       [&](COracleCloudInfo& p) { return p.GetVMInfoForVM("", linuxImage, "", 0, 0, image); }},
      {"image record", true, "GetTemplateInfo", kHost,
       [&](COracleCloudInfo& p) { return p.GetVMInfoForVM("Oracle-Linux-8.8", "", "", 0, 0, image); }},
      {"local data store", false, "GetVMInfo", VMERR_PROXY_NOT_FOUND,
       [&](COracleCloudInfo& p) { return p.GetLocalDSInfoList(stores, 0, 0); }},
  };
  for (const auto& c : cases) {
    const std::string label = std::string(c.label) + (c.classic ? " (classic)" : "");
    const CTestSandbox& sandbox = c.classic ? classicSandbox : infraSandbox;
    COracleCloudInfo& plugin = c.classic ? static_cast<COracleCloudInfo&>(*classic) : *infra;
    const std::string text = std::string(c.op) + " outage";
    AddFailure(sandbox, c.op, text, 1);
    plugin.SetLastVMError(VMERR_NONE);
    plugin.SetLastVMErrorDetails("");
    EXPECT_EQ(c.query(plugin), 0) << label;
    EXPECT_EQ(plugin.GetLastVMError(), c.code) << label;
    EXPECT_EQ(plugin.GetLastVMErrorDetails(), text) << label;
  }
}

// Only a failed call fails: a cloud without images or regions answers with empty lists.
TEST_F(PluginDiscovery, AnEmptyAnswerIsAnEmptySuccess) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CPlainPlugin>(sandbox);
  ExecSql(sandbox, "DELETE FROM images");
  ExecSql(sandbox, "DELETE FROM regions");
  std::vector<SInventoryInfo> images, browsed;
  std::vector<SDataCenterInfo> regions;
  ASSERT_EQ(plugin->GetVMInventoryInfoListForHost(CompartmentId(sandbox, "Production"), images, 0, 0), 1);
  ASSERT_EQ(plugin->GetDCInfoList(regions, 0, 0), 1);
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, browsed, 0, 0), 1);
  EXPECT_TRUE(images.empty());
  EXPECT_TRUE(regions.empty());
  EXPECT_TRUE(browsed.empty());
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NONE);
}

TEST_F(PluginDiscovery, InstancesOfAnInventoryObjectByFlavour) {
  {
    CTestSandbox sandbox;
    auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
    const std::string production = CompartmentId(sandbox, "Production");
    std::vector<SVMInfo> out;
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_VM, 0, 0, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(LoggedError("Unsupported InventoryObject type."));

    ASSERT_EQ(plugin->GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_COMPARTMENT, 0, 0, out), 1);
    EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"sample-db", "sample-web"}));
    EXPECT_TRUE(EvLogSink::Contains("Getting VMs in Compartment: [" + production + "]"));

    AddFailure(sandbox, "GetVMInfoListForHost", "compute service down");
    std::vector<SVMInfo> failed;
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_COMPARTMENT, 0, 0, failed), 0);
    EXPECT_TRUE(failed.empty());
    EXPECT_TRUE(LoggedError("Failed to get VMs in for Compartment: [" + production + "]"));
  }
  {
    CTestSandbox sandbox("classic");
    auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);
    std::vector<SVMInfo> out;
    EXPECT_EQ(plugin->GetVMInfoListForInventoryObject("us2", INVENTORY_TYPE_COMPARTMENT, 0, 0, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(LoggedError("Unsupported Inventory Type [5]"));
    EXPECT_EQ(sandbox.Calls("GetVMInfoList"), 0);

    ASSERT_EQ(plugin->GetVMInfoListForInventoryObject("ignored", INVENTORY_TYPE_VM, 0, 0, out), 1);
    EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"backup-proxy", "sample-db", "sample-web"}));
  }
}

TEST_F(PluginDiscovery, InfrastructureHostIsACompartmentNarrowedToAnAvailabilityDomain) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string production = CompartmentId(sandbox, "Production");
  const UINT64 withVms = OracleCloudSDKCppBridge::HOSTINFO_FLAG_WITH_VMS;
  struct Case {
    std::string hostName, logged;
    size_t instances;
  } cases[] = {
      {production, "Compartment Id: [" + production + "], availabilityDomain: []", 2},
      {production + "!Uocm:PHX-AD-1", "Compartment Id: [" + production + "], availabilityDomain: [Uocm:PHX-AD-1]", 2},
      {production + "!Uocm:PHX-AD-2", "Compartment Id: [" + production + "], availabilityDomain: [Uocm:PHX-AD-2]", 0},
      {production + "!Uocm:PHX-AD-2!extra",
       "Compartment Id: [" + production + "], availabilityDomain: [Uocm:PHX-AD-2]", 0},
  };
  for (const auto& c : cases) {
    EvLogSink::Clear();
    SHostInfo host;
    ASSERT_EQ(plugin->GetHostInfoForHost(c.hostName, withVms, 0, host), 1) << c.hostName;
    EXPECT_EQ(host.guid, production);
    EXPECT_EQ(host.vms.size(), c.instances) << c.hostName;
    EXPECT_TRUE(EvLogSink::Contains(c.logged)) << c.hostName;
  }

  for (const std::string& bad : {production + "!Uocm:NOWHERE", std::string("ocid1.compartment.oc1..missing")}) {
    SHostInfo host;
    plugin->SetLastVMErrorDetails("");
    EXPECT_EQ(plugin->GetHostInfoForHost(bad, 0, 0, host), 0) << bad;
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED);
    EXPECT_FALSE(plugin->GetLastVMErrorDetails().empty());
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), plugin->bridge->GetLastError());
  }
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("ocid1.compartment.oc1..missing"), std::string::npos);

  struct SplitCase {
    std::string input, first, second;
  } splits[] = {{"c!ad", "c", "ad"}, {"c", "c", ""}, {"c!ad!third", "c", "ad"}, {"", "", ""}};
  for (const auto& s : splits) {
    std::string first, second;
    plugin->_SplitHostNameStringFromBrowseRequest(s.input, first, second);
    EXPECT_EQ(first, s.first) << s.input;
    EXPECT_EQ(second, s.second) << s.input;
  }
}

TEST_F(PluginDiscovery, BaseHostQueryNamesTheHostTwiceAndReportsError6) {
  CTestSandbox sandbox("classic");
  auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);
  SHostInfo host;
  ASSERT_EQ(plugin->GetHostInfoForHost("us2", OracleCloudSDKCppBridge::HOSTINFO_FLAG_WITH_VMS, 0, host), 1);
  EXPECT_EQ(host.guid, "us2");
  EXPECT_EQ(host.vms.size(), 3u);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NONE);

  EXPECT_EQ(plugin->GetHostInfoForHost("no-such-site", 0, 0, host), 0);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("no-such-site"), std::string::npos);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), plugin->bridge->GetLastError());
}

TEST_F(PluginDiscovery, LocalDataStoreIsTheProxysAvailabilityDomain) {
  CTestSandbox sandbox;
  // Moved, so that the answer cannot be the region's first domain by chance.
  ExecSql(sandbox, "UPDATE instances SET ad = 'Uocm:PHX-AD-2' WHERE id = ?", sandbox.ProxyInstanceId());
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  std::vector<SDatastoreInfo> out;
  ASSERT_EQ(plugin->GetLocalDSInfoList(out, 0, 0), 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "Uocm:PHX-AD-2");

  // A proxy the cloud does not know has no local data store.
  ForgetIdentity();
  WriteTestFile(sandbox.Root() + "/var/lib/cloud/data/instance-id", "ocid1.instance.oc1.phx.unknown\n");
  auto stranger = ConnectPlugin<CInfraPlugin>(sandbox);
  std::vector<SDatastoreInfo> none;
  EXPECT_EQ(stranger->GetLocalDSInfoList(none, 0, 0), 0);
  EXPECT_TRUE(none.empty());
  EXPECT_TRUE(EvLogSink::Contains("Failed to get local vm info"));
}

TEST_F(PluginDiscovery, RegionNameIsFoundByKeyIgnoringCase) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  struct Case {
    std::string key, region;
  } cases[] = {{"PHX", "us-phoenix-1"}, {"phx", "us-phoenix-1"}, {"iAd", "us-ashburn-1"}, {"FRA", ""}, {"", ""}};
  for (const auto& c : cases) {
    EvLogSink::Clear();
    EXPECT_EQ(plugin->_GetRegionNameForRegionKey(c.key), c.region) << c.key;
    if (c.region.empty())
      EXPECT_TRUE(LoggedError("Failed to find the region key [" + c.key + "] in the subscribed list of regions"));
    else
      EXPECT_TRUE(EvLogSink::Contains("Found region name[" + c.region + "] for key[" + c.key + "]",
                                      "std::string COracleCloudInfrastructureInfo::_GetRegionNameForRegionKey("
                                      "const string&)"));
  }
  AddFailure(sandbox, "GetDCInfoList", "region service down");
  EvLogSink::Clear();
  EXPECT_EQ(plugin->_GetRegionNameForRegionKey("PHX"), "");
  EXPECT_TRUE(LoggedError("Failed to get region list"));
}

TEST_F(PluginDiscovery, InfrastructureRecordOfAnInstanceOrAnImage) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  const std::string linuxImage =
      RowWhere(RowsWhere(Ls(sandbox, "images"), "region", "us-phoenix-1"), "name", "Oracle-Linux-8.8")["id"];

  SVMInfo vm;
  ASSERT_EQ(plugin->GetVMInfoForVM("", web, "", OracleCloudSDKCppBridge::VMINFO_FLAG_DISKS, 0, vm), 1);
  EXPECT_EQ(vm.name, "sample-web");
  EXPECT_EQ(vm.guid, web);
  EXPECT_EQ(vm.disks.size(), 2u);

  SVMInfo missing;
  EXPECT_EQ(plugin->GetVMInfoForVM("sample-web", "ocid1.instance.oc1.phx.gone", "", 0, 0, missing), 0);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_NOT_FOUND);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("ocid1.instance.oc1.phx.gone"), std::string::npos);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), plugin->bridge->GetLastError());

  // An image is asked for by its id.
  plugin->SetLastVMError(VMERR_NONE);
  SVMInfo image;
  image.isTemplate = true;
  ASSERT_EQ(plugin->GetVMInfoForVM("not-the-image-name", linuxImage, "", 0, 0, image), 1);
  EXPECT_EQ(image.guid, linuxImage);
  EXPECT_EQ(image.name, "Oracle-Linux-8.8");
  EXPECT_TRUE(image.isTemplate);

  SVMInfo noImage;
  noImage.isTemplate = true;
  EXPECT_EQ(plugin->GetVMInfoForVM("", "ocid1.image.oc1.phx.gone", "", 0, 0, noImage), 0);
  EXPECT_TRUE(LoggedError("Getting full template info for [ocid1.image.oc1.phx.gone] failed"));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("ocid1.image.oc1.phx.gone"), std::string::npos);
}

TEST_F(PluginDiscovery, ClassicRecordOfAnInstanceOrAnImage) {
  CTestSandbox sandbox("classic");
  auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");

  SVMInfo vm;
  ASSERT_EQ(plugin->GetVMInfoForVM("sample-web", "", "", 0, 0, vm), 1);
  EXPECT_EQ(vm.guid, web);

  SVMInfo missing;
  EXPECT_EQ(plugin->GetVMInfoForVM("no-such-vm", "", "", 0, 0, missing), 0);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_NOT_FOUND);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("no-such-vm"), std::string::npos);

  plugin->SetLastVMError(VMERR_NONE);
  SVMInfo image;
  image.isTemplate = true;
  ASSERT_EQ(plugin->GetVMInfoForVM("Oracle-Linux-8.8", "/oracle/public/us2/Oracle-Linux-8.8", "", 0, 0, image), 1);
  EXPECT_EQ(image.guid, "/oracle/public/us2/Oracle-Linux-8.8");
  SVMInfo noImage;
  noImage.isTemplate = true;
  EXPECT_EQ(plugin->GetVMInfoForVM("no-such-image", "no-such-image", "", 0, 0, noImage), 0);
  EXPECT_TRUE(LoggedError("Getting full template info for [no-such-image] failed"));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("no-such-image"), std::string::npos);

  // The plain object does not look records up.
  CTestSandbox other;
  auto plain = ConnectPlugin<CPlainPlugin>(other);
  SVMInfo untouched;
  untouched.name = "as given";
  EXPECT_EQ(plain->GetVMInfoForVM("sample-web", "", "", 0, 0, untouched), 1);
  EXPECT_EQ(untouched.name, "as given");
  EXPECT_EQ(untouched.guid, "");
}

TEST_F(PluginDiscovery, HostCacheIsRefreshedOnlyWhenANewDiscoveryIsDue) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  struct Step {
    UINT64 flags;
    int option;
    long calls;  // host list queries so far
  } steps[] = {{0, 0, 1}, {0, 0, 1}, {1, 0, 2}, {1, 0, 2}, {1, 5, 3}, {1, 5, 3}};
  for (const auto& s : steps) {
    ASSERT_EQ(plugin->_RefreshHostInfoCache(s.flags, s.option), 1);
    EXPECT_EQ(sandbox.Calls("GetHostInfoList"), s.calls) << s.flags << "/" << s.option;
    EXPECT_EQ(NamesOf(plugin->hostInfoCache), (std::vector<std::string>{"Backup", "Production"}));
  }
  // A new connection drops the cache.
  ASSERT_EQ(plugin->Connect(sandbox.CloudUrl(), "tester", "secret"), 1);
  ASSERT_EQ(plugin->_RefreshHostInfoCache(1, 5), 1);
  EXPECT_EQ(sandbox.Calls("GetHostInfoList"), 4);

  // A failed refresh for new flags drops the cache: neither those flags nor the earlier ones find
  // it current, and the next refresh asks the cloud again.
  struct After {
    UINT64 flags;
    int option;
  } afterFailure[] = {{1, 5}, {2, 0}};
  for (const auto& a : afterFailure) {
    AddFailure(sandbox, "GetHostInfoList", "identity service down", 1);
    plugin->hostInfoCache.push_back(Sentinel());
    EXPECT_EQ(plugin->_RefreshHostInfoCache(2, 0), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "identity service down");
    EXPECT_TRUE(plugin->hostInfoCache.empty());
    const long callsBefore = sandbox.Calls("GetHostInfoList");
    ASSERT_EQ(plugin->_RefreshHostInfoCache(a.flags, a.option), 1) << a.flags;
    EXPECT_EQ(sandbox.Calls("GetHostInfoList"), callsBefore + 1) << a.flags;
    EXPECT_EQ(NamesOf(plugin->hostInfoCache), (std::vector<std::string>{"Backup", "Production"})) << a.flags;
  }
}

TEST_F(PluginDiscovery, InfrastructureOffersNoFlexibleShapes) {
  struct Case {
    const char* cloud;
    bool classic;
    bool flexOffered;
  } cases[] = {{"infrastructure", false, false}, {"classic", true, true}};
  for (const auto& c : cases) {
    CTestSandbox sandbox(c.cloud);
    std::unique_ptr<COracleCloudInfo> plugin =
        c.classic ? ConnectObject<CClassicPlugin>(sandbox) : ConnectObject<CInfraPlugin>(sandbox);
    std::set<std::string> expected;
    for (const auto& shape : Ls(sandbox, "shapes"))
      if (c.flexOffered || !shape["flexible"].get<bool>()) expected.insert(shape["name"].get<std::string>());
    std::vector<SVMSizeInfo> out;
    ASSERT_EQ(plugin->GetAvailableVMSizesForHost("", out, 0, 0), 1) << c.cloud;
    const std::vector<std::string> names = NamesOf(out);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected) << c.cloud;
    EXPECT_EQ(names.size(), expected.size()) << c.cloud;

    AddFailure(sandbox, "GetInstanceShapeInfoList", "shape service down");
    std::vector<SVMSizeInfo> kept(1);
    kept[0].name = "kept";
    EXPECT_EQ(plugin->GetAvailableVMSizesForHost("", kept, 0, 0), 0) << c.cloud;
    EXPECT_EQ(NamesOf(kept), std::vector<std::string>{"kept"});
    EXPECT_TRUE(EvLogSink::Contains("Failed to get instance shape list."));
  }
}
