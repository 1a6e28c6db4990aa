#include "bridge/rest/RestResourceLists.h"

#include <algorithm>
#include <set>

#include "bridge/rest/RestFields.h"
#include "bridge/rest/RestPaths.h"

namespace OracleCloudSDKCppBridge {
namespace {

std::vector<const char*> CollectionsOf(EResourceKind kind) {
  switch (kind) {
    case EResourceKind::VolumeSnapshot:
      return {kVolumeBackups, kBootVolumeBackups};
    case EResourceKind::Volume:
      return {kVolumes, kBootVolumes};
    case EResourceKind::Image:
      return {kImages};
    case EResourceKind::Instance:
      break;
  }
  return {kInstances};
}

}  // namespace

bool IsLiveResource(EResourceKind kind, const json& resource) {
  const std::string state = TextOf(resource, "lifecycleState");
  if (kind == EResourceKind::Image) return state != "DELETED";
  return state != "TERMINATING" && state != "TERMINATED";
}

std::vector<json> ListLiveResources(CRestApi& api, const std::vector<std::string>& compartments, EResourceKind kind,
                                    const SQuery& query) {
  struct SListed {
    int64_t created;
    size_t order;
    json resource;
  };
  std::vector<SListed> listed;
  std::set<std::string> seen;
  for (const char* collection : CollectionsOf(kind)) {
    for (const std::string& compartment : compartments) {
      SQuery request{{"compartmentId", compartment}, {"sortBy", "TIMECREATED"}, {"sortOrder", "ASC"}};
      request.insert(request.end(), query.begin(), query.end());
      std::vector<json> page;
      try {
        page = api.List(ERestService::Core, collection, request);
      } catch (const CRestError& e) {
        if (!e.NotFound()) throw;  // a compartment deleted since the walk has nothing to list
      }
      for (json& resource : page) {
        const std::string id = TextOf(resource, "id");
        if (id.empty() || !IsLiveResource(kind, resource) || !seen.insert(id).second) continue;
        const int64_t created = ParseApiTime(TextOf(resource, "timeCreated"));
        listed.push_back({created, listed.size(), std::move(resource)});
      }
    }
  }
  std::stable_sort(listed.begin(), listed.end(),
                   [](const SListed& a, const SListed& b) { return a.created < b.created; });
  std::vector<json> resources;
  resources.reserve(listed.size());
  for (SListed& item : listed) resources.push_back(std::move(item.resource));
  return resources;
}

std::string ResourcePath(EResourceKind kind, const std::string& id) {
  switch (kind) {
    case EResourceKind::VolumeSnapshot:
      return BackupPath(id);
    case EResourceKind::Volume:
      return VolumePath(id);
    case EResourceKind::Image:
      return ImagePath(id);
    case EResourceKind::Instance:
      break;
  }
  return InstancePath(id);
}

const char* ResourceKindName(EResourceKind kind) {
  switch (kind) {
    case EResourceKind::VolumeSnapshot:
      return "volume snapshot";
    case EResourceKind::Volume:
      return "volume";
    case EResourceKind::Image:
      return "image";
    case EResourceKind::Instance:
      break;
  }
  return "instance";
}

}  // namespace OracleCloudSDKCppBridge
