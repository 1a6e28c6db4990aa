// Browse and discovery through the bridge: regions, hosts, instances, images, domains, shapes,
// access lists and buckets, checked against the simulated cloud's own tables.
#include <algorithm>

#include "bridge/sim/SimFaults.h"
#include "sim_test_cloud.h"

using OracleCloudSDKCppBridge::HOSTINFO_FLAG_WITH_VMS;
using OracleCloudSDKCppBridge::VMINFO_FLAG_DISKS;
using OracleCloudSDKCppBridge::VMINFO_FLAG_NETWORK;
using simtest::CTestCloud;
using VMInfoStructs::SHostInfo;
using VMInfoStructs::SVMInfo;

namespace {

template <class T>
std::vector<std::string> Names(const std::vector<T>& records) {
  std::vector<std::string> names;
  for (const auto& r : records) names.push_back(r.name);
  return names;
}

class SimDiscovery : public ::testing::TestWithParam<sim::EFlavour> {
 protected:
  bool Classic() const { return GetParam() == sim::EFlavour::Classic; }
  template <class... Args>
  void Exec(const std::string& sql, const Args&... args) {
    cloud_.Exec(sql, args...);
  }
  template <class... Args>
  std::string Query(const std::string& sql, const Args&... args) {
    return cloud_.Text(sql, args...);
  }
  std::string CompartmentId(const std::string& name) {
    return Query("SELECT id FROM compartments WHERE name = ?", name);
  }
  std::string HomeRegion() const { return Classic() ? "us2" : "us-phoenix-1"; }
  std::string OtherRegion() const { return Classic() ? "em2" : "us-ashburn-1"; }
  std::string Ad(int n) const {
    return Classic() ? (n == 1 ? "US2-Z27" : "US2-Z28") : (n == 1 ? "Uocm:PHX-AD-1" : "Uocm:PHX-AD-2");
  }

  CTestCloud cloud_{GetParam()};
};

TEST_P(SimDiscovery, RegionsComeHomeFirstWithTheirKeys) {
  auto bridge = cloud_.Connect();
  Exec("INSERT INTO regions(name, key) VALUES ('ap-tokyo-1', 'NRT')");
  std::vector<VMInfoStructs::SDataCenterInfo> regions;
  ASSERT_NE(bridge->GetDCInfoList(regions, 0, 0), 0) << bridge->GetLastError();
  ASSERT_EQ(regions.size(), 3u);
  EXPECT_EQ(regions[0].name, HomeRegion());
  EXPECT_EQ(regions[0].regionKey, Classic() ? "US2" : "PHX");
  EXPECT_TRUE(regions[0].isHomeRegion);
  EXPECT_EQ(Names(regions), (std::vector<std::string>{HomeRegion(), "ap-tokyo-1", OtherRegion()}));
  EXPECT_EQ(regions[1].regionKey, "NRT");
  EXPECT_EQ(bridge->GetDefaultRegion(), HomeRegion());

  // Both go through the guard: a failure rule reaches them.
  cloud_.AddFault("GetDefaultRegion", 1, sim::EFaultAction::Fail, "Region service unavailable");
  EXPECT_EQ(bridge->GetDefaultRegion(), "");
  EXPECT_EQ(bridge->GetLastError(), "Region service unavailable");
}

TEST_P(SimDiscovery, HostListFollowsTheFlavour) {
  auto bridge = cloud_.Connect();
  std::vector<SHostInfo> hosts;
  ASSERT_TRUE(bridge->GetHostInfoList(0, 0, "", hosts)) << bridge->GetLastError();
  if (!Classic()) {
    // Every compartment, whatever region is named.
    ASSERT_EQ(Names(hosts), (std::vector<std::string>{"Backup", "Production"}));
    EXPECT_EQ(hosts[0].guid, CompartmentId("Backup"));
    EXPECT_EQ(hosts[1].guid, CompartmentId("Production"));
    std::vector<SHostInfo> again;
    ASSERT_TRUE(bridge->GetHostInfoList(0, 0, "us-ashburn-1", again));
    EXPECT_EQ(Names(again), Names(hosts));
  } else {
    // The account's site in each region; the region narrows.
    ASSERT_EQ(Names(hosts), (std::vector<std::string>{"Compute-a424242 (us2)", "Compute-a424242 (em2)"}));
    EXPECT_EQ(hosts[0].guid, "us2");
    std::vector<SHostInfo> one;
    ASSERT_TRUE(bridge->GetHostInfoList(0, 0, "em2", one));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].guid, "em2");
    std::vector<SHostInfo> none{SHostInfo{}};
    EXPECT_FALSE(bridge->GetHostInfoList(0, 0, "mars1", none));
    EXPECT_EQ(bridge->GetLastError(), "Region [mars1] was not found");
    EXPECT_EQ(none.size(), 1u) << "untouched on failure";
  }
  for (const auto& host : hosts) EXPECT_TRUE(host.vms.empty()) << host.name;
}

// sample-web moves to the second domain; the browse narrows by domain and leaves terminated ones out.
TEST_P(SimDiscovery, HostInstancesByIdOrNameNarrowedByDomain) {
  auto bridge = cloud_.Connect();
  Exec("UPDATE instances SET ad = ? WHERE name = 'sample-web'", Ad(2));
  Exec(
      "INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, created) "
      "SELECT 'gone-1', 'sample-gone', 'gone-1', compartment_id, ad, region, shape, cpus, memory_mb, ?, created "
      "FROM instances WHERE name = 'sample-db'",
      cloud_.Open()->Words().instanceTerminated);
  const std::string production = CompartmentId("Production");
  const std::string hostName = Classic() ? "Compute-a424242 (us2)" : "Production";
  const std::string hostId = Classic() ? "us2" : production;
  const std::vector<std::string> all = Classic() ? std::vector<std::string>{"backup-proxy", "sample-db", "sample-web"}
                                                 : std::vector<std::string>{"sample-db", "sample-web"};
  struct SCase {
    std::string name, id, ad;
    UINT64 flags;
    std::vector<std::string> vms;
  };
  const SCase cases[] = {
      {"", hostId, "", HOSTINFO_FLAG_WITH_VMS, all},
      {hostName, "", "", HOSTINFO_FLAG_WITH_VMS, all},
      {hostId, "", "", HOSTINFO_FLAG_WITH_VMS, all},        // an id given as the name
      {"Backup", hostId, "", HOSTINFO_FLAG_WITH_VMS, all},  // the id wins
      {hostName, "", Ad(1), HOSTINFO_FLAG_WITH_VMS,
       Classic() ? std::vector<std::string>{"backup-proxy", "sample-db"} : std::vector<std::string>{"sample-db"}},
      {"", hostId, Ad(2), HOSTINFO_FLAG_WITH_VMS, {"sample-web"}},
      {"", hostId, "", 0, {}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.name + "/" + c.id + "/" + c.ad);
    SHostInfo host;
    ASSERT_TRUE(bridge->GetHostInfo(c.name, c.id, c.ad, host, c.flags | VMINFO_FLAG_DISKS | VMINFO_FLAG_NETWORK))
        << bridge->GetLastError();
    EXPECT_EQ(host.name, hostName);
    EXPECT_EQ(host.guid, hostId);
    EXPECT_EQ(Names(host.vms), c.vms);
    for (const auto& vm : host.vms) {
      EXPECT_FALSE(vm.guid.empty());
      EXPECT_TRUE(vm.disks.empty()) << "host listings carry no volumes";
      EXPECT_EQ(vm.networkCards.size(), 1u);
    }
  }
}

TEST_P(SimDiscovery, UnknownHostsAndDomainsAreNamed) {
  auto bridge = cloud_.Connect();
  struct SCase {
    std::string name, id, ad, text;
  };
  const SCase cases[] = {
      {"Staging", "", "", "Host [Staging] was not found"},
      {"", "ocid1.compartment.oc1..nothing", "", "Host with id [ocid1.compartment.oc1..nothing] was not found"},
      {"", "", "", "Neither a host name nor a host id was given"},
      {"Production", "", "Uocm:XYZ-AD-9", "Availability domain [Uocm:XYZ-AD-9] was not found"},
  };
  for (const SCase& c : cases) {
    SHostInfo host;
    host.name = "untouched";
    EXPECT_FALSE(bridge->GetHostInfo(c.name, c.id, c.ad, host, HOSTINFO_FLAG_WITH_VMS));
    EXPECT_EQ(bridge->GetLastError(), c.text);
    EXPECT_EQ(host.name, "untouched");
  }
}

TEST_P(SimDiscovery, InstanceListsLeaveTerminatedOnesOut) {
  auto bridge = cloud_.Connect();
  auto db = cloud_.Open();
  Exec("UPDATE instances SET state = ? WHERE name = 'sample-web'", db->Words().instanceTerminated);
  Exec("UPDATE instances SET state = ? WHERE name = 'sample-db'", db->Words().instanceStopped);
  std::vector<SVMInfo> vms;
  ASSERT_TRUE(bridge->GetVMInfoList(vms, VMINFO_FLAG_DISKS)) << bridge->GetLastError();
  EXPECT_EQ(Names(vms), (std::vector<std::string>{"backup-proxy", "sample-db"}));
  EXPECT_EQ(vms[1].disks.size(), 2u) << "the flags select the parts as for one record";
  EXPECT_EQ(vms[1].powerState, 0u);

  std::vector<SVMInfo> backup;
  ASSERT_TRUE(bridge->GetVMInfoListForHost(backup, CompartmentId("Backup"), 0));
  EXPECT_EQ(Names(backup), std::vector<std::string>{"backup-proxy"});
  std::vector<SVMInfo> none;
  EXPECT_FALSE(bridge->GetVMInfoListForHost(none, "ocid1.compartment.oc1..x", 0));
  EXPECT_EQ(bridge->GetLastError(), "Host [ocid1.compartment.oc1..x] was not found");
}

// The same image lives in two regions under one key; a name is looked up per region.
TEST_P(SimDiscovery, TemplatesByIdOrByNamePerRegion) {
  auto bridge = cloud_.Connect();
  const std::string name = "Oracle-Linux-8.8";
  const std::string homeId = Query("SELECT id FROM images WHERE name = ? AND region = ?", name, HomeRegion());
  const std::string otherId = Query("SELECT id FROM images WHERE name = ? AND region = ?", name, OtherRegion());
  ASSERT_NE(homeId, otherId);

  SVMInfo home, other, byId;
  ASSERT_TRUE(bridge->GetTemplateInfo(name, home, "")) << bridge->GetLastError();
  ASSERT_TRUE(bridge->GetTemplateInfo(name, other, OtherRegion())) << bridge->GetLastError();
  ASSERT_TRUE(bridge->GetTemplateInfo(otherId, byId, HomeRegion())) << "an id is found in any region";
  EXPECT_EQ(home.guid, homeId);
  EXPECT_EQ(other.guid, otherId);
  EXPECT_EQ(byId.guid, otherId);
  EXPECT_EQ(home.imageKey, other.imageKey);
  EXPECT_EQ(home.imageKey, "Oracle-Linux-8.8-2023.09.26-0");
  EXPECT_EQ(home.region, HomeRegion());
  EXPECT_EQ(other.region, OtherRegion());
  EXPECT_EQ(home.launchMode, "PARAVIRTUALIZED");
  EXPECT_EQ(home.name, name);
  EXPECT_TRUE(home.isTemplate);

  SVMInfo missing;
  EXPECT_FALSE(bridge->GetTemplateInfo("Canonical-Ubuntu-22.04", missing, OtherRegion()));
  EXPECT_EQ(bridge->GetLastError(), "Image [Canonical-Ubuntu-22.04] was not found in region [" + OtherRegion() + "]");
  EXPECT_TRUE(missing.guid.empty());

  std::vector<SVMInfo> named;
  ASSERT_TRUE(bridge->GetTemplateInfoListFilterByName(named, name, CompartmentId("Production"), 0, 0, OtherRegion()));
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].guid, otherId);
  ASSERT_TRUE(bridge->GetTemplateInfoListFilterByName(named, "Canonical-Ubuntu-22.04", "", 0, 0, ""));
  EXPECT_EQ(named.size(), 1u) << "empty region: the default one";
}

// An image private to a compartment is listed for that compartment only.
TEST_P(SimDiscovery, TemplateListsShowWhatACompartmentSees) {
  auto bridge = cloud_.Connect();
  const std::string backup = CompartmentId("Backup");
  Exec(
      "INSERT INTO images(id, name, region, image_key, compartment_id, state, created) "
      "VALUES ('img-private', 'restored-image', ?, 'restored-image', ?, 'AVAILABLE', 0)",
      HomeRegion(), backup);
  std::vector<SVMInfo> all, ofBackup, ofProduction, privateOnes;
  ASSERT_TRUE(bridge->GetTemplateInfoList(all, "", 0, 0)) << bridge->GetLastError();
  ASSERT_TRUE(bridge->GetTemplateInfoList(ofBackup, backup, 0, 0));
  ASSERT_TRUE(bridge->GetTemplateInfoList(ofProduction, CompartmentId("Production"), 0, 0));
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(ofBackup.size(), 4u);
  EXPECT_EQ(ofProduction.size(), 3u);
  for (const auto& image : ofProduction) EXPECT_NE(image.guid, "img-private");
  for (const auto& image : all) EXPECT_TRUE(image.isTemplate);
  ASSERT_TRUE(
      bridge->GetTemplateInfoListFilterByName(privateOnes, "restored-image", CompartmentId("Production"), 0, 0, ""));
  EXPECT_TRUE(privateOnes.empty());
  EXPECT_FALSE(bridge->GetTemplateInfoList(all, "Nowhere", 0, 0));
  EXPECT_EQ(bridge->GetLastError(), "Host [Nowhere] was not found");
}

TEST_P(SimDiscovery, DomainsShapesKeysListsAndBuckets) {
  auto bridge = cloud_.Connect();
  std::vector<SVMInfo> domains;
  ASSERT_TRUE(bridge->GetAvailabilityDomainInfoList(domains, "Production", 0, 0)) << bridge->GetLastError();
  EXPECT_EQ(Names(domains), (std::vector<std::string>{Ad(1), Ad(2)}));
  EXPECT_FALSE(bridge->GetAvailabilityDomainInfoList(domains, "Nowhere", 0, 0));
  if (Classic()) {
    ASSERT_TRUE(bridge->GetAvailabilityDomainInfoList(domains, "Compute-a424242 (em2)", 0, 0));
    EXPECT_EQ(Names(domains), std::vector<std::string>{"EM2-Z11"}) << "a site shows its own region's domains";
  }

  std::vector<VMInfoStructs::SVMSizeInfo> shapes;
  ASSERT_TRUE(bridge->GetInstanceShapeInfoList(shapes, ""));
  ASSERT_EQ(shapes.size(), 5u) << "flexible shapes included";
  EXPECT_EQ(shapes[0].name, "VM.Standard.E4.Flex");
  EXPECT_EQ(shapes[0].memory, 16384);

  std::vector<VMInfoStructs::SSecurityGroupInfo> lists;
  ASSERT_TRUE(bridge->GetSecurityGroupList(lists));
  EXPECT_EQ(Names(lists), (std::vector<std::string>{"Default Security List", "web-ingress"}));
  std::vector<VMInfoStructs::SKeyPairInfo> keys;
  ASSERT_TRUE(bridge->GetKeyPairInfoList(keys));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].guid, Query("SELECT id FROM ssh_keys WHERE name = 'ops-key'"));

  struct SBucketCase {
    std::string host;
    std::vector<std::string> buckets;
  };
  const SBucketCase bucketCases[] = {
      {"", {"backup-staging", "image-import"}},
      {"Backup", {"backup-staging", "image-import"}},
      {CompartmentId("Backup"), {"backup-staging", "image-import"}},
      {"Production", {}},
  };
  for (const auto& c : bucketCases) {
    std::vector<VMInfoStructs::SStagingStorage> buckets;
    ASSERT_TRUE(bridge->GetStagingStorageListForHost(buckets, c.host, 0, 0)) << c.host;
    EXPECT_EQ(Names(buckets), c.buckets) << c.host;
    for (const auto& bucket : buckets) EXPECT_EQ(bucket.compartmentId, CompartmentId("Backup"));
  }
  std::vector<VMInfoStructs::SStagingStorage> none;
  EXPECT_FALSE(bridge->GetStagingStorageListForHost(none, "Nowhere", 0, 0));
  EXPECT_EQ(bridge->GetLastError(), "Host [Nowhere] was not found");
}

// An image restricted to some shapes offers only those; an unrestricted one every shape.
TEST_P(SimDiscovery, ShapesForAnImage) {
  auto bridge = cloud_.Connect();
  const std::string ubuntu = Query("SELECT id FROM images WHERE name = 'Canonical-Ubuntu-22.04'");
  const std::string linux = Query("SELECT id FROM images WHERE name = 'Oracle-Linux-8.8' AND region = ?", HomeRegion());
  Exec("INSERT INTO image_shapes(image_id, shape) VALUES (?, 'VM.Standard2.1'), (?, 'VM.Standard.E4.Flex')", ubuntu,
       ubuntu);
  std::vector<VMInfoStructs::SVMSizeInfo> shapes;
  ASSERT_TRUE(bridge->GetInstanceShapeInfoListForImage(shapes, CompartmentId("Production"), ubuntu, Ad(1)))
      << bridge->GetLastError();
  EXPECT_EQ(Names(shapes), (std::vector<std::string>{"VM.Standard.E4.Flex", "VM.Standard2.1"}));
  ASSERT_TRUE(bridge->GetInstanceShapeInfoListForImage(shapes, "", linux, ""));
  EXPECT_EQ(shapes.size(), 5u);

  std::vector<VMInfoStructs::SVMSizeInfo> kept(1);
  EXPECT_FALSE(bridge->GetInstanceShapeInfoListForImage(kept, "", "ocid1.image.oc1.phx.none", ""));
  EXPECT_EQ(bridge->GetLastError(), "Image with id [ocid1.image.oc1.phx.none] was not found");
  EXPECT_EQ(kept.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SimFlavours, SimDiscovery,
                         ::testing::Values(sim::EFlavour::Infrastructure, sim::EFlavour::Classic),
                         [](const auto& info) { return std::string(sim::FlavourName(info.param)); });

}  // namespace
