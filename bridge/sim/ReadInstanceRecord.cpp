#include "bridge/sim/ReadInstanceRecord.h"

namespace sim {

using VMInfoStructs::SChildDisk;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVMNetworkCard;

std::string FindInstanceId(CSimDb& db, const SFlavourWords& words, const std::string& name, const std::string& id,
                           std::string& error) {
  if (!id.empty()) {
    if (db.QueryInt("SELECT COUNT(*) FROM instances WHERE id = ?", 0, id) == 0) {
      error = "Instance with id [" + id + "] was not found";
      return "";
    }
    return id;
  }
  if (name.empty()) {
    error = "Neither an instance name nor an instance id was given";
    return "";
  }
  CSimStatement stmt =
      db.Prepare("SELECT id FROM instances WHERE name = ? AND state NOT IN (?, ?) ORDER BY created, id");
  stmt.BindAll(name, words.instanceTerminating, words.instanceTerminated);
  std::vector<std::string> ids;
  while (stmt.Step()) ids.push_back(stmt.Text(0));
  if (ids.empty()) {
    error = "Instance [" + name + "] was not found";
    return "";
  }
  if (ids.size() > 1) {
    error = "Instance name [" + name + "] is ambiguous: " + std::to_string(ids.size()) + " instances carry it (";
    for (size_t i = 0; i < ids.size(); ++i) error += (i ? ", " : "") + ids[i];
    error += ")";
    return "";
  }
  return ids.front();
}

namespace {

void ReadSnapshots(CSimDb& db, SDisk& disk) {
  CSimStatement stmt =
      db.Prepare("SELECT id, name, description, created FROM snapshots WHERE volume_id = ? ORDER BY created, rowid");
  stmt.BindAll(disk.volumeId);
  while (stmt.Step()) {
    SChildDisk child;
    child.id = stmt.Text(0);
    child.name = stmt.Text(1);
    child.description = stmt.Text(2);
    child.creationTime = stmt.Int(3);
    disk.childDisks.push_back(std::move(child));
  }
}

// The boot volume first, then the attached volumes in the order of their attachment. Infrastructure
// numbers them from 0; classic by their storage attachment index, the boot volume being 1, and an
// attachment that named no index gets the number after the one before it.
void ReadDisks(CSimDb& db, const SFlavourWords& words, const std::string& instanceId, const std::string& bootVolumeId,
               bool withSnapshots, std::vector<SDisk>& disks) {
  CSimStatement stmt = db.Prepare(
      "SELECT v.id, v.display_name, v.size_bytes, v.ad, v.description, '' AS attachment_id, '' AS type, 0 AS seq, "
      "0 AS disk_index FROM volumes v WHERE v.id = ? "
      "UNION ALL "
      "SELECT v.id, v.display_name, v.size_bytes, v.ad, v.description, a.id, a.type, a.seq, a.disk_index "
      "FROM attachments a JOIN volumes v ON v.id = a.volume_id "
      "WHERE a.instance_id = ? AND a.state <> ? AND v.id <> ? "
      "ORDER BY seq");
  stmt.BindAll(bootVolumeId, instanceId, words.attachmentDetached, bootVolumeId);
  const bool classic =
      db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaFlavour) == FlavourName(EFlavour::Classic);
  UINT32 number = classic ? 1 : 0;
  while (stmt.Step()) {
    SDisk disk;
    disk.volumeId = stmt.Text(0);
    disk.guid = disk.volumeId;
    disk.displayName = stmt.Text(1);
    // The host names a disk after the local device it gets during a job; the cloud knows none.
    disk.size = static_cast<UINT64>(stmt.Int(2));
    disk.availabilityDomain = stmt.Text(3);
    disk.description = stmt.Text(4);
    disk.attachmentId = stmt.Text(5);
    disk.attachmentType = stmt.Text(6);
    disk.isBootDisk = disk.volumeId == bootVolumeId;
    const int64_t index = stmt.Int(8);
    disk.diskNumber = classic && index > 0 ? static_cast<UINT32>(index) : number;
    number = disk.diskNumber + 1;
    disks.push_back(std::move(disk));
  }
  if (withSnapshots) {
    for (SDisk& disk : disks) ReadSnapshots(db, disk);
  }
}

void ReadNetworkCards(CSimDb& db, const std::string& instanceId, std::vector<SVMNetworkCard>& cards) {
  CSimStatement stmt = db.Prepare(
      "SELECT name, subnet_id, private_ip, mac, is_primary FROM vnics WHERE instance_id = ? "
      "ORDER BY is_primary DESC, seq");
  stmt.BindAll(instanceId);
  while (stmt.Step()) {
    SVMNetworkCard card;
    card.name = stmt.Text(0);
    card.subnetId = stmt.Text(1);
    card.privateIp = stmt.Text(2);
    card.macAddress = stmt.Text(3);
    card.isPrimary = stmt.Int(4) != 0;
    cards.push_back(std::move(card));
  }
}

void ReadAccess(CSimDb& db, const std::string& instanceId, SVMInfo& vm) {
  CSimStatement keys = db.Prepare(
      "SELECT k.id, k.name, k.public_key FROM instance_ssh_keys i JOIN ssh_keys k ON k.id = i.key_id "
      "WHERE i.instance_id = ? ORDER BY k.name");
  keys.BindAll(instanceId);
  while (keys.Step()) vm.keyPairs.push_back({keys.Text(1), keys.Text(0), keys.Text(2)});
  CSimStatement lists = db.Prepare(
      "SELECT s.id, s.name FROM instance_security_lists i JOIN security_lists s ON s.id = i.security_list_id "
      "WHERE i.instance_id = ? ORDER BY s.name");
  lists.BindAll(instanceId);
  while (lists.Step()) vm.securityGroups.push_back({lists.Text(1), lists.Text(0)});
}

}  // namespace

bool ReadInstanceRecord(CSimCloud& cloud, const std::string& name, const std::string& id, const SInstanceParts& parts,
                        SVMInfo& vm, std::string& error) {
  const SFlavourWords& words = cloud.Words();
  return cloud.Read([&](CSimDb& db) { return ReadInstanceRecordIn(db, words, name, id, parts, vm, error); });
}

bool ReadInstanceRecordIn(CSimDb& db, const SFlavourWords& words, const std::string& name, const std::string& id,
                          const SInstanceParts& parts, SVMInfo& vm, std::string& error) {
  std::string instanceId = FindInstanceId(db, words, name, id, error);
  if (instanceId.empty()) return false;
  CSimStatement stmt = db.Prepare(
      "SELECT i.name, i.uri, i.ad, i.compartment_id, i.shape, i.cpus, i.memory_mb, i.state, i.image_id, i.region, "
      "i.launch_mode, i.boot_volume_id, COALESCE(img.os, '') "
      "FROM instances i LEFT JOIN images img ON img.id = i.image_id WHERE i.id = ?");
  stmt.BindAll(instanceId);
  if (!stmt.Step()) {
    error = "Instance with id [" + instanceId + "] was not found";
    return false;
  }
  SVMInfo record;
  record.guid = instanceId;
  record.name = stmt.Text(0);
  record.uri = stmt.Text(1);
  record.availabilityDomain = stmt.Text(2);
  record.compartmentId = stmt.Text(3);
  record.vmSize = stmt.Text(4);
  record.cpuCount = stmt.Int(5);
  record.memoryMB = stmt.Int(6);
  record.lifecycleState = stmt.Text(7);
  record.powerState = record.lifecycleState == words.instanceRunning ? 1 : 0;
  record.imageId = stmt.Text(8);
  record.region = stmt.Text(9);
  record.launchMode = stmt.Text(10);
  std::string bootVolumeId = stmt.Text(11);
  record.guestOs = stmt.Text(12);
  record.isTemplate = vm.isTemplate;
  if (parts.disks) ReadDisks(db, words, instanceId, bootVolumeId, parts.snapshots, record.disks);
  if (parts.network) ReadNetworkCards(db, instanceId, record.networkCards);
  ReadAccess(db, instanceId, record);
  vm = std::move(record);
  return true;
}

}  // namespace sim
