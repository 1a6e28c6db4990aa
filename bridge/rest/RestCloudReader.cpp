#include "bridge/rest/RestCloudReader.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

#include "bridge/rest/RestCompartments.h"
#include "bridge/rest/RestPaths.h"
#include "bridge/rest/RestRecords.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr const char* kTerminating = "TERMINATING";
constexpr const char* kTerminated = "TERMINATED";
constexpr const char* kDetached = "DETACHED";

bool IsGone(const json& instance) {
  const std::string state = TextOf(instance, "lifecycleState");
  return state == kTerminating || state == kTerminated;
}

// Oldest first, then by id: the order the simulator gives records of equal name.
bool Older(const json& a, const json& b) {
  return std::make_tuple(ParseApiTime(TextOf(a, "timeCreated")), TextOf(a, "id")) <
         std::make_tuple(ParseApiTime(TextOf(b, "timeCreated")), TextOf(b, "id"));
}

bool Attached(const json& attachment) { return TextOf(attachment, "lifecycleState") != kDetached; }

}  // namespace

const std::vector<json>& CRestCloudReader::Compartments() {
  if (!compartmentsRead_) {
    compartments_ = SubtreeCompartments(api_, tenancy_);
    std::sort(compartments_.begin(), compartments_.end(), [](const json& a, const json& b) {
      return std::make_tuple(TextOf(a, "name"), TextOf(a, "id")) < std::make_tuple(TextOf(b, "name"), TextOf(b, "id"));
    });
    compartmentsRead_ = true;
  }
  return compartments_;
}

std::vector<SHostInfo> CRestCloudReader::Hosts() {
  std::vector<SHostInfo> hosts;
  for (const json& c : Compartments()) {
    SHostInfo host;
    host.name = TextOf(c, "name");
    host.guid = TextOf(c, "id");
    hosts.push_back(std::move(host));
  }
  return hosts;
}

std::vector<std::string> CRestCloudReader::CompartmentWalk() { return CompartmentIds(tenancy_, Compartments()); }

SHostInfo CRestCloudReader::Host(const std::string& token, bool byName) {
  const std::vector<SHostInfo> hosts = Hosts();
  for (const SHostInfo& host : hosts) {
    if (host.guid == token) return host;
  }
  if (byName) {
    for (const SHostInfo& host : hosts) {
      if (host.name == token) return host;
    }
  }
  throw std::runtime_error(byName ? "Host [" + token + "] was not found"
                                  : "Host with id [" + token + "] was not found");
}

std::vector<json> CRestCloudReader::EachCompartment(const std::string& compartmentId, const std::string& path,
                                                    const SQuery& query, ERestService service) {
  std::vector<json> items;
  for (const std::string& id : compartmentId.empty() ? CompartmentWalk() : std::vector<std::string>{compartmentId}) {
    SQuery q = query;
    q.emplace_back("compartmentId", id);
    for (json& item : api_.List(service, path, q)) items.push_back(std::move(item));
  }
  return items;
}

std::vector<SVMInfo> CRestCloudReader::Instances(const std::string& compartmentId, const std::string& ad,
                                                 const SRecordParts& parts) {
  SQuery query;
  if (!ad.empty()) query.emplace_back("availabilityDomain", ad);
  std::vector<json> found = EachCompartment(compartmentId, kInstances, query);
  found.erase(std::remove_if(found.begin(), found.end(),
                             [](const json& i) { return TextOf(i, "lifecycleState") == kTerminated; }),
              found.end());
  std::sort(found.begin(), found.end(), [](const json& a, const json& b) {
    const std::string an = TextOf(a, "displayName"), bn = TextOf(b, "displayName");
    return an != bn ? an < bn : Older(a, b);
  });
  // A list is no snapshot: an instance terminated while its record is read loses its VNICs and volumes
  // under the reader. It is left out once the service says it is going; anything else missing fails.
  std::vector<SVMInfo> vms;
  for (const json& instance : found) {
    try {
      vms.push_back(Record(instance, parts));
    } catch (const CRestError& e) {
      if (!e.NotFound()) throw;
      json now;
      try {
        now = api_.Get(ERestService::Core, "/20160918/instances/" + UrlEncode(TextOf(instance, "id")));
      } catch (const CRestError& gone) {
        if (!gone.NotFound()) throw;
        continue;
      }
      if (IsGone(now)) continue;
      vms.push_back(Record(now, parts));
    }
  }
  return vms;
}

std::vector<json> CRestCloudReader::InstancesNamed(const std::string& name, const std::string& compartmentId) {
  std::vector<json> found = EachCompartment(compartmentId, kInstances, {{"displayName", name}});
  found.erase(std::remove_if(found.begin(), found.end(), IsGone), found.end());
  std::sort(found.begin(), found.end(), Older);
  return found;
}

json CRestCloudReader::Instance(const std::string& name, const std::string& id) {
  if (!id.empty()) return api_.Get(ERestService::Core, InstancePath(id));
  if (name.empty()) throw std::runtime_error("Neither an instance name nor an instance id was given");
  std::vector<json> found = InstancesNamed(name, "");
  if (found.empty()) throw std::runtime_error("Instance [" + name + "] was not found");
  if (found.size() > 1) {
    std::string text =
        "Instance name [" + name + "] is ambiguous: " + std::to_string(found.size()) + " instances carry it (";
    for (size_t i = 0; i < found.size(); ++i) text += (i ? ", " : "") + TextOf(found[i], "id");
    throw std::runtime_error(text + ")");
  }
  return found.front();
}

SVMInfo CRestCloudReader::Record(const json& instance, const SRecordParts& parts) {
  SVMInfo vm = InstanceRecord(instance);
  vm.guestOs = GuestOs(vm.imageId);
  if (parts.disks) ReadDisks(instance, parts.snapshots, vm.disks);
  ReadNetwork(instance, vm, parts.network);
  return vm;
}

std::string CRestCloudReader::GuestOs(const std::string& imageId) {
  if (imageId.empty()) return "";
  auto it = guestOs_.find(imageId);
  if (it != guestOs_.end()) return it->second;
  std::string os;
  try {
    os = TextOf(api_.Get(ERestService::Core, ImagePath(imageId)), "operatingSystem");
  } catch (const CRestError& e) {
    if (!e.NotFound()) throw;  // an image that is gone leaves the instance without a known OS
  }
  return guestOs_[imageId] = os;
}

std::string CRestCloudReader::BootVolumeId(const json& instance) {
  for (const json& a : api_.List(ERestService::Core, kBootVolumeAttachments,
                                 {{"availabilityDomain", TextOf(instance, "availabilityDomain")},
                                  {"compartmentId", TextOf(instance, "compartmentId")},
                                  {"instanceId", TextOf(instance, "id")}})) {
    if (Attached(a)) return TextOf(a, "bootVolumeId");
  }
  return "";
}

// The boot volume first, then the attached volumes in the order of their attachment, numbered from 0.
void CRestCloudReader::ReadDisks(const json& instance, bool withSnapshots, std::vector<SDisk>& disks) {
  const std::string bootVolumeId = BootVolumeId(instance);
  if (!bootVolumeId.empty()) {
    SDisk boot = DiskRecord(api_.Get(ERestService::Core, ItemPath(kBootVolumes, bootVolumeId)));
    boot.isBootDisk = true;
    disks.push_back(std::move(boot));
  }
  for (const json& a :
       api_.List(ERestService::Core, kVolumeAttachments,
                 {{"compartmentId", TextOf(instance, "compartmentId")}, {"instanceId", TextOf(instance, "id")}})) {
    const std::string volumeId = TextOf(a, "volumeId");
    if (!Attached(a) || volumeId == bootVolumeId) continue;
    SDisk disk = DiskRecord(api_.Get(ERestService::Core, ItemPath(kVolumes, volumeId)));
    disk.attachmentId = TextOf(a, "id");
    disk.attachmentType = TextOf(a, "attachmentType");
    disks.push_back(std::move(disk));
  }
  for (size_t i = 0; i < disks.size(); ++i) disks[i].diskNumber = static_cast<UINT32>(i);
  if (!withSnapshots) return;
  for (SDisk& disk : disks) {
    const std::string path = disk.isBootDisk ? kBootVolumeBackups : kVolumeBackups;
    std::vector<json> backups = api_.List(ERestService::Core, path,
                                          {{"compartmentId", TextOf(instance, "compartmentId")},
                                           {disk.isBootDisk ? "bootVolumeId" : "volumeId", disk.volumeId}});
    std::stable_sort(backups.begin(), backups.end(), [](const json& a, const json& b) {
      return ParseApiTime(TextOf(a, "timeCreated")) < ParseApiTime(TextOf(b, "timeCreated"));
    });
    for (const json& backup : backups) disk.childDisks.push_back(BackupRecord(backup));
  }
}

// The VNICs give the network cards (the primary first) and the security lists the instance is in.
void CRestCloudReader::ReadNetwork(const json& instance, SVMInfo& vm, bool withCards) {
  std::vector<SVMNetworkCard> cards;
  std::vector<std::string> listIds;
  for (const json& a :
       api_.List(ERestService::Core, kVnicAttachments,
                 {{"compartmentId", TextOf(instance, "compartmentId")}, {"instanceId", TextOf(instance, "id")}})) {
    if (!Attached(a) || TextOf(a, "vnicId").empty()) continue;
    const json vnic = api_.Get(ERestService::Core, ItemPath(kVnics, TextOf(a, "vnicId")));
    cards.push_back(NetworkCard(vnic));
    for (const json& id : vnic.value("nsgIds", json::array())) {
      if (id.is_string() && std::find(listIds.begin(), listIds.end(), id.get<std::string>()) == listIds.end())
        listIds.push_back(id.get<std::string>());
    }
  }
  std::stable_sort(cards.begin(), cards.end(),
                   [](const SVMNetworkCard& a, const SVMNetworkCard& b) { return a.isPrimary && !b.isPrimary; });
  if (withCards) vm.networkCards = std::move(cards);
  for (const std::string& id : listIds) {
    auto it = securityLists_.find(id);
    if (it == securityLists_.end())
      it = securityLists_.emplace(id, TextOf(api_.Get(ERestService::Core, ItemPath(kSecurityLists, id)), "displayName"))
               .first;
    vm.securityGroups.push_back({it->second, id});
  }
  std::sort(vm.securityGroups.begin(), vm.securityGroups.end(),
            [](const SSecurityGroupInfo& a, const SSecurityGroupInfo& b) { return a.name < b.name; });
}

std::vector<SVMInfo> CRestCloudReader::Images(const std::string& compartmentId, const std::string& displayName) {
  SQuery query;
  if (!displayName.empty()) query.emplace_back("displayName", displayName);
  std::vector<json> found = EachCompartment(compartmentId, kImages, query);
  std::sort(found.begin(), found.end(), [](const json& a, const json& b) {
    const std::string an = TextOf(a, "displayName"), bn = TextOf(b, "displayName");
    return an != bn ? an < bn : Older(a, b);
  });
  std::vector<SVMInfo> images;
  for (const json& image : found) {
    const bool seen =
        std::any_of(images.begin(), images.end(), [&](const SVMInfo& i) { return i.guid == TextOf(image, "id"); });
    if (!seen) images.push_back(ImageRecord(image, region_));  // a platform image comes with every compartment
  }
  return images;
}

std::vector<SVMSizeInfo> CRestCloudReader::Shapes(const std::string& compartmentId, const std::string& imageId,
                                                  const std::string& ad) {
  SQuery query{{"compartmentId", compartmentId.empty() ? tenancy_ : compartmentId}};
  if (!imageId.empty()) query.emplace_back("imageId", imageId);
  if (!ad.empty()) query.emplace_back("availabilityDomain", ad);
  std::vector<SVMSizeInfo> shapes;
  for (const json& shape : api_.List(ERestService::Core, "/20160918/shapes", query))
    shapes.push_back(ShapeRecord(shape));
  return shapes;
}

std::vector<SStagingStorage> CRestCloudReader::Buckets(const std::string& compartmentId) {
  const std::string path = "/n/" + UrlEncode(api_.Namespace()) + "/b";
  std::vector<SStagingStorage> buckets;
  for (const json& bucket : EachCompartment(compartmentId, path, {}, ERestService::ObjectStorage))
    buckets.push_back(BucketRecord(bucket));
  std::sort(buckets.begin(), buckets.end(),
            [](const SStagingStorage& a, const SStagingStorage& b) { return a.name < b.name; });
  return buckets;
}

}  // namespace OracleCloudSDKCppBridge
