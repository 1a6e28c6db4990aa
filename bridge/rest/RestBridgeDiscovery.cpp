// The REST backend's discovery: regions, domains, compartments, shapes, images, buckets, instances as
// records and the configuration texts saved with them.
#include <algorithm>
#include <stdexcept>

#include "bridge/ClassicConfigurations.h"
#include "bridge/InstanceConfiguration.h"
#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestCloudReader.h"
#include "bridge/rest/RestCompartments.h"
#include "bridge/rest/RestPaths.h"
#include "bridge/rest/RestRecords.h"
#include "host/HostTypes.h"

namespace OracleCloudSDKCppBridge {
namespace {

std::vector<json> RegionSubscriptions(CRestApi& api, const std::string& tenancy) {
  const json list =
      api.Get(ERestService::Identity, "/20160918/tenancies/" + UrlEncode(tenancy) + "/regionSubscriptions");
  return list.is_array() ? std::vector<json>(list.begin(), list.end()) : std::vector<json>();
}

}  // namespace

int CRestBridge::GetDCInfoList(std::vector<SDataCenterInfo>& regions, UINT64, int) {
  return Run("GetDCInfoList",
             [&](CRestApi& api) {
               std::vector<SDataCenterInfo> list;
               for (const json& r : RegionSubscriptions(api, Tenancy())) {
                 SDataCenterInfo region;
                 region.name = TextOf(r, "regionName");
                 region.regionKey = TextOf(r, "regionKey");
                 region.isHomeRegion = r.value("isHomeRegion", false);
                 list.push_back(std::move(region));
               }
               std::stable_sort(list.begin(), list.end(), [](const SDataCenterInfo& a, const SDataCenterInfo& b) {
                 return a.isHomeRegion != b.isHomeRegion ? a.isHomeRegion : a.name < b.name;
               });
               regions = std::move(list);
               return true;
             })
             ? 1
             : 0;
}

bool CRestBridge::GetHostInfoList(UINT64, int, const string&, std::vector<SHostInfo>& hosts) {
  return Run("GetHostInfoList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    hosts = reader.Hosts();
    return true;
  });
}

bool CRestBridge::GetHostInfo(const string& hostName, const string& hostId, const string& availabilityDomain,
                              SHostInfo& host, UINT64 flags) {
  return Run("GetHostInfo", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    if (hostName.empty() && hostId.empty()) return Fail("Neither a host name nor a host id was given");
    SHostInfo found;
    try {
      found = reader.Host(hostId, false);
    } catch (const std::runtime_error&) {
      if (hostName.empty()) throw;
      found = reader.Host(hostName, true);
    }
    if (!availabilityDomain.empty()) {
      const std::vector<std::string> domains = AvailabilityDomainNames(api, Tenancy());
      if (std::find(domains.begin(), domains.end(), availabilityDomain) == domains.end())
        return Fail("Availability domain [" + availabilityDomain + "] was not found");
    }
    if (flags & HOSTINFO_FLAG_WITH_VMS) {
      // The host's instances are listed as records without their volumes.
      SRecordParts parts = SRecordParts::FromFlags(flags);
      parts.disks = parts.snapshots = false;
      found.vms = reader.Instances(found.guid, availabilityDomain, parts);
    }
    host = std::move(found);
    return true;
  });
}

bool CRestBridge::GetVMInfoList(std::vector<SVMInfo>& vms, UINT64 flags) {
  return Run("GetVMInfoList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    vms = reader.Instances("", "", SRecordParts::FromFlags(flags));
    return true;
  });
}

bool CRestBridge::GetVMInfoListForHost(std::vector<SVMInfo>& vms, const string& hostId, UINT64 flags) {
  return Run("GetVMInfoListForHost", [&](CRestApi& api) {
    if (hostId.empty()) return Fail("No compartment was given");
    CRestCloudReader reader(api, Tenancy(), Region());
    vms = reader.Instances(reader.Host(hostId, true).guid, "", SRecordParts::FromFlags(flags));
    return true;
  });
}

bool CRestBridge::GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags) {
  return Run("GetVMInfo", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    SVMInfo record = reader.Record(reader.Instance(name, id), SRecordParts::FromFlags(flags));
    record.isTemplate = vm.isTemplate;
    vm = std::move(record);
    return true;
  });
}

bool CRestBridge::GetTemplateInfo(const string& imageIdOrName, SVMInfo& image, const string& region) {
  return Run("GetTemplateInfo", [&](CRestApi& api) {
    if (imageIdOrName.empty()) return Fail("Neither an image name nor an image id was given");
    CRestCloudReader reader(api, Tenancy(), Region());
    try {
      image = ImageRecord(api.Get(ERestService::Core, ImagePath(imageIdOrName)), Region());
      return true;
    } catch (const CRestError& e) {
      if (!e.NotFound()) throw;  // not an id: a name
    }
    const std::string where = region.empty() ? Region() : region;
    std::vector<SVMInfo> named = where == Region() ? reader.Images("", imageIdOrName) : std::vector<SVMInfo>();
    if (named.empty()) return Fail("Image [" + imageIdOrName + "] was not found in region [" + where + "]");
    if (named.size() > 1)
      return Fail("Image name [" + imageIdOrName + "] is ambiguous in region [" + where +
                  "]: " + std::to_string(named.size()) + " images carry it");
    image = named.front();
    return true;
  });
}

bool CRestBridge::GetTemplateInfoList(std::vector<SVMInfo>& images, const string& hostId, UINT64, int) {
  return Run("GetTemplateInfoList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    images = reader.Images(hostId.empty() ? "" : reader.Host(hostId, true).guid, "");
    return true;
  });
}

bool CRestBridge::GetTemplateInfoListFilterByName(std::vector<SVMInfo>& images, const string& name,
                                                  const string& compartmentId, UINT64, int, const string& region) {
  return Run("GetTemplateInfoListFilterByName", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    std::vector<SVMInfo> named = reader.Images(compartmentId, name);
    // The API serves its own region's images; a name matches exactly.
    named.erase(
        std::remove_if(named.begin(), named.end(),
                       [&](const SVMInfo& i) { return i.name != name || (!region.empty() && region != i.region); }),
        named.end());
    images = std::move(named);
    return true;
  });
}

bool CRestBridge::GetAvailabilityDomainInfoList(std::vector<SVMInfo>& domains, const string& hostName, UINT64, int) {
  return Run("GetAvailabilityDomainInfoList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    if (!hostName.empty()) reader.Host(hostName, true);
    std::vector<SVMInfo> list;
    for (const std::string& name : AvailabilityDomainNames(api, Tenancy())) {
      SVMInfo domain;
      domain.name = domain.guid = domain.availabilityDomain = name;
      domain.region = Region();
      list.push_back(std::move(domain));
    }
    std::sort(list.begin(), list.end(), [](const SVMInfo& a, const SVMInfo& b) { return a.name < b.name; });
    domains = std::move(list);
    return true;
  });
}

bool CRestBridge::GetInstanceShapeInfoList(std::vector<SVMSizeInfo>& shapes, const string&) {
  return Run("GetInstanceShapeInfoList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    shapes = reader.Shapes("", "", "");
    return true;
  });
}

bool CRestBridge::GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& shapes, const string& compartmentId,
                                                   const string& imageId, const string& availabilityDomain) {
  return Run("GetInstanceShapeInfoListForImage", [&](CRestApi& api) {
    if (imageId.empty()) return Fail("No image id was given");
    CRestCloudReader reader(api, Tenancy(), Region());
    shapes = reader.Shapes(compartmentId, imageId, availabilityDomain);
    return true;
  });
}

bool CRestBridge::GetSecurityGroupList(std::vector<SSecurityGroupInfo>& lists) {
  return Run("GetSecurityGroupList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    std::vector<SSecurityGroupInfo> found;
    for (const json& list : reader.EachCompartment("", kSecurityLists, {}))
      found.push_back({TextOf(list, "displayName"), TextOf(list, "id")});
    std::sort(found.begin(), found.end(), [](const SSecurityGroupInfo& a, const SSecurityGroupInfo& b) {
      return std::tie(a.name, a.guid) < std::tie(b.name, b.guid);
    });
    lists = std::move(found);
    return true;
  });
}

// The infrastructure API keeps no key pairs of their own: the keys are the public keys the instances
// were given, each once.
bool CRestBridge::GetKeyPairInfoList(std::vector<SKeyPairInfo>& keys) {
  return Run("GetKeyPairInfoList", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    std::vector<SKeyPairInfo> found;
    for (const json& instance : reader.EachCompartment("", kInstances, {})) {
      for (const SKeyPairInfo& key : InstanceRecord(instance).keyPairs) {
        const bool seen = std::any_of(found.begin(), found.end(),
                                      [&](const SKeyPairInfo& k) { return k.publicKey == key.publicKey; });
        if (!seen) found.push_back(key);
      }
    }
    std::sort(found.begin(), found.end(),
              [](const SKeyPairInfo& a, const SKeyPairInfo& b) { return a.publicKey < b.publicKey; });
    keys = std::move(found);
    return true;
  });
}

bool CRestBridge::GetStagingStorageListForHost(std::vector<SStagingStorage>& buckets, const string& hostName, UINT64,
                                               int) {
  return Run("GetStagingStorageListForHost", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    buckets = reader.Buckets(hostName.empty() ? "" : reader.Host(hostName, true).guid);
    return true;
  });
}

// The region of the API user's configuration, else the tenancy's home region.
string CRestBridge::GetDefaultRegion() {
  string region;
  Run("GetDefaultRegion", [&](CRestApi& api) {
    region = Region();
    for (const json& r : region.empty() ? RegionSubscriptions(api, Tenancy()) : std::vector<json>()) {
      if (r.value("isHomeRegion", false)) region = TextOf(r, "regionName");
    }
    return !region.empty() || Fail("The cloud has no default region");
  });
  return region;
}

bool CRestBridge::GetInstanceConfigurations(const string& instanceId, std::map<string, string>& files) {
  return Run("GetInstanceConfigurations", [&](CRestApi& api) {
    if (instanceId.empty()) return Fail("No instance id was given");
    CRestCloudReader reader(api, Tenancy(), Region());
    const json instance = reader.Instance("", instanceId);
    SRecordParts parts;
    parts.disks = parts.network = true;
    const SVMInfo vm = reader.Record(instance, parts);
    files = {{".json", InstanceConfigurationText(vm, ParseApiTime(TextOf(instance, "timeCreated")))}};
    return true;
  });
}

bool CRestBridge::GetBootVolumeIdForInstance(const SVMInfo& vm, string& bootVolumeId) {
  return Run("GetBootVolumeIdForInstance", [&](CRestApi& api) {
    CRestCloudReader reader(api, Tenancy(), Region());
    const json instance = reader.Instance(vm.name, vm.guid);
    const std::string id = reader.BootVolumeId(instance);
    if (id.empty()) return Fail("Instance [" + TextOf(instance, "id") + "] has no boot volume");
    bootVolumeId = id;
    return true;
  });
}

bool CRestBridge::DoesVMExist(const string& name, std::vector<SVMInfo>& found, const string& compartmentId,
                              bool& exists) {
  return Run("DoesVMExist", [&](CRestApi& api) {
    if (name.empty()) return Fail("No instance name was given");
    CRestCloudReader reader(api, Tenancy(), Region());
    std::vector<SVMInfo> records;
    for (const json& instance : reader.InstancesNamed(name, compartmentId))
      records.push_back(reader.Record(instance, SRecordParts{}));
    found = std::move(records);
    exists = !found.empty();
    return true;
  });
}

bool CRestBridge::ReadInstanceConfig(const string& contents, SVMInfo& vm) {
  std::string error;
  const bool read = instanceType_ == VSINST_ORACLE_CLOUD_CLASSIC ? ParseClassicInstance(contents, vm, error)
                                                                 : ParseInstanceConfiguration(contents, vm, error);
  return read || Fail(error);
}

bool CRestBridge::ReadInstanceOrchestration(const string& contents, SVMInfo& vm) {
  std::string error;
  return ParseClassicOrchestration(contents, vm, error) || Fail(error);
}

}  // namespace OracleCloudSDKCppBridge
