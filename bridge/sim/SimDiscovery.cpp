#include "bridge/sim/SimDiscovery.h"

#include <optional>

namespace sim {

using VMInfoStructs::SDataCenterInfo;
using VMInfoStructs::SHostInfo;
using VMInfoStructs::SKeyPairInfo;
using VMInfoStructs::SSecurityGroupInfo;
using VMInfoStructs::SStagingStorage;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVMSizeInfo;

namespace {

// What a host stands for: instances of a compartment, or (classic site) of a region.
struct SHostScope {
  std::string name, guid;
  std::string compartmentId;  // empty: any compartment
  std::string region;         // empty: any region
};

std::string DefaultRegionIn(CSimDb& db) {
  return db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaDefaultRegion);
}

std::string SiteName(CSimDb& db, const std::string& region) {
  return "Compute-" + db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaClassicDomain) + " (" + region +
         ")";
}

std::vector<SHostScope> AllHosts(CSimDb& db, EFlavour flavour) {
  std::vector<SHostScope> hosts;
  if (flavour == EFlavour::Classic) {
    CSimStatement stmt = db.Prepare("SELECT name FROM regions ORDER BY is_home DESC, name");
    while (stmt.Step()) {
      std::string region = stmt.Text(0);
      hosts.push_back({SiteName(db, region), region, "", region});
    }
  }
  CSimStatement stmt = db.Prepare("SELECT id, name FROM compartments ORDER BY name, id");
  while (stmt.Step()) hosts.push_back({stmt.Text(1), stmt.Text(0), stmt.Text(0), ""});
  return hosts;
}

std::optional<SHostScope> FindHost(CSimDb& db, EFlavour flavour, const std::string& token, bool byName) {
  if (token.empty()) return std::nullopt;
  std::vector<SHostScope> hosts = AllHosts(db, flavour);
  for (const SHostScope& host : hosts) {
    if (host.guid == token) return host;
  }
  if (byName) {
    for (const SHostScope& host : hosts) {
      if (host.name == token) return host;
    }
  }
  return std::nullopt;
}

// The host named by an argument that may be a name or an id; empty gives no scope.
SHostScope HostOrAll(CSimDb& db, EFlavour flavour, const std::string& token) {
  if (token.empty()) return {};
  auto host = FindHost(db, flavour, token, true);
  if (!host) throw CSimRefused("Host [" + token + "] was not found");
  return *host;
}

void RequireAd(CSimDb& db, const std::string& ad) {
  if (!ad.empty() && db.QueryInt("SELECT COUNT(*) FROM availability_domains WHERE name = ?", 0, ad) == 0) {
    throw CSimRefused("Availability domain [" + ad + "] was not found");
  }
}

void RequireCompartment(CSimDb& db, const std::string& compartmentId) {
  if (!compartmentId.empty() && db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, compartmentId) == 0) {
    throw CSimRefused("Compartment [" + compartmentId + "] was not found");
  }
}

std::vector<SVMInfo> InstancesIn(CSimDb& db, const SFlavourWords& words, const SHostScope& scope, const std::string& ad,
                                 const SInstanceParts& parts) {
  CSimStatement stmt = db.Prepare(
      "SELECT id FROM instances WHERE state <> ? AND (? = '' OR compartment_id = ?) AND (? = '' OR region = ?) "
      "AND (? = '' OR ad = ?) ORDER BY name, created, id");
  stmt.BindAll(words.instanceTerminated, scope.compartmentId, scope.compartmentId, scope.region, scope.region, ad, ad);
  std::vector<std::string> ids;
  while (stmt.Step()) ids.push_back(stmt.Text(0));
  std::vector<SVMInfo> vms;
  for (const std::string& id : ids) {
    SVMInfo vm;
    std::string error;
    if (!ReadInstanceRecordIn(db, words, "", id, parts, vm, error)) throw CSimError(error);
    vms.push_back(std::move(vm));
  }
  return vms;
}

constexpr const char* kImageColumns =
    "SELECT id, name, region, image_key, compartment_id, launch_mode, os, state FROM images ";

SVMInfo ImageRecord(const CSimStatement& stmt) {
  SVMInfo image;
  image.guid = stmt.Text(0);
  image.uri = image.guid;
  image.name = stmt.Text(1);
  image.region = stmt.Text(2);
  image.imageKey = stmt.Text(3);
  image.compartmentId = stmt.Text(4);
  image.launchMode = stmt.Text(5);
  image.guestOs = stmt.Text(6);
  image.lifecycleState = stmt.Text(7);
  image.imageId = image.guid;
  image.isTemplate = true;
  return image;
}

template <class... Args>
std::vector<SVMInfo> QueryImages(CSimDb& db, const std::string& where, const Args&... args) {
  CSimStatement stmt = db.Prepare(std::string(kImageColumns) + where + " ORDER BY name, region, created, id");
  stmt.BindAll(args...);
  std::vector<SVMInfo> images;
  while (stmt.Step()) images.push_back(ImageRecord(stmt));
  return images;
}

std::vector<SVMSizeInfo> QueryShapes(CSimDb& db, const std::string& imageId) {
  // An image without shape rows launches on every shape.
  CSimStatement stmt = db.Prepare(
      "SELECT name, cpus, memory_mb FROM shapes WHERE ? = '' "
      "OR NOT EXISTS (SELECT 1 FROM image_shapes WHERE image_id = ?) "
      "OR name IN (SELECT shape FROM image_shapes WHERE image_id = ?) ORDER BY name");
  stmt.BindAll(imageId, imageId, imageId);
  std::vector<SVMSizeInfo> shapes;
  while (stmt.Step()) {
    SVMSizeInfo shape;
    shape.name = stmt.Text(0);
    shape.cpuCount = static_cast<int32_t>(stmt.Int(1));
    shape.memory = static_cast<int32_t>(stmt.Int(2));
    shapes.push_back(std::move(shape));
  }
  return shapes;
}

}  // namespace

std::vector<SDataCenterInfo> CSimDiscovery::Regions() {
  return cloud_.Read([](CSimDb& db) {
    std::vector<SDataCenterInfo> regions;
    CSimStatement stmt = db.Prepare("SELECT name, key, is_home FROM regions ORDER BY is_home DESC, name");
    while (stmt.Step()) {
      SDataCenterInfo region;
      region.name = stmt.Text(0);
      region.regionKey = stmt.Text(1);
      region.isHomeRegion = stmt.Int(2) != 0;
      regions.push_back(std::move(region));
    }
    return regions;
  });
}

std::string CSimDiscovery::DefaultRegion() {
  std::string region = cloud_.Read([](CSimDb& db) { return DefaultRegionIn(db); });
  if (region.empty()) throw CSimRefused("The cloud has no default region");
  return region;
}

std::vector<SHostInfo> CSimDiscovery::Hosts(const std::string& regionId) {
  EFlavour flavour = cloud_.Flavour();
  return cloud_.Read([&](CSimDb& db) {
    std::vector<SHostInfo> hosts;
    if (flavour == EFlavour::Classic && !regionId.empty() &&
        db.QueryInt("SELECT COUNT(*) FROM regions WHERE name = ?", 0, regionId) == 0) {
      throw CSimRefused("Region [" + regionId + "] was not found");
    }
    for (const SHostScope& scope : AllHosts(db, flavour)) {
      // Classic shows its sites; the compartments are hosts there only when asked for by name.
      if (flavour == EFlavour::Classic && (scope.region.empty() || (!regionId.empty() && scope.region != regionId))) {
        continue;
      }
      SHostInfo host;
      host.name = scope.name;
      host.guid = scope.guid;
      hosts.push_back(std::move(host));
    }
    return hosts;
  });
}

SHostInfo CSimDiscovery::Host(const std::string& hostName, const std::string& hostId, const std::string& ad,
                              bool withVms, const SInstanceParts& parts) {
  EFlavour flavour = cloud_.Flavour();
  const SFlavourWords& words = cloud_.Words();
  return cloud_.Read([&](CSimDb& db) {
    std::optional<SHostScope> scope = FindHost(db, flavour, hostId, false);
    if (!scope) scope = FindHost(db, flavour, hostName, true);
    if (!scope) {
      if (hostName.empty() && hostId.empty()) throw CSimRefused("Neither a host name nor a host id was given");
      throw CSimRefused(hostName.empty() ? "Host with id [" + hostId + "] was not found"
                                         : "Host [" + hostName + "] was not found");
    }
    RequireAd(db, ad);
    SHostInfo host;
    host.name = scope->name;
    host.guid = scope->guid;
    if (withVms) host.vms = InstancesIn(db, words, *scope, ad, parts);
    return host;
  });
}

std::vector<SVMInfo> CSimDiscovery::Instances(const SInstanceParts& parts) {
  const SFlavourWords& words = cloud_.Words();
  return cloud_.Read([&](CSimDb& db) { return InstancesIn(db, words, SHostScope{}, "", parts); });
}

std::vector<SVMInfo> CSimDiscovery::InstancesOfHost(const std::string& hostId, const SInstanceParts& parts) {
  EFlavour flavour = cloud_.Flavour();
  const SFlavourWords& words = cloud_.Words();
  return cloud_.Read([&](CSimDb& db) {
    if (hostId.empty()) throw CSimRefused("No compartment was given");
    return InstancesIn(db, words, HostOrAll(db, flavour, hostId), "", parts);
  });
}

SVMInfo CSimDiscovery::Image(const std::string& idOrName, const std::string& region) {
  return cloud_.Read([&](CSimDb& db) {
    if (idOrName.empty()) throw CSimRefused("Neither an image name nor an image id was given");
    std::vector<SVMInfo> byId = QueryImages(db, "WHERE id = ?", idOrName);
    if (!byId.empty()) return byId.front();
    std::string where = region.empty() ? DefaultRegionIn(db) : region;
    std::vector<SVMInfo> byName = QueryImages(db, "WHERE name = ? AND region = ?", idOrName, where);
    if (byName.empty()) throw CSimRefused("Image [" + idOrName + "] was not found in region [" + where + "]");
    if (byName.size() > 1) {
      throw CSimRefused("Image name [" + idOrName + "] is ambiguous in region [" + where +
                        "]: " + std::to_string(byName.size()) + " images carry it");
    }
    return byName.front();
  });
}

std::vector<SVMInfo> CSimDiscovery::Images(const std::string& hostId) {
  EFlavour flavour = cloud_.Flavour();
  return cloud_.Read([&](CSimDb& db) {
    SHostScope scope = HostOrAll(db, flavour, hostId);
    return QueryImages(db, "WHERE (? = '' OR compartment_id = '' OR compartment_id = ?) AND (? = '' OR region = ?)",
                       scope.compartmentId, scope.compartmentId, scope.region, scope.region);
  });
}

std::vector<SVMInfo> CSimDiscovery::ImagesNamed(const std::string& name, const std::string& compartmentId,
                                                const std::string& region) {
  return cloud_.Read([&](CSimDb& db) {
    RequireCompartment(db, compartmentId);
    std::string where = region.empty() ? DefaultRegionIn(db) : region;
    return QueryImages(db, "WHERE name = ? AND region = ? AND (? = '' OR compartment_id = '' OR compartment_id = ?)",
                       name, where, compartmentId, compartmentId);
  });
}

std::vector<SVMInfo> CSimDiscovery::AvailabilityDomains(const std::string& hostName) {
  EFlavour flavour = cloud_.Flavour();
  return cloud_.Read([&](CSimDb& db) {
    SHostScope scope = HostOrAll(db, flavour, hostName);
    std::string region = scope.region.empty() ? DefaultRegionIn(db) : scope.region;
    CSimStatement stmt = db.Prepare("SELECT name FROM availability_domains WHERE region = ? ORDER BY name");
    stmt.BindAll(region);
    std::vector<SVMInfo> domains;
    while (stmt.Step()) {
      SVMInfo domain;
      domain.name = stmt.Text(0);
      domain.guid = domain.name;
      domain.availabilityDomain = domain.name;
      domain.region = region;
      domains.push_back(std::move(domain));
    }
    return domains;
  });
}

std::vector<SVMSizeInfo> CSimDiscovery::Shapes() {
  return cloud_.Read([](CSimDb& db) { return QueryShapes(db, ""); });
}

std::vector<SVMSizeInfo> CSimDiscovery::ShapesForImage(const std::string& compartmentId, const std::string& imageId,
                                                       const std::string& ad) {
  return cloud_.Read([&](CSimDb& db) {
    if (imageId.empty()) throw CSimRefused("No image id was given");
    if (db.QueryInt("SELECT COUNT(*) FROM images WHERE id = ?", 0, imageId) == 0) {
      throw CSimRefused("Image with id [" + imageId + "] was not found");
    }
    RequireCompartment(db, compartmentId);
    RequireAd(db, ad);
    return QueryShapes(db, imageId);
  });
}

std::vector<SSecurityGroupInfo> CSimDiscovery::SecurityLists() {
  return cloud_.Read([](CSimDb& db) {
    std::vector<SSecurityGroupInfo> lists;
    CSimStatement stmt = db.Prepare("SELECT name, id FROM security_lists ORDER BY name, id");
    while (stmt.Step()) lists.push_back({stmt.Text(0), stmt.Text(1)});
    return lists;
  });
}

std::vector<SKeyPairInfo> CSimDiscovery::KeyPairs() {
  return cloud_.Read([](CSimDb& db) {
    std::vector<SKeyPairInfo> keys;
    CSimStatement stmt = db.Prepare("SELECT name, id, public_key FROM ssh_keys ORDER BY name, id");
    while (stmt.Step()) keys.push_back({stmt.Text(0), stmt.Text(1), stmt.Text(2)});
    return keys;
  });
}

std::vector<SStagingStorage> CSimDiscovery::Buckets(const std::string& hostName) {
  EFlavour flavour = cloud_.Flavour();
  return cloud_.Read([&](CSimDb& db) {
    SHostScope scope = HostOrAll(db, flavour, hostName);
    CSimStatement stmt =
        db.Prepare("SELECT name, compartment_id FROM buckets WHERE (? = '' OR compartment_id = ?) ORDER BY name");
    stmt.BindAll(scope.compartmentId, scope.compartmentId);
    std::vector<SStagingStorage> buckets;
    while (stmt.Step()) buckets.push_back({stmt.Text(0), stmt.Text(0), stmt.Text(1)});
    return buckets;
  });
}

}  // namespace sim
