#include "bridge/rest/RestInstanceClone.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "bridge/CloneNames.h"
#include "bridge/rest/RestInstanceRecords.h"
#include "bridge/rest/RestRecords.h"
#include "bridge/rest/RestResources.h"

namespace OracleCloudSDKCppBridge {
namespace {

// The lines of `text`, without empty ones.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    if (end > from) lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}

void AddOnce(std::vector<std::string>& list, const std::string& item) {
  if (!item.empty() && std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

struct SDataVolume {
  std::string sourceId, type, name, description, copyId, attachmentId;
};

// What the clone reads of its source before it makes anything.
struct SSource {  // NOLINT(bugprone-exception-escape): json's moves do not throw
  std::string id, name, compartmentId, ad, shape, bootVolumeId, subnetId;
  json shapeConfig;
  std::vector<std::string> sshKeys, securityListIds;
  std::vector<SDataVolume> volumes;  // in attach order
};

class CCloneMaker {
 public:
  CCloneMaker(CRestApi& api, const json& createTags) : api_(api), tags_(createTags) {}

  void Make(const json& instance, SVMInfo& vm) {
    source_.id = TextOf(instance, "id");
    Step("reading it", [&] { ReadSource(instance); });
    const std::string compartment = !vm.compartmentId.empty() ? vm.compartmentId : source_.compartmentId;
    const std::string ad = !vm.availabilityDomain.empty() ? vm.availabilityDomain : source_.ad;
    Step("copying boot volume [" + source_.bootVolumeId + "]", [&] {
      bootCopyId_ = CopyVolume(true, source_.bootVolumeId, CloneBootVolumeName(vm.name), "", compartment, ad);
    });
    for (SDataVolume& volume : source_.volumes) {
      Step("copying volume [" + volume.sourceId + "]", [&] {
        volume.copyId = CopyVolume(false, volume.sourceId, CloneDataVolumeName(volume.name, source_.name, vm.name),
                                   volume.description, compartment, ad);
      });
    }
    Step("waiting for the copy of boot volume [" + source_.bootVolumeId + "]",
         [&] { WaitForState(api_, ItemPath(kBootVolumes, bootCopyId_), "AVAILABLE", {"PROVISIONING"}); });
    for (const SDataVolume& volume : source_.volumes) {
      Step("waiting for the copy of volume [" + volume.sourceId + "]",
           [&] { WaitForState(api_, ItemPath(kVolumes, volume.copyId), "AVAILABLE", {"PROVISIONING"}); });
    }
    json launched;
    Step("launching instance [" + vm.name + "]", [&] { launched = Launch(vm, compartment, ad); });
    for (SDataVolume& volume : source_.volumes) {
      Step("attaching volume [" + volume.copyId + "]", [&] {
        const json made = api_.Post(ERestService::Core, kVolumeAttachments,
                                    {{"type", volume.type}, {"instanceId", instanceId_}, {"volumeId", volume.copyId}});
        volume.attachmentId = TextOf(made, "id");
      });
    }
    for (const SDataVolume& volume : source_.volumes) {
      Step("attaching volume [" + volume.copyId + "]",
           [&] { WaitForState(api_, ItemPath(kVolumeAttachments, volume.attachmentId), "ATTACHED", {"ATTACHING"}); });
    }
    TakeInstance(vm, launched);
  }

 private:
  // Runs a step; a failure undoes what was made and is reported naming the step.
  template <class F>
  void Step(const std::string& what, F&& step) {
    try {
      step();
    } catch (const std::exception& e) {
      Undo();
      throw std::runtime_error("Clone of instance [" + source_.id + "] failed while " + what + ": " + e.what());
    }
  }

  void ReadSource(const json& instance) {
    source_.name = TextOf(instance, "displayName");
    source_.compartmentId = TextOf(instance, "compartmentId");
    source_.ad = TextOf(instance, "availabilityDomain");
    source_.shape = TextOf(instance, "shape");
    source_.shapeConfig = instance.value("shapeConfig", json());
    const std::string state = TextOf(instance, "lifecycleState");
    if (state == "TERMINATING" || state == "TERMINATED") throw std::runtime_error("the instance is " + state);
    if (instance.contains("metadata")) source_.sshKeys = Lines(TextOf(instance["metadata"], "ssh_authorized_keys"));
    for (const json& a : api_.List(ERestService::Core, kBootVolumeAttachments,
                                   {{"availabilityDomain", source_.ad},
                                    {"compartmentId", source_.compartmentId},
                                    {"instanceId", source_.id}})) {
      if (TextOf(a, "lifecycleState") != "DETACHED") source_.bootVolumeId = TextOf(a, "bootVolumeId");
    }
    if (source_.bootVolumeId.empty()) throw std::runtime_error("the instance has no boot volume attached");
    std::vector<json> attachments;
    for (const json& a : api_.List(ERestService::Core, kVolumeAttachments,
                                   {{"compartmentId", source_.compartmentId}, {"instanceId", source_.id}})) {
      if (TextOf(a, "lifecycleState") != "DETACHED") attachments.push_back(a);
    }
    std::stable_sort(attachments.begin(), attachments.end(), [](const json& a, const json& b) {
      return ParseApiTime(TextOf(a, "timeCreated")) < ParseApiTime(TextOf(b, "timeCreated"));
    });
    for (const json& a : attachments) {
      SDataVolume volume;
      volume.sourceId = TextOf(a, "volumeId");
      volume.type = TextOf(a, "attachmentType");
      const json found = api_.Get(ERestService::Core, ItemPath(kVolumes, volume.sourceId));
      volume.name = TextOf(found, "displayName");
      volume.description = TextOf(found.value("freeformTags", json::object()), kDescriptionTag);
      source_.volumes.push_back(volume);
    }
    // The primary VNIC (else the first) gives the subnet; the security lists are those of every VNIC.
    bool primaryFound = false;
    for (const json& a : api_.List(ERestService::Core, kVnicAttachments,
                                   {{"compartmentId", source_.compartmentId}, {"instanceId", source_.id}})) {
      if (TextOf(a, "lifecycleState") != "ATTACHED" || TextOf(a, "vnicId").empty()) continue;
      const json vnic = api_.Get(ERestService::Core, ItemPath(kVnics, TextOf(a, "vnicId")));
      const bool primary = vnic.value("isPrimary", false);
      if (source_.subnetId.empty() || (primary && !primaryFound)) source_.subnetId = TextOf(vnic, "subnetId");
      primaryFound = primaryFound || primary;
      for (const json& id : vnic.value("nsgIds", json::array()))
        if (id.is_string()) AddOnce(source_.securityListIds, id.get<std::string>());
    }
  }

  std::string CopyVolume(bool boot, const std::string& sourceId, const std::string& name,
                         const std::string& description, const std::string& compartment, const std::string& ad) {
    json tags = tags_;
    if (!description.empty()) tags[kDescriptionTag] = description;
    const json body = {{"compartmentId", compartment},
                       {"availabilityDomain", ad},
                       {"displayName", name},
                       {"sourceDetails", {{"type", boot ? "bootVolume" : "volume"}, {"id", sourceId}}},
                       {"freeformTags", tags}};
    std::string id = TextOf(api_.Post(ERestService::Core, boot ? kBootVolumes : kVolumes, body), "id");
    made_.push_back(id);
    return id;
  }

  // The subnet the record asks for, else the source's, when it serves the domain; else none (the
  // service picks one).
  std::string SubnetFor(const SVMInfo& vm, const std::string& ad) {
    const std::string wanted = !vm.networkCards.empty() && !vm.networkCards[0].subnetId.empty()
                                   ? vm.networkCards[0].subnetId
                                   : source_.subnetId;
    if (wanted.empty()) return "";
    const json subnet = GetLive(api_, "/20160918/subnets/" + UrlEncode(wanted));
    if (subnet.is_null()) return "";
    const std::string served = TextOf(subnet, "availabilityDomain");
    return served.empty() || served == ad ? wanted : "";
  }

  json Launch(const SVMInfo& vm, const std::string& compartment, const std::string& ad) {
    const std::string shape = !vm.vmSize.empty() ? vm.vmSize : source_.shape;
    json details = {{"availabilityDomain", ad},
                    {"compartmentId", compartment},
                    {"displayName", vm.name},
                    {"shape", shape},
                    {"sourceDetails", {{"sourceType", "bootVolume"}, {"bootVolumeId", bootCopyId_}}},
                    {"freeformTags", tags_}};
    if (IsFlexibleShape(shape)) {
      json config = ShapeConfigOf(vm);
      if (config.is_null()) config = json::object();
      if (shape == source_.shape && source_.shapeConfig.is_object()) {
        for (const char* field : {"ocpus", "memoryInGBs"})
          if (!config.contains(field) && source_.shapeConfig.contains(field))
            config[field] = source_.shapeConfig[field];
      }
      if (!config.empty()) details["shapeConfig"] = config;
    }
    json vnic = json::object();
    const std::string subnet = SubnetFor(vm, ad);
    if (!subnet.empty()) vnic["subnetId"] = subnet;
    std::vector<std::string> lists = source_.securityListIds;
    for (const SSecurityGroupInfo& list : vm.securityGroups) AddOnce(lists, list.guid);
    if (!lists.empty()) vnic["nsgIds"] = lists;
    if (!vnic.empty()) details["createVnicDetails"] = vnic;
    std::vector<std::string> keys = source_.sshKeys;
    for (const SKeyPairInfo& key : vm.keyPairs) AddOnce(keys, key.publicKey);
    if (!keys.empty()) {
      std::string text;
      for (const std::string& key : keys) text += (text.empty() ? "" : "\n") + key;
      details["metadata"] = {{"ssh_authorized_keys", text}};
    }
    json instance = api_.Post(ERestService::Core, kInstances, details);
    instanceId_ = TextOf(instance, "id");
    std::string state = TextOf(instance, "lifecycleState");
    if (state == "PROVISIONING" || state == "STARTING") {
      state =
          AwaitInstance(api_, instanceId_, [](const std::string& s) { return s != "PROVISIONING" && s != "STARTING"; });
    }
    if (state != "RUNNING") throw std::runtime_error("instance [" + instanceId_ + "] did not boot: it is " + state);
    return api_.Get(ERestService::Core, InstancePath(instanceId_));
  }

  // Best effort: detaches the copies, terminates the clone keeping its boot volume, deletes the copies.
  void Undo() {
    for (const SDataVolume& volume : source_.volumes) {
      if (volume.attachmentId.empty()) continue;
      Try([&] {
        const std::string path = ItemPath(kVolumeAttachments, volume.attachmentId);
        const json attachment = GetLive(api_, path);
        if (!attachment.is_null() && TextOf(attachment, "lifecycleState") == "ATTACHING")
          WaitForState(api_, path, "ATTACHED", {"ATTACHING"});
        api_.Delete(ERestService::Core, path);
        WaitForState(api_, path, "DETACHED", {"ATTACHED", "DETACHING"}, true);
      });
    }
    if (!instanceId_.empty()) {
      Try([&] {
        if (!GetLive(api_, InstancePath(instanceId_)).is_null())
          api_.Delete(ERestService::Core, InstancePath(instanceId_), {{"preserveBootVolume", "true"}});
        AwaitInstance(api_, instanceId_, [](const std::string& s) { return s == "TERMINATED"; });
      });
    }
    for (const std::string& id : made_) {
      Try([&] {
        const std::string path = VolumePath(id);
        const json volume = GetLive(api_, path);
        if (!volume.is_null() && TextOf(volume, "lifecycleState") == "PROVISIONING")
          WaitForState(api_, path, "AVAILABLE", {"PROVISIONING"});
        api_.Delete(ERestService::Core, path);
      });
    }
    made_.clear();
    instanceId_.clear();
  }

  template <class F>
  static void Try(F&& action) {
    try {
      action();
    } catch (const std::exception&) {
      // What cannot be removed now carries the create token: the sweep finds it.
    }
  }

  CRestApi& api_;
  const json tags_;
  SSource source_;
  std::string bootCopyId_, instanceId_;
  std::vector<std::string> made_;
};

}  // namespace

void CloneInstance(CRestApi& api, const json& source, const json& createTags, SVMInfo& vm) {
  CCloneMaker(api, createTags).Make(source, vm);
}

}  // namespace OracleCloudSDKCppBridge
