// The host's discovery queries against the simulated cloud.
#include <functional>
#include "PluginTestUtil.h"

using namespace plugintest;
using namespace VMInfoStructs;
namespace {
class PluginDiscovery : public CPluginFlowTest {};
constexpr UINT64 kAllFlags = 0xFFFFFFFFFFFFFFFFULL;
constexpr UINT64 kTemplatesBit = 0x4000000000000000ULL;
const std::vector<std::string> kBoth = {"Backup", "Production"};
template <class Record>
std::vector<std::string> NamesOf(const std::vector<Record>& records) {
  std::vector<std::string> names;
  for (const auto& r : records) names.push_back(r.name);
  return names;
}
template <class Record>
std::vector<Record>& Out() {
  static std::vector<Record> records(1);
  return records;
}
template <class Record>
std::set<std::string> GuidsOf(const std::vector<Record>& records) {
  std::set<std::string> guids;
  for (const auto& r : records) guids.insert(r.guid);
  return guids;
}
// The images a compartment sees: shared ones and, after AddPrivateImage, Backup's own.
std::set<std::string> ImagesSeenBy(const json& images, const std::string& compartmentId) {
  std::set<std::string> ids;
  for (const auto& image : images)
    if (image["compartment"] == "" || image["compartment"] == compartmentId) ids.insert(image["id"].get<std::string>());
  return ids;
}
void AddPrivateImage(const CTestSandbox& sandbox) {
  ExecSql(sandbox,
          "INSERT INTO images(id, name, region, image_key, compartment_id, state, created) VALUES "
          "('ocid1.image.oc1.phx.private', 'backup-tools', 'us-phoenix-1', 'bt-1', ?, 'AVAILABLE', 0)",
          CompartmentId(sandbox, "Backup"));
}
}  // namespace

// Templates come with bit 62 unless every bit is set; a failure leaves the output as it was.
TEST_F(PluginDiscovery, HostAndInstanceListsOfTheInfrastructure) {
  CTestSandbox sandbox;
  AddPrivateImage(sandbox);
  const json images = Ls(sandbox, "images");
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  for (UINT64 flags :
       {kAllFlags, UINT64{0}, kTemplatesBit, kTemplatesBit | 3, kAllFlags - 1, kAllFlags & ~kTemplatesBit}) {
    const bool templates = (flags & kTemplatesBit) && flags != kAllFlags;
    const long before = sandbox.Calls("GetTemplateInfoList");
    std::vector<SHostInfo> out;
    ASSERT_EQ(plugin->GetHostInfoList(out, flags, 0, nullptr, FILTER_TYPE_NONE), 1) << std::hex << flags;
    ASSERT_EQ(out.size(), 2u);
    for (const auto& host : out) {
      EXPECT_EQ(GuidsOf(host.vms), templates ? ImagesSeenBy(images, host.guid) : std::set<std::string>{})
          << std::hex << flags;
      for (const auto& vm : host.vms) EXPECT_TRUE(vm.isTemplate);
    }
    EXPECT_EQ(sandbox.Calls("GetTemplateInfoList") - before, templates ? 2 : 0) << std::hex << flags;
  }
  // The template inventory of a host lists the images it sees.
  for (const std::string& id : Column(Ls(sandbox, "compartments"), "id")) {
    std::vector<SInventoryInfo> out;
    ASSERT_EQ(plugin->GetVMInventoryInfoListForHost(id, out, kAllFlags, 7), 1);
    EXPECT_EQ(GuidsOf(out), ImagesSeenBy(images, id));
    for (const auto& e : out) EXPECT_EQ(e.type, INVENTORY_TYPE_VM);
  }
  // Filters apply only with a filter list and a type.
  const std::vector<std::string> all = {"backup-proxy", "sample-db", "sample-web"};
  const std::vector<std::string> samples = {"sample-*"};
  const std::tuple<const std::vector<std::string>*, EFilterType, std::vector<std::string>> cases[] = {
      {&samples, FILTER_TYPE_NONE, all},
      {nullptr, FILTER_TYPE_INCLUDE, all},
      {&samples, FILTER_TYPE_EXCLUDE, {"backup-proxy"}}};
  for (const auto& [filters, type, expected] : cases) {
    std::vector<SVMInfo> out;
    ASSERT_EQ(plugin->GetVMInfoList(out, 0, 0, filters, type), 1);
    EXPECT_EQ(NamesOf(out), expected) << (filters ? "filters" : "null") << " type " << type;
  }
  const std::vector<std::string> prod = {"prod*"};
  std::vector<SHostInfo> hosts;
  ASSERT_EQ(plugin->GetHostInfoList(hosts, 0, 0, &prod, FILTER_TYPE_EXCLUDE), 1);
  EXPECT_EQ(NamesOf(hosts), std::vector<std::string>{"Backup"});
  for (const std::string op : {"GetTemplateInfoList", "GetHostInfoList", "GetVMInfoList"}) {
    AddFailure(sandbox, op, "service down", op == "GetTemplateInfoList" ? 2 : 1);
    std::vector<SHostInfo> hosts(1);
    std::vector<SVMInfo> vms(1);
    hosts[0].name = vms[0].name = "sentinel";
    EXPECT_EQ(op == "GetVMInfoList" ? plugin->GetVMInfoList(vms, 0, 0, nullptr, FILTER_TYPE_NONE)
                                    : plugin->GetHostInfoList(hosts, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE),
              0);
    EXPECT_EQ(NamesOf(hosts).at(0) + NamesOf(vms).at(0), "sentinelsentinel") << op;
  }
}

// An infrastructure host is "compartment!availability-domain", a classic one a site; records are
// asked for by id or by name, images as templates; the plain object looks nothing up.
TEST_F(PluginDiscovery, QueriesByFlavour) {
  CTestSandbox sandbox, classicSandbox("classic");
  auto infra = ConnectPlugin<CInfraPlugin>(sandbox);
  auto classic = ConnectPlugin<CClassicPlugin>(classicSandbox);
  const std::string production = CompartmentId(sandbox, "Production");
  std::vector<SVMInfo> out;
  EXPECT_EQ(infra->GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_VM, 0, 0, out), 0);
  EXPECT_EQ(classic->GetVMInfoListForInventoryObject("us2", INVENTORY_TYPE_COMPARTMENT, 0, 0, out), 0);
  EXPECT_EQ(classicSandbox.Calls("GetVMInfoList"), 0);
  ASSERT_EQ(infra->GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_COMPARTMENT, 0, 0, out), 1);
  EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"sample-db", "sample-web"}));
  ASSERT_EQ(classic->GetVMInfoListForInventoryObject("ignored", INVENTORY_TYPE_VM, 0, 0, out), 1);
  EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"backup-proxy", "sample-db", "sample-web"}));
  const std::tuple<COracleCloudInfo*, std::string, std::string, size_t> hosts[] = {
      {infra.get(), production, production, 2},
      {infra.get(), production + "!Uocm:PHX-AD-1", production, 2},
      {infra.get(), production + "!Uocm:NOWHERE", "", 0},
      {infra.get(), production + "!Uocm:PHX-AD-2!extra", production, 0},
      {classic.get(), "us2", "us2", 3},
      {classic.get(), "no-such-site", "", 0}};
  for (const auto& [object, name, guid, instances] : hosts) {
    SHostInfo host;
    object->SetLastVMError(VMERR_NONE);
    EXPECT_EQ(object->GetHostInfoForHost(name, OracleCloudSDKCppBridge::HOSTINFO_FLAG_WITH_VMS, 0, host),
              !guid.empty());
    EXPECT_EQ(host.guid, guid) << name;
    EXPECT_EQ(host.vms.size(), instances) << name;
    EXPECT_EQ(object->GetLastVMError(), guid.empty() ? VMERR_HOST_QUERY_FAILED : VMERR_NONE) << name;
  }
  const std::string web = InstanceId(sandbox, "sample-web"), classicImage = "/oracle/public/us2/Oracle-Linux-8.8";
  const std::string image =
      RowWhere(RowsWhere(Ls(sandbox, "images"), "region", "us-phoenix-1"), "name", "Oracle-Linux-8.8")["id"];
  const std::tuple<COracleCloudInfo*, std::string, std::string, bool, std::string, EVMInfoError> records[] = {
      {infra.get(), "", web, false, web, VMERR_NONE},
      {infra.get(), "not-the-image-name", image, true, image, VMERR_NONE},
      {infra.get(), "sample-web", "ocid1.instance.oc1.phx.gone", false, "", VMERR_VM_NOT_FOUND},
      {infra.get(), "", "ocid1.image.oc1.phx.gone", true, "", VMERR_HOST_QUERY_FAILED},
      {classic.get(), "sample-web", "", false, InstanceId(classicSandbox, "sample-web"), VMERR_NONE},
      {classic.get(), "Oracle-Linux-8.8", classicImage, true, classicImage, VMERR_NONE},
      {classic.get(), "no-such-vm", "", false, "", VMERR_VM_NOT_FOUND},
      {classic.get(), "no-such-image", "no-such-image", true, "", VMERR_HOST_QUERY_FAILED}};
  for (const auto& [object, name, guid, isImage, found, code] : records) {
    object->SetLastVMError(VMERR_NONE);
    SVMInfo record;
    record.isTemplate = isImage;
    EXPECT_EQ(object->GetVMInfoForVM(name, guid, "", 0, 0, record), found.empty() ? 0 : 1) << name << " " << guid;
    EXPECT_EQ(object->GetLastVMError(), code) << name << " " << guid;
    EXPECT_EQ(record.guid, found);
    EXPECT_EQ(record.isTemplate, isImage);
    if (found.empty()) {
      EXPECT_NE(object->GetLastVMErrorDetails().find(guid.empty() ? name : guid), std::string::npos);
    }
    if (!found.empty() && !isImage) {
      EXPECT_EQ(record.name, "sample-web");
    }
  }
  auto plain = ConnectPlugin<CPlainPlugin>(sandbox);
  SVMInfo untouched;
  untouched.name = "sentinel";
  EXPECT_EQ(plain->GetVMInfoForVM("sample-web", "", "", 0, 0, untouched), 1);
  EXPECT_EQ(untouched.name + untouched.guid, "sentinel");
  // Other flavours append one host holding every template.
  using Other = std::pair<COracleCloudInfo*, const CTestSandbox*>;
  for (auto [object, cloud] : {Other{plain.get(), &sandbox}, Other{classic.get(), &classicSandbox}}) {
    std::vector<SHostInfo> plainHosts, withTemplates;
    ASSERT_EQ(object->GetHostInfoList(plainHosts, 0, 0, nullptr, FILTER_TYPE_NONE), 1);
    ASSERT_EQ(object->GetHostInfoList(withTemplates, kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE), 1);
    ASSERT_EQ(withTemplates.size(), plainHosts.size() + 1);
    for (size_t i = 0; i < plainHosts.size(); ++i)
      EXPECT_EQ(withTemplates[i].guid + "|" + std::to_string(withTemplates[i].vms.size()), plainHosts[i].guid + "|0");
    EXPECT_EQ(withTemplates.back().name + withTemplates.back().guid, "");
    EXPECT_EQ(GuidsOf(withTemplates.back().vms), Column(Ls(*cloud, "images"), "id"));
  }
  // Each query or browse level whose bridge call fails: 0, its code and the bridge's text.
  SVMInfo vm, imageRecord;
  imageRecord.isTemplate = true;
#define Q(call) [&](COracleCloudInfo& p) { return p.call; }
  struct Case {
    bool classic;
    const char* op;
    std::function<int(COracleCloudInfo&)> query;
    EVMInfoError code = VMERR_HOST_QUERY_FAILED;
  } cases[] = {
      {false, "GetHostInfoList", Q(GetHostInfoList(Out<SHostInfo>(), 0, 0, nullptr, FILTER_TYPE_NONE))},
      {false, "GetTemplateInfoList", Q(GetHostInfoList(Out<SHostInfo>(), kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE))},
      {true, "GetTemplateInfoList", Q(GetHostInfoList(Out<SHostInfo>(), kTemplatesBit, 0, nullptr, FILTER_TYPE_NONE))},
      {false, "GetHostInfo", Q(GetHostInfoForHost(production, 0, 0, Out<SHostInfo>()[0]))},
      {true, "GetHostInfo", Q(GetHostInfoForHost("us2", 0, 0, Out<SHostInfo>()[0]))},
      {false, "GetVMInfoList", Q(GetVMInfoList(Out<SVMInfo>(), 0, 0, nullptr, FILTER_TYPE_NONE))},
      {false, "GetVMInfoListForHost",
       Q(GetVMInfoListForInventoryObject(production, INVENTORY_TYPE_COMPARTMENT, 0, 0, Out<SVMInfo>()))},
      {true, "GetVMInfoList", Q(GetVMInfoListForInventoryObject("", INVENTORY_TYPE_VM, 0, 0, Out<SVMInfo>()))},
      {false, "GetTemplateInfoList", Q(GetVMInventoryInfoListForHost(production, Out<SInventoryInfo>(), 0, 0))},
      {false, "GetDCInfoList", Q(GetDCInfoList(Out<SDataCenterInfo>(), 0, 0))},
      {false, "GetAvailabilityDomainInfoList", Q(GetRPInfoListForHost(production, Out<SResourcePoolInfo>(), 0, 0))},
      {false, "GetInstanceShapeInfoList", Q(GetAvailableVMSizesForHost(production, Out<SVMSizeInfo>(), 0, 0))},
      {true, "GetInstanceShapeInfoList", Q(GetAvailableVMSizesForHost("us2", Out<SVMSizeInfo>(), 0, 0))},
      {false, "GetSecurityGroupList", Q(GetSecurityGroupsForHost(production, Out<SSecurityGroupInfo>(), 0, 0))},
      {false, "GetKeyPairInfoList", Q(GetKeyPairForHost(production, Out<SKeyPairInfo>(), 0, 0))},
      {false, "GetStagingStorageListForHost",
       Q(GetStagingStorageListForHost(production, Out<SStagingStorage>(), 0, 0))},
      {false, "GetVMInfo", Q(GetVMInfoForVM("", web, "", 0, 0, vm)), VMERR_VM_NOT_FOUND},
      {true, "GetVMInfo", Q(GetVMInfoForVM("sample-web", "", "", 0, 0, vm)), VMERR_VM_NOT_FOUND},
      {false, "GetTemplateInfo", Q(GetVMInfoForVM("", image, "", 0, 0, imageRecord))},
      {true, "GetTemplateInfo", Q(GetVMInfoForVM("Oracle-Linux-8.8", "", "", 0, 0, imageRecord))},
      {false, "GetVMInfo", Q(GetLocalDSInfoList(Out<SDatastoreInfo>(), 0, 0)), VMERR_PROXY_NOT_FOUND},
      {false, "GetHostInfoList", Q(BrowseInventory("VMs", {}, Out<SInventoryInfo>(), 0, 0))},
      {false, "GetHostInfo", Q(BrowseInventory("VMs\\" + production, {}, Out<SInventoryInfo>(), 0, 0))},
      {true, "GetDCInfoList", Q(BrowseInventory("VMs", {}, Out<SInventoryInfo>(), 0, 0))},
      {true, "GetHostInfoList", Q(BrowseInventory("VMs\\us2", {}, Out<SInventoryInfo>(), 0, 0))},
      {true, "GetHostInfo", Q(BrowseInventory("VMs\\us2\\us2", {}, Out<SInventoryInfo>(), 0, 0))},
  };
#undef Q
  for (const auto& c : cases) {
    const std::string label = std::string(c.op) + (c.classic ? " (classic)" : "");
    COracleCloudInfo& plugin = c.classic ? static_cast<COracleCloudInfo&>(*classic) : *infra;
    if (c.code != VMERR_PROXY_NOT_FOUND) {
      EXPECT_EQ(c.query(plugin), 1) << label << ", before the outage";
    }
    AddFailure(c.classic ? classicSandbox : sandbox, c.op, label + " outage", 1);
    plugin.SetLastVMError(VMERR_NONE);
    plugin.SetLastVMErrorDetails("");
    EXPECT_EQ(c.query(plugin), 0) << label;
    EXPECT_EQ(plugin.GetLastVMError(), c.code) << label;
    EXPECT_EQ(plugin.GetLastVMErrorDetails(), label + " outage");
  }
}

TEST_F(PluginDiscovery, HostCacheIsRefreshedOnlyWhenANewDiscoveryIsDue) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  // flags, option, host list queries so far
  const int steps[][3] = {{0, 0, 1}, {0, 0, 1}, {1, 0, 2}, {1, 0, 2}, {1, 5, 3}, {1, 5, 3}};
  for (const auto& s : steps) {
    ASSERT_EQ(plugin->_RefreshHostInfoCache(s[0], s[1]), 1);
    EXPECT_EQ(sandbox.Calls("GetHostInfoList"), s[2]) << s[0] << "/" << s[1];
    EXPECT_EQ(NamesOf(plugin->hostInfoCache), kBoth);
  }
  // A new connection drops the cache.
  ASSERT_EQ(plugin->Connect(sandbox.CloudUrl(), "tester", "secret"), 1);
  ASSERT_EQ(plugin->_RefreshHostInfoCache(1, 5), 1);
  EXPECT_EQ(sandbox.Calls("GetHostInfoList"), 4);
  // A failed refresh drops the cache: neither its flags nor the earlier ones find it current.
  for (const auto& [flags, option] : {std::pair{1, 5}, std::pair{2, 0}}) {
    AddFailure(sandbox, "GetHostInfoList", "identity service down", 1);
    plugin->hostInfoCache.resize(3);
    EXPECT_EQ(plugin->_RefreshHostInfoCache(2, 0), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED);
    EXPECT_TRUE(plugin->hostInfoCache.empty());
    const long before = sandbox.Calls("GetHostInfoList");
    ASSERT_EQ(plugin->_RefreshHostInfoCache(flags, option), 1) << flags;
    EXPECT_EQ(sandbox.Calls("GetHostInfoList"), before + 1) << flags;
    EXPECT_EQ(NamesOf(plugin->hostInfoCache), kBoth);
  }
}

// The local data store is the proxy's domain; region keys ignore case; no flexible shapes.
TEST_F(PluginDiscovery, DataStoreRegionsAndShapes) {
  CTestSandbox sandbox;
  // Moved, so that the answer cannot be the region's first domain by chance.
  ExecSql(sandbox, "UPDATE instances SET ad = 'Uocm:PHX-AD-2' WHERE id = ?", sandbox.ProxyInstanceId());
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  std::vector<SDatastoreInfo> stores;
  ASSERT_EQ(plugin->GetLocalDSInfoList(stores, 0, 0), 1);
  EXPECT_EQ(NamesOf(stores), std::vector<std::string>{"Uocm:PHX-AD-2"});
  // Data stores are the proxy's own, never listed per host.
  std::vector<SDatastoreInfo> perHost;
  EXPECT_EQ(plugin->GetDSInfoListForHost(CompartmentId(sandbox, "Production"), perHost, 0, 0), 0);
  const std::pair<std::string, std::string> regions[] = {
      {"PHX", "us-phoenix-1"}, {"phx", "us-phoenix-1"}, {"iAd", "us-ashburn-1"}, {"FRA", ""}, {"", ""}};
  for (const auto& [key, region] : regions) EXPECT_EQ(plugin->_GetRegionNameForRegionKey(key), region) << key;
  EXPECT_TRUE(LoggedError("Failed to find the region key [FRA] in the subscribed list of regions"));
  std::vector<SVMSizeInfo> shapes;
  ASSERT_EQ(plugin->GetAvailableVMSizesForHost("", shapes, 0, 0), 1);
  std::multiset<std::string> offered, fixed;
  for (const auto& shape : shapes) offered.insert(shape.name);
  for (const auto& shape : Ls(sandbox, "shapes"))
    if (!shape["flexible"].get<bool>()) fixed.insert(shape["name"].get<std::string>());
  EXPECT_EQ(offered, fixed);
  // A proxy the cloud does not know has no local data store; a failed region list, no names.
  ExecSql(sandbox, "DELETE FROM instances WHERE id = ?", sandbox.ProxyInstanceId());
  stores.clear();
  EXPECT_EQ(ConnectPlugin<CInfraPlugin>(sandbox)->GetLocalDSInfoList(stores, 0, 0), 0);
  EXPECT_TRUE(stores.empty());
  AddFailure(sandbox, "GetDCInfoList", "region service down", 1);
  EXPECT_EQ(plugin->_GetRegionNameForRegionKey("PHX"), "");
  // Only a failed call fails: a cloud without images or regions answers with empty lists.
  ExecSql(sandbox, "DELETE FROM images");
  ExecSql(sandbox, "DELETE FROM regions");
  std::vector<SInventoryInfo> images, browsed;
  std::vector<SDataCenterInfo> regionList;
  auto plain = ConnectPlugin<CPlainPlugin>(sandbox);
  ASSERT_EQ(plain->GetVMInventoryInfoListForHost(CompartmentId(sandbox, "Production"), images, 0, 0), 1);
  ASSERT_EQ(plain->GetDCInfoList(regionList, 0, 0), 1);
  ASSERT_EQ(plain->BrowseInventory("VMs", SInventoryInfo{}, browsed, 0, 0), 1);
  EXPECT_TRUE(images.empty() && regionList.empty() && browsed.empty());
}
