#include "bridge/sim/SimInstances.h"

#include <algorithm>

#include "bridge/CloneNames.h"
#include "bridge/sim/ReadInstanceRecord.h"
#include "bridge/sim/SimAttachments.h"
#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimLaunchRules.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimVolumeStore.h"
#include "bridge/sim/VolumeFiles.h"
#include "host/HostClock.h"

namespace sim {

using VMInfoStructs::SVMInfo;

namespace {

constexpr uint64_t kGiB = 1024 * kMiB;
// How often a wait looks at the instance when nothing says when it changes.
constexpr int64_t kPollMs = 2000;

struct SInstanceRow {
  std::string id, name, uri, compartmentId, ad, region, shape, state, imageId, launchMode, bootVolumeId;
  int64_t cpus = 0, memoryMb = 0, readyAt = 0;
};

// By id, or by the URI a classic request names an instance with.
SInstanceRow LoadInstance(CSimDb& db, const std::string& id) {
  CSimStatement stmt = db.Prepare(
      "SELECT id, name, uri, compartment_id, ad, region, shape, state, image_id, launch_mode, boot_volume_id, cpus, "
      "memory_mb, ready_at FROM instances WHERE id = ? OR (uri = ? AND uri <> '') ORDER BY id = ? DESC LIMIT 1");
  stmt.BindAll(id, id, id);
  if (!stmt.Step()) throw CSimRefused("Instance with id [" + id + "] was not found");
  SInstanceRow row;
  row.id = stmt.Text(0);
  row.name = stmt.Text(1);
  row.uri = stmt.Text(2);
  row.compartmentId = stmt.Text(3);
  row.ad = stmt.Text(4);
  row.region = stmt.Text(5);
  row.shape = stmt.Text(6);
  row.state = stmt.Text(7);
  row.imageId = stmt.Text(8);
  row.launchMode = stmt.Text(9);
  row.bootVolumeId = stmt.Text(10);
  row.cpus = stmt.Int(11);
  row.memoryMb = stmt.Int(12);
  row.readyAt = stmt.Int(13);
  return row;
}

// The instance named by vm.guid, or else by vm.name.
SInstanceRow LoadInstanceOf(CSimDb& db, const SFlavourWords& words, const std::string& name, const std::string& id) {
  std::string error;
  std::string found = FindInstanceId(db, words, name, id, error);
  if (found.empty()) throw CSimRefused(error);
  return LoadInstance(db, found);
}

bool IsGone(const SFlavourWords& words, const std::string& state) {
  return state == words.instanceTerminating || state == words.instanceTerminated;
}

struct SAttachedVolume {
  std::string volumeId, type;
};

std::vector<SAttachedVolume> AttachedDataVolumes(CSimDb& db, const SFlavourWords& words, const SInstanceRow& row) {
  CSimStatement stmt = db.Prepare(
      "SELECT volume_id, type FROM attachments WHERE instance_id = ? AND state <> ? AND volume_id <> ? ORDER BY seq");
  stmt.BindAll(row.id, words.attachmentDetached, row.bootVolumeId);
  std::vector<SAttachedVolume> volumes;
  while (stmt.Step()) volumes.push_back({stmt.Text(0), stmt.Text(1)});
  return volumes;
}

// What a deployment starts from: an instance (then `instance` is its row) or an image.
struct SDeploySource {
  bool fromInstance = false;
  SInstanceRow instance;
  std::string imageId, launchMode, region;
  uint64_t imageBytes = 0;
};

SDeploySource LoadDeploySource(CSimDb& db, const SFlavourWords& w, const std::string& sourceId) {
  SDeploySource from;
  from.fromInstance = db.QueryInt("SELECT COUNT(*) FROM instances WHERE id = ?", 0, sourceId) > 0;
  if (from.fromInstance) {
    from.instance = LoadInstance(db, sourceId);
    if (IsGone(w, from.instance.state)) throw CSimRefused("Instance [" + sourceId + "] is " + from.instance.state);
    from.imageId = from.instance.imageId;
    from.launchMode = from.instance.launchMode;
    from.region = from.instance.region;
    return from;
  }
  CSimStatement image = db.Prepare("SELECT region, launch_mode, size_bytes, state FROM images WHERE id = ?");
  image.BindAll(sourceId);
  if (!image.Step()) throw CSimRefused("Source [" + sourceId + "] is neither an instance nor an image");
  if (image.Text(3) != w.imageAvailable) {
    throw CSimRefused("Image [" + sourceId + "] is not available: it is " + image.Text(3));
  }
  from.imageId = sourceId;
  from.region = image.Text(0);
  from.launchMode = image.Text(1);
  from.imageBytes = static_cast<uint64_t>(image.Int(2));
  return from;
}

// Where the new instance goes: the compartment and availability domain `vm` names, else the source
// instance's (from an image: the first domain of the image's region); the domain must be in the source's region.
struct SDeployPlace {
  std::string compartment, ad, region;
};

SDeployPlace PlaceDeployment(CSimDb& db, const SVMInfo& vm, const SDeploySource& from, const std::string& sourceId) {
  SDeployPlace place;
  place.compartment = !vm.compartmentId.empty() ? vm.compartmentId : from.instance.compartmentId;
  RequireCompartment(db, place.compartment, vm.name);
  place.ad = !vm.availabilityDomain.empty()
                 ? vm.availabilityDomain
                 : (from.fromInstance ? from.instance.ad
                                      : db.QueryText("SELECT name FROM availability_domains WHERE region = ? "
                                                     "ORDER BY name LIMIT 1",
                                                     "", from.region));
  place.region = db.QueryText("SELECT region FROM availability_domains WHERE name = ?", "", place.ad);
  if (place.region.empty()) throw CSimRefused("Availability domain [" + place.ad + "] was not found");
  if (place.region != from.region) {
    throw CSimRefused("Source [" + sourceId + "] is in region [" + from.region + "], availability domain [" + place.ad +
                      "] in region [" + place.region + "]");
  }
  return place;
}

// The new instance's boot volume: a copy of the source instance's, or a fresh one holding the image
// (`sizeGiB` big, or as big as the image when 0).
SNewVolume MakeBootVolume(CSimDb& db, CIdMaker& ids, const CSimCloud& cloud, CNewFiles& files, const SFlavourWords& w,
                          EFlavour flavour, const std::string& name, const SDeploySource& from,
                          const SDeployPlace& place, int sizeGiB, int64_t now, const std::string& op) {
  SNewVolume boot;
  boot.name = flavour == EFlavour::Classic ? name + "_storage" : OracleCloudSDKCppBridge::CloneBootVolumeName(name);
  boot.id = ids.Volume(boot.name, place.ad, true);
  boot.file = SafeFileName(boot.id, ".img");
  boot.compartmentId = place.compartment;
  boot.ad = place.ad;
  boot.boot = true;
  boot.imageId = from.imageId;
  std::string bootPath = files.Add(boot.file);
  if (from.fromInstance) {
    SVolumeRow sourceBoot = LoadVolume(db, from.instance.bootVolumeId);
    CopySparseFile(cloud.VolumeFilePath(sourceBoot.file), bootPath);
    boot.size = sourceBoot.size;
  } else {
    boot.size = sizeGiB > 0 ? static_cast<uint64_t>(sizeGiB) * kGiB : from.imageBytes;
    WriteImageVolume(bootPath, from.imageId, boot.size);
  }
  InsertVolume(db, w, boot, now, op);
  return boot;
}

// Copies of the source's data volumes, attached to the new instance in the source's order.
void CopyDataVolumes(CSimDb& db, CIdMaker& ids, const CSimCloud& cloud, CNewFiles& files, const SFlavourWords& w,
                     const SInstanceRow& source, const SVnicHost& instance, const std::string& name,
                     const std::string& compartment, int64_t now, const std::string& op) {
  int64_t attachSeconds = ProvisionSeconds(db, kKindAttachment);
  for (const SAttachedVolume& attached : AttachedDataVolumes(db, w, source)) {
    SVolumeRow from = LoadVolume(db, attached.volumeId);
    SNewVolume copy;
    copy.name = OracleCloudSDKCppBridge::CloneDataVolumeName(from.name, source.name, name);
    copy.id = ids.Volume(copy.name, instance.ad, false);
    copy.file = SafeFileName(copy.id, ".img");
    copy.compartmentId = compartment;
    copy.ad = instance.ad;
    copy.size = from.size;
    copy.description = from.description;
    CopySparseFile(cloud.VolumeFilePath(from.file), files.Add(copy.file));
    InsertVolume(db, w, copy, now, op);
    std::string attachment = ids.Attachment(instance.uri, instance.ad);
    db.Run(
        "INSERT INTO attachments(id, instance_id, volume_id, type, state, created, ready_at) "
        "VALUES (?, ?, ?, ?, ?, ?, ?)",
        attachment, instance.id, copy.id, attached.type,
        attachSeconds > 0 ? w.attachmentAttaching : w.attachmentAttached, now, now + attachSeconds);
    RecordCreated(db, kKindAttachment, attachment, copy.name, op, now);
  }
}

// The source's SSH keys and security lists, given to the new instance `id` as well.
void CopyAccess(CSimDb& db, const std::string& id, const std::string& sourceId) {
  db.Run(
      "INSERT INTO instance_ssh_keys(instance_id, key_id) SELECT ?, key_id FROM instance_ssh_keys "
      "WHERE instance_id = ?",
      id, sourceId);
  db.Run(
      "INSERT INTO instance_security_lists(instance_id, security_list_id) SELECT ?, security_list_id "
      "FROM instance_security_lists WHERE instance_id = ?",
      id, sourceId);
}

}  // namespace

void CSimInstances::ChangePower(const std::string& id, EPower power) {
  const SFlavourWords& w = cloud_.Words();
  int64_t now = HostClock::Now();
  cloud_.Write([&](CSimDb& db) {
    SInstanceRow row = LoadInstance(db, id);
    int64_t seconds = ProvisionSeconds(db, kKindInstance);
    const std::string& s = row.state;
    bool running = s == w.instanceRunning;
    bool stopped = s == w.instanceStopped;
    bool launching = s == w.instanceProvisioning || s == w.instanceStarting;
    const char* target = nullptr;  // the new state; null: nothing to change
    if (power == EPower::Off) {
      if (running)
        target = seconds > 0 ? w.instanceStopping : w.instanceStopped;
      else if (!stopped && s != w.instanceStopping) {
        throw CSimRefused("Instance [" + id + "] cannot be stopped while it is " + s);
      }
    } else {
      if (stopped)
        target = seconds > 0 ? w.instanceStarting : w.instanceRunning;
      else if (!running && !launching)
        throw CSimRefused("Instance [" + id + "] cannot be started while it is " + s);
    }
    if (target) db.Run("UPDATE instances SET state = ?, ready_at = ? WHERE id = ?", target, now + seconds, row.id);
  });
}

void CSimInstances::PowerOn(const std::string& id) { ChangePower(id, EPower::On); }
void CSimInstances::PowerOff(const std::string& id) { ChangePower(id, EPower::Off); }
void CSimInstances::Reboot(const std::string& id) { ChangePower(id, EPower::Reboot); }

void CSimInstances::Reconfigure(SVMInfo& vm) {
  const SFlavourWords& w = cloud_.Words();
  SVMInfo result = cloud_.Write([&](CSimDb& db) {
    SInstanceRow row = LoadInstanceOf(db, w, vm.name, vm.guid);
    if (IsGone(w, row.state)) throw CSimRefused("Instance [" + row.id + "] is " + row.state);
    SShapeRow shape = LoadShape(db, vm.vmSize.empty() ? row.shape : vm.vmSize);
    RequireImageRunsOn(db, row.imageId, shape.name);
    auto fallback =
        shape.name == row.shape ? std::make_pair(row.cpus, row.memoryMb) : std::make_pair<int64_t, int64_t>(0, 0);
    auto [cpus, memory] = SizeOn(shape, vm.cpuCount, vm.memoryMB, fallback);
    db.Run("UPDATE instances SET shape = ?, cpus = ?, memory_mb = ? WHERE id = ?", shape.name, cpus, memory, row.id);
    SVMInfo out;
    out.guid = row.id;
    out.vmSize = shape.name;
    out.cpuCount = cpus;
    out.memoryMB = memory;
    return out;
  });
  vm.guid = result.guid;
  vm.vmSize = result.vmSize;
  vm.cpuCount = result.cpuCount;
  vm.memoryMB = result.memoryMB;
}

void CSimInstances::Deploy(SVMInfo& vm, const std::string& sourceId, int bootVolumeSizeGiB, bool faulty,
                           const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  EFlavour flavour = cloud_.Flavour();
  int64_t now = HostClock::Now();
  if (vm.name.empty()) throw CSimRefused("No name was given for the new instance");
  if (sourceId.empty()) throw CSimRefused("No source instance or image was given for instance [" + vm.name + "]");
  if (bootVolumeSizeGiB < 0) {
    throw CSimRefused("A boot volume cannot have " + std::to_string(bootVolumeSizeGiB) + " GiB");
  }
  CNewFiles files(cloud_);
  SVMInfo made = cloud_.Write([&](CSimDb& db) {
    CIdMaker ids(db, flavour);
    const SDeploySource from = LoadDeploySource(db, w, sourceId);
    const auto& [fromInstance, source, imageId, launchMode, sourceRegion, imageBytes] = from;
    const SDeployPlace place = PlaceDeployment(db, vm, from, sourceId);
    const auto& [compartment, ad, region] = place;
    std::string shapeName = !vm.vmSize.empty() ? vm.vmSize : source.shape;
    if (shapeName.empty()) throw CSimRefused("No shape was given for instance [" + vm.name + "]");
    SShapeRow shape = LoadShape(db, shapeName);
    RequireImageRunsOn(db, imageId, shape.name);
    auto fallback = fromInstance && shape.name == source.shape ? std::make_pair(source.cpus, source.memoryMb)
                                                               : std::make_pair<int64_t, int64_t>(0, 0);
    auto [cpus, memory] = SizeOn(shape, vm.cpuCount, vm.memoryMB, fallback);

    std::string id = ids.Instance(ad);
    std::string uri = ids.InstanceUri(vm.name, id);
    int64_t seconds = ProvisionSeconds(db, kKindInstance);

    const SNewVolume boot =
        MakeBootVolume(db, ids, cloud_, files, w, flavour, vm.name, from, place, bootVolumeSizeGiB, now, op);

    const char* state = seconds > 0 ? w.instanceProvisioning : (faulty ? w.instanceStopped : w.instanceRunning);
    db.Run(
        "INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, image_id, "
        "launch_mode, boot_volume_id, fault, created, ready_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?)",
        id, vm.name, uri, compartment, ad, region, shape.name, cpus, memory, state, imageId, launchMode, boot.id,
        faulty, now, now + seconds);
    RecordCreated(db, kKindInstance, id, vm.name, op, now);

    // The primary card goes into the subnet the record asks for, else into the source's.
    std::string preferredSubnet = vm.networkCards.empty() ? "" : vm.networkCards[0].subnetId;
    if (fromInstance) {
      CopyDataVolumes(db, ids, cloud_, files, w, source, {id, uri, ad}, vm.name, compartment, now, op);
      if (preferredSubnet.empty()) {
        preferredSubnet = db.QueryText(
            "SELECT subnet_id FROM vnics WHERE instance_id = ? ORDER BY is_primary DESC, seq LIMIT 1", "", source.id);
      }
      CopyAccess(db, id, source.id);
    }
    AddAccess(db, id, vm);
    std::string subnet = PickSubnet(db, preferredSubnet, ad, compartment);
    if (!subnet.empty()) {
      InsertVnic(db, ids, {id, uri, ad}, subnet, PrimaryCardName(flavour, vm.name), true, op, now);
    }

    SVMInfo out;
    out.guid = id;
    out.uri = uri;
    out.compartmentId = compartment;
    out.availabilityDomain = ad;
    out.region = region;
    out.vmSize = shape.name;
    out.cpuCount = cpus;
    out.memoryMB = memory;
    out.imageId = imageId;
    out.launchMode = launchMode;
    out.lifecycleState = state;
    return out;
  });
  files.Keep();
  made.powerState = made.lifecycleState == w.instanceRunning ? 1 : 0;
  TakeLaunched(vm, made);
}

void CSimInstances::LaunchFromBootVolume(SVMInfo& vm, const std::string& bootVolumeId, bool faulty,
                                         const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  EFlavour flavour = cloud_.Flavour();
  int64_t now = HostClock::Now();
  if (vm.name.empty()) throw CSimRefused("No name was given for the new instance");
  if (bootVolumeId.empty()) throw CSimRefused("No boot volume was given for instance [" + vm.name + "]");
  SVMInfo made = cloud_.Write([&](CSimDb& db) {
    SVolumeRow volume = LoadVolume(db, bootVolumeId);
    if (volume.state != w.volumeAvailable) {
      throw CSimRefused("Volume [" + volume.id + "] is not available: it is " + volume.state);
    }
    std::string holder = AttachedInstanceOf(db, w, volume.id);
    if (!holder.empty()) throw CSimRefused("Volume [" + volume.id + "] is attached to instance [" + holder + "]");
    std::string owner = BootInstanceOf(db, w, volume.id);
    if (!owner.empty()) throw CSimRefused("Volume [" + volume.id + "] is the boot volume of instance [" + owner + "]");
    if (!volume.boot) throw CSimRefused("Volume [" + volume.id + "] is not a boot volume");
    RequireCompartment(db, vm.compartmentId, vm.name);
    std::string ad = vm.availabilityDomain.empty() ? volume.ad : vm.availabilityDomain;
    if (ad != volume.ad) {
      throw CSimRefused("Boot volume [" + volume.id + "] is in availability domain [" + volume.ad + "], not in [" + ad +
                        "]");
    }
    if (vm.vmSize.empty()) throw CSimRefused("No shape was given for instance [" + vm.name + "]");
    SShapeRow shape = LoadShape(db, vm.vmSize);
    std::string imageId = db.QueryText("SELECT image_id FROM volumes WHERE id = ?", "", volume.id);
    RequireImageRunsOn(db, imageId, shape.name);
    auto [cpus, memory] = SizeOn(shape, vm.cpuCount, vm.memoryMB, {0, 0});
    std::string subnet;
    if (!vm.networkCards.empty() && !vm.networkCards[0].subnetId.empty()) {
      subnet = vm.networkCards[0].subnetId;
      RequireSubnetServes(db, subnet, ad);
    } else {
      subnet = PickSubnet(db, "", ad, vm.compartmentId);
    }

    CIdMaker ids(db, flavour);
    SVMInfo out;
    out.guid = ids.Instance(ad);
    out.uri = ids.InstanceUri(vm.name, out.guid);
    out.compartmentId = vm.compartmentId;
    out.availabilityDomain = ad;
    out.region = ids.RegionOfAd(ad);
    out.vmSize = shape.name;
    out.cpuCount = cpus;
    out.memoryMB = memory;
    out.imageId = imageId;
    out.launchMode = db.QueryText("SELECT launch_mode FROM images WHERE id = ?", "NATIVE", imageId);
    // Settled into running (or, faulty, stopped) once the provisioning time has passed.
    db.Run(
        "INSERT INTO instances(id, name, uri, compartment_id, ad, region, shape, cpus, memory_mb, state, image_id, "
        "launch_mode, boot_volume_id, fault, created, ready_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?)",
        out.guid, vm.name, out.uri, out.compartmentId, ad, out.region, shape.name, cpus, memory, w.instanceProvisioning,
        imageId, out.launchMode, volume.id, faulty, now, now + ProvisionSeconds(db, kKindInstance));
    RecordCreated(db, kKindInstance, out.guid, vm.name, op, now);
    AddAccess(db, out.guid, vm);
    if (!subnet.empty()) {
      std::string cardName = vm.networkCards.empty() || vm.networkCards[0].name.empty()
                                 ? PrimaryCardName(flavour, vm.name)
                                 : vm.networkCards[0].name;
      InsertVnic(db, ids, {out.guid, out.uri, ad}, subnet, cardName, true, op, now);
    }
    return out;
  });
  std::string state = WaitWhileLaunching(made.guid);
  if (state != w.instanceRunning) {
    // A launch that fails ends terminated; the boot volume it was given stays.
    Delete("", made.guid, true, true, op);
    throw CSimRefused("Instance [" + made.guid + "] did not boot: it is " + w.instanceTerminated);
  }
  made.lifecycleState = state;
  made.powerState = 1;
  TakeLaunched(vm, made);
}

void CSimInstances::AttachVnic(const SVMInfo& vm, const VMInfoStructs::SVMNetworkCard& card, bool faulty,
                               const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  EFlavour flavour = cloud_.Flavour();
  int64_t now = HostClock::Now();
  cloud_.Write([&](CSimDb& db) {
    SInstanceRow row = LoadInstanceOf(db, w, vm.name, vm.guid);
    if (row.state != w.instanceRunning && row.state != w.instanceStopped) {
      throw CSimRefused("Instance [" + row.id + "] cannot take a VNIC while it is " + row.state);
    }
    RequireSubnetServes(db, card.subnetId, row.ad);
    if (faulty) throw CSimRefused("The VNIC attachment to instance [" + row.id + "] failed");
    CIdMaker ids(db, flavour);
    int64_t cards = db.QueryInt("SELECT COUNT(*) FROM vnics WHERE instance_id = ?", 0, row.id);
    std::string name = !card.name.empty() ? card.name : row.name + "-vnic" + std::to_string(cards);
    InsertVnic(db, ids, {row.id, row.uri, row.ad}, card.subnetId, name, false, op, now);
  });
}

std::string CSimInstances::WaitWhileLaunching(const std::string& id) {
  const SFlavourWords& w = cloud_.Words();
  for (;;) {
    Settle(cloud_);
    std::string state = cloud_.Read([&](CSimDb& db) { return LoadInstance(db, id).state; });
    if (state != w.instanceProvisioning && state != w.instanceStarting) return state;
    SleepUntilDue(id, kPollMs);
  }
}

void CSimInstances::SleepUntilDue(const std::string& id, int64_t maxMs) {
  int64_t readyAt = cloud_.Read([&](CSimDb& db) { return LoadInstance(db, id).readyAt; });
  int64_t untilDue = readyAt * 1000 - HostClock::Get().NowMilliseconds();
  int64_t ms = std::min(maxMs, std::max<int64_t>(untilDue, 1));
  if (ms > 0) HostClock::Sleep(static_cast<uint64_t>(ms));
  Settle(cloud_);
}

void CSimInstances::WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning) {
  const SFlavourWords& w = cloud_.Words();
  std::string id = cloud_.Read([&](CSimDb& db) { return LoadInstanceOf(db, w, vm.name, vm.guid).id; });
  const int64_t deadline = HostClock::Get().NowMilliseconds() + std::max(timeoutSeconds, 0) * int64_t{1000};
  for (;;) {
    Settle(cloud_);
    std::string state = cloud_.Read([&](CSimDb& db) { return LoadInstance(db, id).state; });
    bool booting = state == w.instanceProvisioning || state == w.instanceStarting;
    if (state == w.instanceRunning || (!waitForRunning && state != w.instanceProvisioning)) {
      vm.guid = id;
      vm.lifecycleState = state;
      vm.powerState = state == w.instanceRunning ? 1 : 0;
      return;
    }
    if (!booting) throw CSimRefused("Instance [" + id + "] did not boot: it is " + state);
    int64_t left = deadline - HostClock::Get().NowMilliseconds();
    if (left <= 0) {
      throw CSimRefused("Instance [" + id + "] did not reach " + w.instanceRunning + " within " +
                        std::to_string(timeoutSeconds) + " seconds: it is " + state);
    }
    SleepUntilDue(id, std::min(left, kPollMs));
  }
}

void CSimInstances::Delete(const std::string& name, const std::string& id, bool waitForTermination,
                           bool preserveBootVolume, const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  int64_t now = HostClock::Now();
  std::vector<std::string> removedFiles;
  std::vector<SEndedAttachment> endedAttachments;
  std::string instanceId = cloud_.Write([&](CSimDb& db) {
    SInstanceRow row = LoadInstanceOf(db, w, name, id);
    if (IsGone(w, row.state)) return row.id;  // already on its way: nothing more to do
    int64_t seconds = ProvisionSeconds(db, kKindInstance);
    db.Run("UPDATE instances SET state = ?, ready_at = ? WHERE id = ?",
           seconds > 0 ? w.instanceTerminating : w.instanceTerminated, now + seconds, row.id);
    RecordDeleted(db, kKindInstance, row.id, op, now);

    // Data volumes outlive the instance: only their attachments end.
    CSimStatement attachments =
        db.Prepare("SELECT id, volume_id, type, iqn FROM attachments WHERE instance_id = ? AND state <> ?");
    attachments.BindAll(row.id, w.attachmentDetached);
    std::vector<std::string> ended;
    while (attachments.Step()) {
      ended.push_back(attachments.Text(0));
      endedAttachments.push_back({attachments.Text(1), attachments.Text(2), attachments.Text(3)});
    }
    for (const std::string& attachment : ended) {
      db.Run("UPDATE attachments SET state = ? WHERE id = ?", w.attachmentDetached, attachment);
      RecordDeleted(db, kKindAttachment, attachment, op, now);
    }

    CSimStatement vnics = db.Prepare("SELECT id FROM vnics WHERE instance_id = ?");
    vnics.BindAll(row.id);
    std::vector<std::string> cards;
    while (vnics.Step()) cards.push_back(vnics.Text(0));
    for (const std::string& vnic : cards) RecordDeleted(db, kKindVnic, vnic, op, now);
    db.Run("DELETE FROM vnics WHERE instance_id = ?", row.id);

    if (!preserveBootVolume && !row.bootVolumeId.empty()) {
      removedFiles.push_back(db.QueryText("SELECT file FROM volumes WHERE id = ?", "", row.bootVolumeId));
      db.Run("DELETE FROM volumes WHERE id = ?", row.bootVolumeId);
      RecordDeleted(db, kKindVolume, row.bootVolumeId, op, now);
    }
    return row.id;
  });
  RemoveVolumeFiles(cloud_, removedFiles);
  WithdrawAttachments(cloud_, endedAttachments);
  if (!waitForTermination) return;
  for (;;) {
    Settle(cloud_);
    std::string state = cloud_.Read([&](CSimDb& db) { return LoadInstance(db, instanceId).state; });
    if (state == w.instanceTerminated) return;
    SleepUntilDue(instanceId, kPollMs);
  }
}

std::vector<SVMInfo> CSimInstances::Named(const std::string& name, const std::string& compartmentId) {
  const SFlavourWords& w = cloud_.Words();
  return cloud_.Read([&](CSimDb& db) {
    if (name.empty()) throw CSimRefused("No instance name was given");
    if (!compartmentId.empty() &&
        db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, compartmentId) == 0) {
      throw CSimRefused("Compartment [" + compartmentId + "] was not found");
    }
    CSimStatement stmt = db.Prepare(
        "SELECT id FROM instances WHERE name = ? AND state NOT IN (?, ?) AND (? = '' OR compartment_id = ?) "
        "ORDER BY created, id");
    stmt.BindAll(name, w.instanceTerminating, w.instanceTerminated, compartmentId, compartmentId);
    std::vector<std::string> ids;
    while (stmt.Step()) ids.push_back(stmt.Text(0));
    std::vector<SVMInfo> found;
    for (const std::string& id : ids) {
      SVMInfo vm;
      std::string error;
      if (!ReadInstanceRecordIn(db, w, "", id, SInstanceParts{}, vm, error)) throw CSimError(error);
      found.push_back(std::move(vm));
    }
    return found;
  });
}

std::string CSimInstances::BootVolumeId(const SVMInfo& vm) {
  const SFlavourWords& w = cloud_.Words();
  return cloud_.Read([&](CSimDb& db) {
    SInstanceRow row = LoadInstanceOf(db, w, vm.name, vm.guid);
    if (row.bootVolumeId.empty()) throw CSimRefused("Instance [" + row.id + "] has no boot volume");
    return row.bootVolumeId;
  });
}

}  // namespace sim
