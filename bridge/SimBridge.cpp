#include "bridge/SimBridge.h"

#include "bridge/BridgeBackend.h"
#include "bridge/ClassicConfigurations.h"
#include "bridge/InstanceConfiguration.h"
#include "bridge/sim/ReadInstanceRecord.h"
#include "bridge/sim/SimAttachments.h"
#include "bridge/sim/SimClassicLaunch.h"
#include "bridge/sim/SimConfigurations.h"
#include "bridge/sim/SimDiscovery.h"
#include "bridge/sim/SimImages.h"
#include "bridge/sim/SimInstances.h"
#include "bridge/sim/SimNameLookup.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/SimVolumes.h"

namespace OracleCloudSDKCppBridge {

CSimBridge::CSimBridge(int instanceType) : backend_(std::make_unique<CBridgeBackend>(instanceType)) {}

CSimBridge::~CSimBridge() = default;

// Session.

bool CSimBridge::SetWebProxy(const string& host, const string& user, const string& password) {
  return backend_->SetWebProxy(host, user, password);
}

bool CSimBridge::Connect(const string& url, const string& user, const string& password) {
  return backend_->Connect(url, user, password);
}

bool CSimBridge::CheckConnection() { return backend_->CheckConnection(); }

string CSimBridge::GetLastError() const { return backend_->LastError(); }

// Browse and discovery.

int CSimBridge::GetDCInfoList(std::vector<SDataCenterInfo>& regions, UINT64, int) {
  return backend_->Run("GetDCInfoList",
                       [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
                         regions = sim::CSimDiscovery(cloud).Regions();
                         return true;
                       })
             ? 1
             : 0;
}

bool CSimBridge::GetHostInfoList(UINT64, int, const string& regionId, std::vector<SHostInfo>& hosts) {
  return backend_->Run("GetHostInfoList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    hosts = sim::CSimDiscovery(cloud).Hosts(regionId);
    return true;
  });
}

bool CSimBridge::GetHostInfo(const string& hostName, const string& hostId, const string& availabilityDomain,
                             SHostInfo& host, UINT64 flags) {
  return backend_->Run("GetHostInfo", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    // The host's instances are listed as records without their volumes.
    sim::SInstanceParts parts = SRecordParts::FromFlags(flags);
    parts.disks = parts.snapshots = false;
    host = sim::CSimDiscovery(cloud).Host(hostName, hostId, availabilityDomain, (flags & HOSTINFO_FLAG_WITH_VMS) != 0,
                                          parts);
    return true;
  });
}

bool CSimBridge::GetVMInfoList(std::vector<SVMInfo>& vms, UINT64 flags) {
  return backend_->Run("GetVMInfoList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    vms = sim::CSimDiscovery(cloud).Instances(SRecordParts::FromFlags(flags));
    return true;
  });
}

bool CSimBridge::GetVMInfoListForHost(std::vector<SVMInfo>& vms, const string& hostId, UINT64 flags) {
  return backend_->Run("GetVMInfoListForHost", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    vms = sim::CSimDiscovery(cloud).InstancesOfHost(hostId, SRecordParts::FromFlags(flags));
    return true;
  });
}

bool CSimBridge::GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags) {
  return backend_->Run("GetVMInfo", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    string error;
    return sim::ReadInstanceRecord(cloud, name, id, SRecordParts::FromFlags(flags), vm, error) || backend_->Fail(error);
  });
}

bool CSimBridge::GetTemplateInfo(const string& imageIdOrName, SVMInfo& image, const string& region) {
  return backend_->Run("GetTemplateInfo", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    image = sim::CSimDiscovery(cloud).Image(imageIdOrName, region);
    return true;
  });
}

bool CSimBridge::GetTemplateInfoList(std::vector<SVMInfo>& images, const string& hostId, UINT64, int) {
  return backend_->Run("GetTemplateInfoList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    images = sim::CSimDiscovery(cloud).Images(hostId);
    return true;
  });
}

bool CSimBridge::GetTemplateInfoListFilterByName(std::vector<SVMInfo>& images, const string& name,
                                                 const string& compartmentId, UINT64, int, const string& region) {
  return backend_->Run("GetTemplateInfoListFilterByName", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    images = sim::CSimDiscovery(cloud).ImagesNamed(name, compartmentId, region);
    return true;
  });
}

bool CSimBridge::GetAvailabilityDomainInfoList(std::vector<SVMInfo>& domains, const string& hostName, UINT64, int) {
  return backend_->Run("GetAvailabilityDomainInfoList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    domains = sim::CSimDiscovery(cloud).AvailabilityDomains(hostName);
    return true;
  });
}

bool CSimBridge::GetInstanceShapeInfoList(std::vector<SVMSizeInfo>& shapes, const string&) {
  return backend_->Run("GetInstanceShapeInfoList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    shapes = sim::CSimDiscovery(cloud).Shapes();
    return true;
  });
}

bool CSimBridge::GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& shapes, const string& compartmentId,
                                                  const string& imageId, const string& availabilityDomain) {
  return backend_->Run("GetInstanceShapeInfoListForImage", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    shapes = sim::CSimDiscovery(cloud).ShapesForImage(compartmentId, imageId, availabilityDomain);
    return true;
  });
}

bool CSimBridge::GetSecurityGroupList(std::vector<SSecurityGroupInfo>& lists) {
  return backend_->Run("GetSecurityGroupList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    lists = sim::CSimDiscovery(cloud).SecurityLists();
    return true;
  });
}

bool CSimBridge::GetKeyPairInfoList(std::vector<SKeyPairInfo>& keys) {
  return backend_->Run("GetKeyPairInfoList", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    keys = sim::CSimDiscovery(cloud).KeyPairs();
    return true;
  });
}

bool CSimBridge::GetStagingStorageListForHost(std::vector<SStagingStorage>& buckets, const string& hostName, UINT64,
                                              int) {
  return backend_->Run("GetStagingStorageListForHost", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    buckets = sim::CSimDiscovery(cloud).Buckets(hostName);
    return true;
  });
}

string CSimBridge::GetDefaultRegion() {
  string region;
  backend_->Run("GetDefaultRegion", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    region = sim::CSimDiscovery(cloud).DefaultRegion();
    return true;
  });
  return region;
}

// Backup.

bool CSimBridge::GetInstanceConfigurations(const string& instanceId, std::map<string, string>& files) {
  return backend_->Run("GetInstanceConfigurations", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    files = sim::InstanceConfigurations(cloud, instanceId);
    return true;
  });
}

bool CSimBridge::CreateVolumeSnapshot(const string& volumeId, const string& description, const string& name,
                                      string& snapshotId) {
  return backend_->Run("CreateVolumeSnapshot", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    snapshotId = sim::CSimSnapshots(cloud).Create(volumeId, description, name, faults.faulty, "CreateVolumeSnapshot");
    return true;
  });
}

bool CSimBridge::GetSnapshotStatus(const string& snapshotId, string& state) {
  return backend_->Run("GetSnapshotStatus", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    state = sim::CSimSnapshots(cloud).State(snapshotId);
    return true;
  });
}

bool CSimBridge::DeleteVolumeSnapshot(const string& snapshotId) {
  return backend_->Run("DeleteVolumeSnapshot", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimSnapshots(cloud).Delete(snapshotId, "DeleteVolumeSnapshot");
    return true;
  });
}

bool CSimBridge::CreateVolumeFromSnapshot(const string& snapshotId, const string& name, string& volumeId) {
  return backend_->Run("CreateVolumeFromSnapshot", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    volumeId = sim::CSimSnapshots(cloud).CreateVolume(snapshotId, name, faults.faulty, "CreateVolumeFromSnapshot");
    return true;
  });
}

bool CSimBridge::GetVolumeStatus(const string& volumeId, string& state) {
  return backend_->Run("GetVolumeStatus", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    state = sim::CSimSnapshots(cloud).VolumeState(volumeId);
    return true;
  });
}

bool CSimBridge::DoesVolumeSnapshotExist(const string& snapshotId, bool& exists) {
  return backend_->Run("DoesVolumeSnapshotExist", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    exists = sim::CSimSnapshots(cloud).Exists(snapshotId);
    return true;
  });
}

bool CSimBridge::FindResourcesByName(EResourceKind kind, const string& name, INT64 createdSince,
                                     std::vector<string>& ids) {
  return backend_->Run("FindResourcesByName", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    const sim::ENamedKind named = kind == EResourceKind::VolumeSnapshot ? sim::ENamedKind::VolumeSnapshot
                                  : kind == EResourceKind::Volume       ? sim::ENamedKind::Volume
                                  : kind == EResourceKind::Image        ? sim::ENamedKind::Image
                                                                        : sim::ENamedKind::Instance;
    ids = sim::FindByName(cloud, named, name, createdSince);
    return true;
  });
}

// Freeform tags.

namespace {
const char* TaggedKind(EResourceKind kind) {
  return kind == EResourceKind::VolumeSnapshot ? sim::kKindSnapshot
         : kind == EResourceKind::Volume       ? sim::kKindVolume
         : kind == EResourceKind::Image        ? sim::kKindImage
                                               : sim::kKindInstance;
}
}  // namespace

void CSimBridge::SetResourceTags(const std::map<string, string>& tags) { backend_->SetCreateTags(tags); }

bool CSimBridge::FindTaggedResources(EResourceKind kind, const string& key, const string& value,
                                     std::vector<STaggedResource>& found) {
  return backend_->Run("FindTaggedResources", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    std::vector<STaggedResource> list;
    for (const sim::STaggedResource& r : sim::CSimTags(cloud).Find(TaggedKind(kind), key, value))
      list.push_back({r.id, r.name, r.tags, r.attachedTo, r.iqn, r.portal, r.port ? std::to_string(r.port) : ""});
    found = std::move(list);
    return true;
  });
}

bool CSimBridge::RemoveResourceTag(EResourceKind kind, const string& id, const string& key) {
  return backend_->Run("RemoveResourceTag", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimTags(cloud).RemoveTag(TaggedKind(kind), id, key);
    return true;
  });
}

bool CSimBridge::FindResourcesByToken(EResourceKind kind, const string& token, std::vector<string>& ids) {
  return backend_->Run("FindResourcesByToken", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    const sim::ENamedKind named = kind == EResourceKind::VolumeSnapshot ? sim::ENamedKind::VolumeSnapshot
                                  : kind == EResourceKind::Volume       ? sim::ENamedKind::Volume
                                  : kind == EResourceKind::Image        ? sim::ENamedKind::Image
                                                                        : sim::ENamedKind::Instance;
    ids = sim::FindByToken(cloud, named, token);
    return true;
  });
}

// Volumes.

bool CSimBridge::CreateVolume(SDisk& volume, const string& compartmentId) {
  return backend_->Run("CreateVolume", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    std::string id = sim::CSimVolumes(cloud).Create(volume, compartmentId, faults.faulty, "CreateVolume");
    volume.guid = id;
    volume.volumeId = id;
    return true;
  });
}

namespace {

// The volume the job made for the disk. Never the disk's source volume: a job reads and writes only
// the volumes it created.
const string& VolumeToAttach(const SDisk& disk) { return disk.createdVolumeId; }

// Attaches through the simulator; a full instance is reported through noFreeSlot as well.
sim::SNewAttachment Attach(sim::CSimCloud& cloud, const string& volumeId, const string& instanceId, const string& type,
                           const sim::SCallFaults& faults, bool& noFreeSlot) {
  try {
    return sim::CSimAttachments(cloud).Attach(volumeId, instanceId, type, faults.noSlot, "AttachVolume");
  } catch (const sim::CSimNoFreeSlot&) {
    noFreeSlot = true;
    throw;
  }
}

}  // namespace

bool CSimBridge::AttachVolume(SDisk& disk, const string& instanceId, bool& noFreeSlot) {
  noFreeSlot = false;
  return backend_->Run("AttachVolume", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    sim::SNewAttachment made = Attach(cloud, VolumeToAttach(disk), instanceId, disk.attachmentType, faults, noFreeSlot);
    disk.attachmentId = made.id;
    disk.iscsiIqn = made.iqn;
    disk.iscsiTargetPortal = made.portal;
    disk.iscsiTargetPort = made.port;
    return true;
  });
}

bool CSimBridge::AttachVolume(const string& volumeId, const string& instanceId, bool& noFreeSlot) {
  noFreeSlot = false;
  return backend_->Run("AttachVolume", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    Attach(cloud, volumeId, instanceId, sim::kAttachParavirtualized, faults, noFreeSlot);
    return true;
  });
}

bool CSimBridge::DetachVolume(const string& volumeId, const string& instanceId) {
  return backend_->Run("DetachVolume", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimAttachments(cloud).Detach({volumeId}, instanceId, "DetachVolume");
    return true;
  });
}

bool CSimBridge::DetachVolumes(const std::vector<string>& volumeIds, const string& instanceId) {
  return backend_->Run("DetachVolumes", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimAttachments(cloud).Detach(volumeIds, instanceId, "DetachVolumes");
    return true;
  });
}

bool CSimBridge::DeleteVolume(const string& volumeId) {
  return backend_->Run("DeleteVolume", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimVolumes(cloud).Delete(volumeId, "DeleteVolume");
    return true;
  });
}

bool CSimBridge::DoesVolumeExist(const string& volumeId, bool& exists) {
  return backend_->Run("DoesVolumeExist", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    exists = sim::CSimVolumes(cloud).Exists(volumeId);
    return true;
  });
}

bool CSimBridge::DoesVolumeExist(const string& displayName, const string& compartmentId) {
  return backend_->Run("DoesVolumeExist", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    return sim::CSimVolumes(cloud).ExistsNamed(displayName, compartmentId);
  });
}

bool CSimBridge::MakeVolumeBootable(const string& volumeId) {
  return backend_->Run("MakeVolumeBootable", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimVolumes(cloud).MakeBootable(volumeId);
    return true;
  });
}

bool CSimBridge::ClearDescriptionForVolume(const string& volumeId) {
  return backend_->Run("ClearDescriptionForVolume", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimVolumes(cloud).ClearDescription(volumeId);
    return true;
  });
}

// Instances.

bool CSimBridge::DeployVM(SVMInfo& vm, const string& sourceId, int bootVolumeSizeGiB) {
  return backend_->Run("DeployVM", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    // Filled only on success: the record is worked on in a copy.
    SVMInfo deployed = vm;
    sim::CSimInstances(cloud).Deploy(deployed, sourceId, bootVolumeSizeGiB, faults.faulty, "DeployVM");
    vm = std::move(deployed);
    return true;
  });
}

namespace {

// A classic launch works on a copy: the record is filled only on success.
bool LaunchClassic(sim::CSimCloud& cloud, SVMInfo& vm, sim::CSimClassicLaunch::EBy by, bool faulty, const char* op) {
  SVMInfo launched = vm;
  sim::CSimClassicLaunch(cloud).Launch(launched, by, faulty, op);
  vm = std::move(launched);
  return true;
}

}  // namespace

bool CSimBridge::DeployVMFromOrchestration(SVMInfo& vm) {
  return backend_->Run("DeployVMFromOrchestration", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    return LaunchClassic(cloud, vm, sim::CSimClassicLaunch::EBy::Orchestration, faults.faulty,
                         "DeployVMFromOrchestration");
  });
}

bool CSimBridge::RestoreVM(SVMInfo& vm) {
  return backend_->Run("RestoreVM", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    return LaunchClassic(cloud, vm, sim::CSimClassicLaunch::EBy::LaunchPlan, faults.faulty, "RestoreVM");
  });
}

bool CSimBridge::RestoreVM(SVMInfo& vm, const SDisk& bootDisk) {
  return backend_->Run("RestoreVM", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    SVMInfo launched = vm;
    const string& bootVolumeId = !bootDisk.createdVolumeId.empty() ? bootDisk.createdVolumeId : bootDisk.guid;
    sim::CSimInstances(cloud).LaunchFromBootVolume(launched, bootVolumeId, faults.faulty, "RestoreVM");
    vm = std::move(launched);
    return true;
  });
}

bool CSimBridge::AttachVnic(const SVMInfo& vm, const SVMNetworkCard& card) {
  return backend_->Run("AttachVnic", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    sim::CSimInstances(cloud).AttachVnic(vm, card, faults.faulty, "AttachVnic");
    return true;
  });
}

bool CSimBridge::GetBootVolumeIdForInstance(const SVMInfo& vm, string& bootVolumeId) {
  return backend_->Run("GetBootVolumeIdForInstance", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    bootVolumeId = sim::CSimInstances(cloud).BootVolumeId(vm);
    return true;
  });
}

bool CSimBridge::DoesVMExist(const string& name, std::vector<SVMInfo>& found, const string& compartmentId,
                             bool& exists) {
  return backend_->Run("DoesVMExist", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    found = sim::CSimInstances(cloud).Named(name, compartmentId);
    exists = !found.empty();
    return true;
  });
}

bool CSimBridge::ReConfigureVM(SVMInfo& vm) {
  return backend_->Run("ReConfigureVM", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    SVMInfo changed = vm;
    sim::CSimInstances(cloud).Reconfigure(changed);
    vm = std::move(changed);
    return true;
  });
}

bool CSimBridge::PowerOnInstance(const string& instanceId) {
  return backend_->Run("PowerOnInstance", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimInstances(cloud).PowerOn(instanceId);
    return true;
  });
}

bool CSimBridge::PowerOffInstance(const string& instanceId) {
  return backend_->Run("PowerOffInstance", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimInstances(cloud).PowerOff(instanceId);
    return true;
  });
}

bool CSimBridge::RebootInstance(const string& instanceId) {
  return backend_->Run("RebootInstance", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimInstances(cloud).Reboot(instanceId);
    return true;
  });
}

bool CSimBridge::WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning) {
  return backend_->Run("WaitForBoot", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    SVMInfo booted = vm;
    sim::CSimInstances(cloud).WaitForBoot(booted, timeoutSeconds, waitForRunning);
    vm = std::move(booted);
    return true;
  });
}

bool CSimBridge::DeleteVM(const string& name, const string& instanceId, bool waitForTermination,
                          bool preserveBootVolume) {
  return backend_->Run("DeleteVM", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimInstances(cloud).Delete(name, instanceId, waitForTermination, preserveBootVolume, "DeleteVM");
    return true;
  });
}

bool CSimBridge::ReadInstanceConfig(const string& contents, SVMInfo& vm) {
  return backend_->Run("ReadInstanceConfig", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    string error;
    bool read = cloud.Flavour() == sim::EFlavour::Classic ? ParseClassicInstance(contents, vm, error)
                                                          : ParseInstanceConfiguration(contents, vm, error);
    return read || backend_->Fail(error);
  });
}

bool CSimBridge::ReadInstanceOrchestration(const string& contents, SVMInfo& vm) {
  return backend_->Run("ReadInstanceOrchestration", [&](sim::CSimCloud&, const sim::SCallFaults&) {
    string error;
    return ParseClassicOrchestration(contents, vm, error) || backend_->Fail(error);
  });
}

// Images and objects.

bool CSimBridge::UploadToObjectStorage(const string& bucket, const string& objectName, const string& contents) {
  return backend_->Run("UploadToObjectStorage", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimImages(cloud).Upload(bucket, objectName, contents, "UploadToObjectStorage");
    return true;
  });
}

bool CSimBridge::DeleteStorageObject(const string& bucket, const string& objectName) {
  return backend_->Run("DeleteStorageObject", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimImages(cloud).DeleteObject(bucket, objectName, "DeleteStorageObject");
    return true;
  });
}

bool CSimBridge::CreateImage(const string& bucket, const string& objectName, const string& imageName,
                             const string& launchMode, const string& compartmentId, string& imageId) {
  return backend_->Run("CreateImage", [&](sim::CSimCloud& cloud, const sim::SCallFaults& faults) {
    imageId = sim::CSimImages(cloud).Import(bucket, objectName, imageName, launchMode, compartmentId, faults.faulty,
                                            "CreateImage");
    return true;
  });
}

bool CSimBridge::IsImageImportOperationCompleted(const string& imageId, bool& completed) {
  return backend_->Run("IsImageImportOperationCompleted", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    completed = sim::CSimImages(cloud).ImportCompleted(imageId);
    return true;
  });
}

bool CSimBridge::DeleteImage(const string& imageId) {
  return backend_->Run("DeleteImage", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::CSimImages(cloud).Delete(imageId, "DeleteImage");
    return true;
  });
}

bool CSimBridge::DoesImageExist(const string& imageId, bool& exists) {
  return backend_->Run("DoesImageExist", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    exists = sim::CSimImages(cloud).ImageExists(imageId);
    return true;
  });
}

bool CSimBridge::DoesStorageObjectExist(const string& bucket, const string& objectName, bool& exists) {
  return backend_->Run("DoesStorageObjectExist", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    exists = sim::CSimImages(cloud).ObjectExists(bucket, objectName);
    return true;
  });
}

}  // namespace OracleCloudSDKCppBridge
