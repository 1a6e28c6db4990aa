#include <cstdio>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimLifecycle.h"

namespace cloudsim {

namespace {

struct SKind {
  const char* name;
  const char* sql;
};

// The keys of each kind's JSON objects are part of the tool's interface: keep them stable.
constexpr SKind kKinds[] = {
    {"regions", "SELECT name, key, is_home FROM regions ORDER BY name"},
    {"compartments", "SELECT id, name, description FROM compartments ORDER BY name"},
    {"ads", "SELECT name, region FROM availability_domains ORDER BY region, name"},
    {"shapes", "SELECT name, cpus, memory_mb, flexible, max_cpus, max_memory_mb FROM shapes ORDER BY name"},
    {"images",
     "SELECT id, name, region, image_key, compartment_id AS compartment, launch_mode, os, state FROM images "
     "ORDER BY name, region"},
    {"instances",
     "SELECT id, name, compartment_id AS compartment, ad AS availability_domain, region, shape, cpus, memory_mb, "
     "state, image_id, boot_volume_id, uri FROM instances ORDER BY name, created, id"},
    {"volumes",
     "SELECT id, display_name AS name, compartment_id AS compartment, ad AS availability_domain, size_bytes, state, "
     "is_boot, description, source_snapshot_id FROM volumes ORDER BY display_name, id"},
    {"snapshots",
     "SELECT id, volume_id, name, description, state, size_bytes, created FROM snapshots ORDER BY created, id"},
    {"attachments", "SELECT id, instance_id, volume_id, type, state, iqn, portal, port FROM attachments ORDER BY seq"},
    {"vnics", "SELECT id, instance_id, name, subnet_id, private_ip, mac, is_primary FROM vnics ORDER BY seq"},
    {"subnets",
     "SELECT id, name, compartment_id AS compartment, ad AS availability_domain, cidr FROM subnets "
     "ORDER BY name"},
    {"buckets", "SELECT name, compartment_id AS compartment, namespace FROM buckets ORDER BY name"},
    {"objects", "SELECT bucket, name, size_bytes, created FROM objects ORDER BY bucket, name"},
    {"keys", "SELECT id, name, public_key FROM ssh_keys ORDER BY name"},
    {"security-lists", "SELECT id, name, compartment_id AS compartment FROM security_lists ORDER BY name"},
};

const SKind* FindKind(const std::string& name) {
  for (const SKind& kind : kKinds) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

std::string KindNames() {
  std::string names;
  for (const SKind& kind : kKinds) names += (names.empty() ? "" : ", ") + std::string(kind.name);
  return names;
}

int ListSummary(sim::CSimCloud& cloud, bool json) {
  nlohmann::json counts = nlohmann::json::object();
  cloud.Read([&](sim::CSimDb& db) {
    for (const SKind& kind : kKinds) {
      counts[kind.name] = static_cast<int64_t>(QueryTable(db, kind.sql).rows.size());
    }
  });
  std::string region = cloud.Meta(sim::kMetaDefaultRegion);
  if (json) {
    nlohmann::json out = {
        {"flavour", sim::FlavourName(cloud.Flavour())}, {"default_region", region}, {"counts", counts}};
    PrintJson(out);
    return 0;
  }
  printf("flavour         %s\ndefault region  %s\n", sim::FlavourName(cloud.Flavour()), Shown(region).c_str());
  for (const SKind& kind : kKinds) {
    printf("%-15s %lld\n", kind.name, static_cast<long long>(counts[kind.name].get<int64_t>()));
  }
  return 0;
}

}  // namespace

int RunList(const std::string& sandbox, const std::string& kindName, bool json) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    // Show the states as they are now, not as they were at the last bridge call.
    sim::Settle(*cloud);
    if (kindName.empty()) return ListSummary(*cloud, json);
    const SKind* kind = FindKind(kindName);
    if (!kind)
      return UsageFailure("Unknown kind [" + kindName + "]: use one of " + KindNames() + ", or none for a summary");
    PrintTable(cloud->Read([&](sim::CSimDb& db) { return QueryTable(db, kind->sql); }), json);
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
