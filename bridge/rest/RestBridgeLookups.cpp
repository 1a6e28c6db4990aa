// The REST backend's resources found by name, by create token and by freeform tag. The API lists
// per compartment and has no owner filter: a lookup walks the tenancy's compartments and keeps what
// matches, oldest first.
#include <map>

#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestResourceLists.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr const char* kTokenTag = "BackupRequest";

std::string Text(const json& resource, const char* field) {
  auto it = resource.find(field);
  return it != resource.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::map<std::string, std::string> FreeformTags(const json& resource) {
  std::map<std::string, std::string> tags;
  auto it = resource.find("freeformTags");
  if (it == resource.end() || !it->is_object()) return tags;
  for (const auto& [key, value] : it->items())
    if (value.is_string()) tags[key] = value.get<std::string>();
  return tags;
}

bool HasTag(const json& resource, const std::string& key, const std::string& value) {
  const std::map<std::string, std::string> tags = FreeformTags(resource);
  auto it = tags.find(key);
  return it != tags.end() && it->second == value;
}

// The live volume attachments of the compartments by the volume they attach (a volume is attached
// once at a time).
std::map<std::string, json> AttachmentsByVolume(CRestApi& api, const std::vector<std::string>& compartments) {
  std::map<std::string, json> byVolume;
  for (const std::string& compartment : compartments) {
    for (json& attachment : api.List(ERestService::Core, "/20160918/volumeAttachments", {{"compartmentId", compartment}})) {
      const std::string state = Text(attachment, "lifecycleState");
      const std::string volume = Text(attachment, "volumeId");
      if (state == "DETACHED" || volume.empty()) continue;
      byVolume.emplace(volume, std::move(attachment));
    }
  }
  return byVolume;
}

}  // namespace

bool CRestBridge::FindResourcesByName(EResourceKind kind, const string& name, INT64 createdSince,
                                      std::vector<string>& ids) {
  return Run("FindResourcesByName", [&](CRestApi& api) {
    std::vector<string> found;
    for (const json& resource : ListLiveResources(api, CompartmentIds(api, Tenancy()), kind, {{"displayName", name}})) {
      // The list's filter is the service's; the name must be exactly this one all the same.
      if (Text(resource, "displayName") != name) continue;
      if (ApiTimeSeconds(Text(resource, "timeCreated")) < createdSince) continue;
      found.push_back(Text(resource, "id"));
    }
    ids = std::move(found);
    return true;
  });
}

bool CRestBridge::FindResourcesByToken(EResourceKind kind, const string& token, std::vector<string>& ids) {
  return Run("FindResourcesByToken", [&](CRestApi& api) {
    std::vector<string> found;
    if (!token.empty()) {
      for (const json& resource : ListLiveResources(api, CompartmentIds(api, Tenancy()), kind))
        if (HasTag(resource, kTokenTag, token)) found.push_back(Text(resource, "id"));
    }
    ids = std::move(found);
    return true;
  });
}

bool CRestBridge::FindTaggedResources(EResourceKind kind, const string& key, const string& value,
                                      std::vector<STaggedResource>& found) {
  return Run("FindTaggedResources", [&](CRestApi& api) {
    const std::vector<std::string> compartments = CompartmentIds(api, Tenancy());
    std::vector<STaggedResource> list;
    for (const json& resource : ListLiveResources(api, compartments, kind)) {
      if (!HasTag(resource, key, value)) continue;
      list.push_back({Text(resource, "id"), Text(resource, "displayName"), FreeformTags(resource), "", "", "", ""});
    }
    if (kind == EResourceKind::Volume && !list.empty()) {
      const std::map<std::string, json> attachments = AttachmentsByVolume(api, compartments);
      for (STaggedResource& volume : list) {
        auto it = attachments.find(volume.id);
        if (it == attachments.end()) continue;
        const json& attachment = it->second;
        volume.attachedTo = Text(attachment, "instanceId");
        volume.iqn = Text(attachment, "iqn");
        volume.portal = Text(attachment, "ipv4");
        auto port = attachment.find("port");
        if (port != attachment.end() && port->is_number_integer() && port->get<long long>() != 0)
          volume.port = std::to_string(port->get<long long>());
      }
    }
    found = std::move(list);
    return true;
  });
}

bool CRestBridge::RemoveResourceTag(EResourceKind kind, const string& id, const string& key) {
  return Run("RemoveResourceTag", [&](CRestApi& api) {
    const std::string path = ResourcePath(kind, id);
    const json resource = api.Get(ERestService::Core, path);
    if (!IsLiveResource(kind, resource))
      return Fail(std::string("The ") + ResourceKindName(kind) + " [" + id + "] does not exist (it is " +
                  Text(resource, "lifecycleState") + ")");
    std::map<std::string, std::string> tags = FreeformTags(resource);
    if (tags.erase(key) == 0) return true;  // nothing to remove
    json update = json::object();
    update["freeformTags"] = tags;
    api.Put(ERestService::Core, path, update);
    return true;
  });
}

}  // namespace OracleCloudSDKCppBridge
