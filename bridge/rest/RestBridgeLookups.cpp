// The REST backend's resources found by name, by create token and by freeform tag. The API lists
// per compartment and has no owner filter: a lookup walks the tenancy's compartments and keeps what
// matches, oldest first.
#include <map>

#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestCompartments.h"
#include "bridge/rest/RestFields.h"
#include "bridge/rest/RestPaths.h"
#include "bridge/rest/RestResourceLists.h"

namespace OracleCloudSDKCppBridge {
namespace {

bool HasTag(const json& resource, const std::string& key, const std::string& value) {
  const std::map<std::string, std::string> tags = FreeformTagsOf(resource);
  auto it = tags.find(key);
  return it != tags.end() && it->second == value;
}

// The live volume attachments of the compartments by the volume they attach (a volume is attached
// once at a time).
std::map<std::string, json> AttachmentsByVolume(CRestApi& api, const std::vector<std::string>& compartments) {
  std::map<std::string, json> byVolume;
  for (const std::string& compartment : compartments) {
    for (json& attachment : api.List(ERestService::Core, kVolumeAttachments, {{"compartmentId", compartment}})) {
      const std::string state = TextOf(attachment, "lifecycleState");
      const std::string volume = TextOf(attachment, "volumeId");
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
      if (TextOf(resource, "displayName") != name) continue;
      if (ParseApiTime(TextOf(resource, "timeCreated")) < createdSince) continue;
      found.push_back(TextOf(resource, "id"));
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
        if (HasTag(resource, kRequestTokenTag, token)) found.push_back(TextOf(resource, "id"));
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
      list.push_back(
          {TextOf(resource, "id"), TextOf(resource, "displayName"), FreeformTagsOf(resource), "", "", "", ""});
    }
    if (kind == EResourceKind::Volume && !list.empty()) {
      const std::map<std::string, json> attachments = AttachmentsByVolume(api, compartments);
      for (STaggedResource& volume : list) {
        auto it = attachments.find(volume.id);
        if (it == attachments.end()) continue;
        const json& attachment = it->second;
        volume.attachedTo = TextOf(attachment, "instanceId");
        volume.iqn = TextOf(attachment, "iqn");
        volume.portal = TextOf(attachment, "ipv4");
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
                  TextOf(resource, "lifecycleState") + ")");
    std::map<std::string, std::string> tags = FreeformTagsOf(resource);
    if (tags.erase(key) == 0) return true;  // nothing to remove
    json update = json::object();
    update["freeformTags"] = tags;
    api.Put(ERestService::Core, path, update);
    return true;
  });
}

}  // namespace OracleCloudSDKCppBridge
