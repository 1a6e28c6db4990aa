#include "bridge/sim/SimLaunchRules.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimResources.h"

namespace sim {

using VMInfoStructs::SVMInfo;

namespace {

// The next free address of a subnet (the simulator's subnets are /24 or larger; the last octet
// counts on from the highest address in use).
std::string NextAddress(CSimDb& db, const std::string& subnetId) {
  std::string cidr = db.QueryText("SELECT cidr FROM subnets WHERE id = ?", "", subnetId);
  std::string base = cidr.substr(0, cidr.find('/'));
  base = base.substr(0, base.rfind('.') + 1);
  int highest = 9;
  CSimStatement stmt = db.Prepare("SELECT private_ip FROM vnics WHERE subnet_id = ?");
  stmt.BindAll(subnetId);
  while (stmt.Step()) {
    std::string ip = stmt.Text(0);
    highest = std::max(highest, std::atoi(ip.substr(ip.rfind('.') + 1).c_str()));
  }
  if (highest >= 254) throw CSimRefused("Subnet [" + subnetId + "] has no free address");
  return base + std::to_string(highest + 1);
}

std::string RandomMac() {
  std::string token = RandomToken(6);
  char mac[32];
  snprintf(mac, sizeof mac, "02:00:17:%02x:%02x:%02x", static_cast<unsigned char>(token[0]),
           static_cast<unsigned char>(token[1]) ^ static_cast<unsigned char>(token[2]),
           static_cast<unsigned char>(token[3]) ^ static_cast<unsigned char>(token[4]));
  return mac;
}

}  // namespace

SShapeRow LoadShape(CSimDb& db, const std::string& name) {
  CSimStatement stmt =
      db.Prepare("SELECT name, cpus, memory_mb, flexible, max_cpus, max_memory_mb FROM shapes WHERE name = ?");
  stmt.BindAll(name);
  if (!stmt.Step()) throw CSimRefused("Shape [" + name + "] was not found");
  SShapeRow shape;
  shape.name = stmt.Text(0);
  shape.cpus = stmt.Int(1);
  shape.memoryMb = stmt.Int(2);
  shape.flexible = stmt.Int(3) != 0;
  shape.maxCpus = stmt.Int(4);
  shape.maxMemoryMb = stmt.Int(5);
  return shape;
}

std::pair<int64_t, int64_t> SizeOn(const SShapeRow& shape, int64_t cpus, int64_t memoryMb,
                                   std::pair<int64_t, int64_t> fallback) {
  if (!shape.flexible) return {shape.cpus, shape.memoryMb};
  int64_t c = cpus > 0 ? cpus : (fallback.first > 0 ? fallback.first : shape.cpus);
  int64_t m = memoryMb > 0 ? memoryMb : (fallback.second > 0 ? fallback.second : shape.memoryMb);
  if (c > shape.maxCpus) {
    throw CSimRefused("Shape [" + shape.name + "] allows 1 to " + std::to_string(shape.maxCpus) + " processors, not " +
                      std::to_string(c));
  }
  if (m > shape.maxMemoryMb) {
    throw CSimRefused("Shape [" + shape.name + "] allows up to " + std::to_string(shape.maxMemoryMb) +
                      " MB of memory, not " + std::to_string(m));
  }
  return {c, m};
}

void RequireImageRunsOn(CSimDb& db, const std::string& imageId, const std::string& shape) {
  if (imageId.empty()) return;
  bool restricted = db.QueryInt("SELECT COUNT(*) FROM image_shapes WHERE image_id = ?", 0, imageId) > 0;
  if (restricted &&
      db.QueryInt("SELECT COUNT(*) FROM image_shapes WHERE image_id = ? AND shape = ?", 0, imageId, shape) == 0) {
    throw CSimRefused("Image [" + imageId + "] does not run on shape [" + shape + "]");
  }
}

std::string PickSubnet(CSimDb& db, const std::string& preferred, const std::string& ad,
                       const std::string& compartmentId) {
  if (!preferred.empty() &&
      db.QueryInt("SELECT COUNT(*) FROM subnets WHERE id = ? AND (ad = '' OR ad = ?)", 0, preferred, ad) > 0) {
    return preferred;
  }
  return db.QueryText(
      "SELECT id FROM subnets WHERE ad = '' OR ad = ? ORDER BY compartment_id = ? DESC, ad = ? DESC, name LIMIT 1", "",
      ad, compartmentId, ad);
}

std::string PrimaryCardName(EFlavour flavour, const std::string& instanceName) {
  return flavour == EFlavour::Classic ? "eth0" : instanceName + "-vnic";
}

void InsertVnic(CSimDb& db, CIdMaker& ids, const SVnicHost& host, const std::string& subnet, const std::string& name,
                bool primary, const std::string& op, int64_t now, const std::string& ip) {
  std::string vnic = ids.Vnic(host.uri, host.ad);
  db.Run(
      "INSERT INTO vnics(id, instance_id, name, subnet_id, private_ip, mac, is_primary, created) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
      vnic, host.id, name, subnet, ip.empty() ? NextAddress(db, subnet) : ip, RandomMac(), primary, now);
  RecordCreated(db, kKindVnic, vnic, name, op, now);
}

void RequireSubnetServes(CSimDb& db, const std::string& subnetId, const std::string& ad) {
  if (subnetId.empty()) throw CSimRefused("No subnet was given for the VNIC");
  CSimStatement stmt = db.Prepare("SELECT ad FROM subnets WHERE id = ?");
  stmt.BindAll(subnetId);
  if (!stmt.Step()) throw CSimRefused("Subnet [" + subnetId + "] was not found");
  std::string served = stmt.Text(0);
  if (!served.empty() && served != ad) {
    throw CSimRefused("Subnet [" + subnetId + "] serves availability domain [" + served + "], not [" + ad + "]");
  }
}

void RequireCompartment(CSimDb& db, const std::string& compartmentId, const std::string& instanceName) {
  if (compartmentId.empty()) throw CSimRefused("No compartment was given for instance [" + instanceName + "]");
  if (db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, compartmentId) == 0) {
    throw CSimRefused("Compartment [" + compartmentId + "] was not found");
  }
}

void AddAccess(CSimDb& db, const std::string& instanceId, const SVMInfo& vm) {
  for (const auto& key : vm.keyPairs) {
    if (db.QueryInt("SELECT COUNT(*) FROM ssh_keys WHERE id = ?", 0, key.guid) == 0) {
      throw CSimRefused("SSH key [" + key.guid + "] was not found");
    }
    db.Run("INSERT OR IGNORE INTO instance_ssh_keys(instance_id, key_id) VALUES (?, ?)", instanceId, key.guid);
  }
  for (const auto& list : vm.securityGroups) {
    if (db.QueryInt("SELECT COUNT(*) FROM security_lists WHERE id = ?", 0, list.guid) == 0) {
      throw CSimRefused("Security list [" + list.guid + "] was not found");
    }
    db.Run("INSERT OR IGNORE INTO instance_security_lists(instance_id, security_list_id) VALUES (?, ?)", instanceId,
           list.guid);
  }
}

void TakeLaunched(VMInfoStructs::SVMInfo& vm, const VMInfoStructs::SVMInfo& made) {
  vm.guid = made.guid;
  vm.uri = made.uri;
  vm.compartmentId = made.compartmentId;
  vm.availabilityDomain = made.availabilityDomain;
  vm.region = made.region;
  vm.vmSize = made.vmSize;
  vm.cpuCount = made.cpuCount;
  vm.memoryMB = made.memoryMB;
  vm.imageId = made.imageId;
  vm.launchMode = made.launchMode;
  vm.lifecycleState = made.lifecycleState;
  vm.powerState = made.powerState;
}

}  // namespace sim
