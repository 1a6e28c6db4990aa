#include "bridge/sim/SimClassicLaunch.h"

#include <map>

#include "bridge/sim/SimInstances.h"
#include "bridge/sim/SimLaunchRules.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimVolumeStore.h"
#include "host/HostClock.h"

namespace sim {

using VMInfoStructs::SVMInfo;

namespace {

constexpr UINT32 kBootIndex = 1;
constexpr UINT32 kMaxIndex = 10;
// How long a launch may take beyond the instance provisioning time before it counts as failed.
constexpr int kBootGraceSeconds = 600;

// The volumes by storage attachment index, as the record names them.
std::map<UINT32, std::string> VolumesByIndex(const SVMInfo& vm) {
  std::map<UINT32, std::string> volumes;
  for (const auto& disk : vm.disks) {
    const std::string& id = !disk.targetVolume.empty() ? disk.targetVolume : disk.volumeId;
    const std::string index = std::to_string(disk.diskNumber);
    if (disk.diskNumber < kBootIndex || disk.diskNumber > kMaxIndex) {
      throw CSimRefused("Storage attachment index [" + index + "] of volume [" + id + "] is not within 1 and 10");
    }
    if (id.empty()) {
      throw CSimRefused("Storage attachment [" + index + "] of instance [" + vm.name + "] names no volume");
    }
    if (!volumes.emplace(disk.diskNumber, id).second) {
      throw CSimRefused("Storage attachment index [" + index + "] is given twice for instance [" + vm.name + "]");
    }
  }
  if (!volumes.count(kBootIndex)) {
    throw CSimRefused("Instance [" + vm.name + "] has no storage attachment with index 1 to boot from");
  }
  return volumes;
}

// A volume the new instance can take: available, attached nowhere, nobody's boot volume, in `site`
// (empty: the volume's own).
SVolumeRow FreeVolume(CSimDb& db, const SFlavourWords& w, const std::string& id, const std::string& site) {
  SVolumeRow volume = LoadVolume(db, id);
  if (volume.state != w.volumeAvailable) {
    throw CSimRefused("Volume [" + volume.id + "] is not available: it is " + volume.state);
  }
  std::string holder = AttachedInstanceOf(db, w, volume.id);
  if (!holder.empty()) throw CSimRefused("Volume [" + volume.id + "] is attached to instance [" + holder + "]");
  std::string owner = BootInstanceOf(db, w, volume.id);
  if (!owner.empty()) throw CSimRefused("Volume [" + volume.id + "] is the boot volume of instance [" + owner + "]");
  if (!site.empty() && volume.ad != site) {
    throw CSimRefused("Storage volume [" + volume.id + "] is in site [" + volume.ad + "], not in [" + site + "]");
  }
  return volume;
}

// An address given for a card must lie in its network (the simulator's networks are /24 or larger:
// the address begins with the network's first three parts).
void RequireAddressIn(CSimDb& db, const std::string& subnet, const std::string& ip) {
  const std::string cidr = db.QueryText("SELECT cidr FROM subnets WHERE id = ?", "", subnet);
  const std::string base = cidr.substr(0, cidr.rfind('.', cidr.find('/')) + 1);
  if (base.empty() || ip.rfind(base, 0) != 0 || ip.size() == base.size()) {
    throw CSimRefused("IP address [" + ip + "] is not in IP network [" + subnet + "] (" + cidr + ")");
  }
}

// The instance of another record that holds the address in the network ("" when none).
std::string AddressHolder(CSimDb& db, const std::string& subnet, const std::string& ip) {
  return db.QueryText(
      "SELECT i.uri FROM vnics n JOIN instances i ON i.id = n.instance_id WHERE n.subnet_id = ? AND n.private_ip = ? "
      "LIMIT 1",
      "", subnet, ip);
}

// The new instance's cards (one when it names none), each with its network and address checked before
// anything is made; a card without a network gets one that serves `ad`.
std::vector<VMInfoStructs::SVMNetworkCard> CheckedCards(CSimDb& db, const SVMInfo& vm, const std::string& ad) {
  std::vector<VMInfoStructs::SVMNetworkCard> cards = vm.networkCards;
  if (cards.empty()) cards.emplace_back();
  for (auto& card : cards) {
    if (card.subnetId.empty()) {
      card.subnetId = PickSubnet(db, "", ad, vm.compartmentId);
      if (card.subnetId.empty()) throw CSimRefused("No IP network serves site [" + ad + "]");
    } else {
      RequireSubnetServes(db, card.subnetId, ad);
    }
    if (card.privateIp.empty()) continue;
    RequireAddressIn(db, card.subnetId, card.privateIp);
    std::string holder = AddressHolder(db, card.subnetId, card.privateIp);
    if (!holder.empty()) {
      throw CSimRefused("IP address [" + card.privateIp + "] in IP network [" + card.subnetId +
                        "] is already used by instance [" + holder + "]");
    }
  }
  return cards;
}

}  // namespace

void CSimClassicLaunch::Launch(SVMInfo& vm, EBy by, bool faulty, const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  const EFlavour flavour = cloud_.Flavour();
  if (flavour != EFlavour::Classic) throw CSimRefused("Orchestrations and launch plans are the classic cloud's only");
  if (vm.name.empty()) throw CSimRefused("No name was given for the new instance");
  const std::map<UINT32, std::string> volumes = VolumesByIndex(vm);
  const int64_t now = HostClock::Now();
  std::string plan;
  int64_t provisionSeconds = 0;
  SVMInfo made = cloud_.Write([&](CSimDb& db) {
    RequireCompartment(db, vm.compartmentId, vm.name);
    if (vm.vmSize.empty()) throw CSimRefused("No shape was given for instance [" + vm.name + "]");
    SShapeRow shape = LoadShape(db, vm.vmSize);
    SVolumeRow boot = FreeVolume(db, w, volumes.at(kBootIndex), "");
    if (db.QueryInt("SELECT bootable FROM volumes WHERE id = ?", 0, boot.id) == 0) {
      throw CSimRefused("Storage volume [" + boot.id + "] at index 1 is not bootable");
    }
    for (const auto& [index, id] : volumes) {
      if (index != kBootIndex) FreeVolume(db, w, id, boot.ad);
    }
    const std::string imageId = db.QueryText("SELECT image_id FROM volumes WHERE id = ?", "", boot.id);
    RequireImageRunsOn(db, imageId, shape.name);
    auto [cpus, memory] = SizeOn(shape, vm.cpuCount, vm.memoryMB, {0, 0});
    std::vector<VMInfoStructs::SVMNetworkCard> cards = CheckedCards(db, vm, boot.ad);

    CIdMaker ids(db, flavour);
    plan = ids.ClassicPath(vm.name + "_instance");
    provisionSeconds = ProvisionSeconds(db, kKindInstance);
    SVMInfo out;
    out.guid = ids.Instance(boot.ad);
    out.uri = ids.InstanceUri(vm.name, out.guid);
    out.compartmentId = vm.compartmentId;
    out.availabilityDomain = boot.ad;
    out.region = ids.RegionOfAd(boot.ad);
    out.vmSize = shape.name;
    out.cpuCount = cpus;
    out.memoryMB = memory;
    out.imageId = imageId;
    out.launchMode = db.QueryText("SELECT launch_mode FROM images WHERE id = ?", "NATIVE", imageId);
    db.Run(
        "INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, image_id, "
        "launch_mode, boot_volume_id, fault, created, ready_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?)",
        out.guid, vm.name, out.uri, out.compartmentId, boot.ad, out.region, shape.name, cpus, memory,
        w.instanceProvisioning, imageId, out.launchMode, boot.id, faulty, now, now + provisionSeconds);
    RecordCreated(db, kKindInstance, out.guid, vm.name, op, now);
    AddAccess(db, out.guid, vm);
    const int64_t attachSeconds = ProvisionSeconds(db, kKindAttachment);
    for (const auto& [index, id] : volumes) {
      if (index == kBootIndex) continue;
      std::string attachment = ids.Attachment(out.uri, boot.ad);
      db.Run(
          "INSERT INTO attachments(id, instance_id, volume_id, type, disk_index, state, created, ready_at) "
          "VALUES (?, ?, ?, 'paravirtualized', ?, ?, ?, ?)",
          attachment, out.guid, id, static_cast<int64_t>(index),
          attachSeconds > 0 ? w.attachmentAttaching : w.attachmentAttached, now, now + attachSeconds);
      RecordCreated(db, kKindAttachment, attachment, LoadVolume(db, id).name, op, now);
    }
    for (size_t i = 0; i < cards.size(); ++i) {
      const std::string name = !cards[i].name.empty() ? cards[i].name : "eth" + std::to_string(i);
      InsertVnic(db, ids, {out.guid, out.uri, boot.ad}, cards[i].subnetId, name, i == 0, op, now, cards[i].privateIp);
    }
    return out;
  });
  // The orchestration reads completed once its instance runs, error when it cannot start.
  CSimInstances instances(cloud_);
  SVMInfo booted;
  booted.guid = made.guid;
  try {
    instances.WaitForBoot(booted, static_cast<int>(provisionSeconds) + kBootGraceSeconds, true);
  } catch (const CSimRefused&) {
    instances.Delete("", made.guid, true, true, op);
    throw CSimRefused(by == EBy::Orchestration
                          ? "Orchestration [" + plan + "] is in state error: instance [" + made.uri + "] did not start"
                          : "Launch plan for instance [" + vm.name + "] failed: instance [" + made.uri +
                                "] did not start");
  }
  TakeLaunched(vm, made);
  vm.lifecycleState = booted.lifecycleState;
  vm.powerState = booted.powerState;
}

}  // namespace sim
