#include "bridge/rest/RestResourceLists.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

namespace OracleCloudSDKCppBridge {
namespace {

std::vector<const char*> CollectionsOf(EResourceKind kind) {
  switch (kind) {
    case EResourceKind::VolumeSnapshot: return {"/20160918/volumeBackups", "/20160918/bootVolumeBackups"};
    case EResourceKind::Volume: return {"/20160918/volumes", "/20160918/bootVolumes"};
    case EResourceKind::Image: return {"/20160918/images"};
    case EResourceKind::Instance: break;
  }
  return {"/20160918/instances"};
}

std::string Text(const json& resource, const char* field) {
  auto it = resource.find(field);
  return it != resource.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The second part of an OCID ("ocid1.<type>.oc1...."); empty for any other id.
std::string OcidType(const std::string& id) {
  if (id.rfind("ocid1.", 0) != 0) return {};
  const size_t end = id.find('.', 6);
  return end == std::string::npos ? std::string() : id.substr(6, end - 6);
}

}  // namespace

std::vector<std::string> CompartmentIds(CRestApi& api, const std::string& tenancy) {
  std::vector<std::string> ids{tenancy};
  for (const json& compartment : api.List(ERestService::Identity, "/20160918/compartments",
                                          {{"compartmentId", tenancy},
                                           {"compartmentIdInSubtree", "true"},
                                           {"accessLevel", "ANY"},
                                           {"lifecycleState", "ACTIVE"}})) {
    const std::string id = Text(compartment, "id");
    if (!id.empty() && id != tenancy && Text(compartment, "lifecycleState") == "ACTIVE") ids.push_back(id);
  }
  return ids;
}

bool IsLiveResource(EResourceKind kind, const json& resource) {
  const std::string state = Text(resource, "lifecycleState");
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
        const std::string id = Text(resource, "id");
        if (id.empty() || !IsLiveResource(kind, resource) || !seen.insert(id).second) continue;
        const int64_t created = ApiTimeSeconds(Text(resource, "timeCreated"));
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
  const std::string type = OcidType(id);
  const char* collection = "/20160918/instances/";
  switch (kind) {
    case EResourceKind::VolumeSnapshot:
      collection = type == "bootvolumebackup" ? "/20160918/bootVolumeBackups/" : "/20160918/volumeBackups/";
      break;
    case EResourceKind::Volume:
      collection = type == "bootvolume" ? "/20160918/bootVolumes/" : "/20160918/volumes/";
      break;
    case EResourceKind::Image: collection = "/20160918/images/"; break;
    case EResourceKind::Instance: break;
  }
  return collection + UrlEncode(id);
}

const char* ResourceKindName(EResourceKind kind) {
  switch (kind) {
    case EResourceKind::VolumeSnapshot: return "volume snapshot";
    case EResourceKind::Volume: return "volume";
    case EResourceKind::Image: return "image";
    case EResourceKind::Instance: break;
  }
  return "instance";
}

int64_t ApiTimeSeconds(const std::string& text) {
  struct tm parts = {};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (!end) return -1;
  if (*end == '.') {
    ++end;
    if (*end < '0' || *end > '9') return -1;
    while (*end >= '0' && *end <= '9') ++end;
  }
  int64_t offset = 0;
  if (*end == 'Z' || *end == 'z') {
    ++end;
  } else if (*end == '+' || *end == '-') {
    int hours = 0, minutes = 0, used = 0;
    if (std::sscanf(end + 1, "%2d:%2d%n", &hours, &minutes, &used) != 2 || used != 5) return -1;
    offset = (hours * 3600 + minutes * 60) * (*end == '+' ? 1 : -1);
    end += 1 + used;
  } else {
    return -1;
  }
  if (*end != '\0') return -1;
  return static_cast<int64_t>(timegm(&parts)) - offset;
}

}  // namespace OracleCloudSDKCppBridge
