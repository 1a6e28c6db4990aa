// Block storage of Core Services (20160918): volumes, boot volumes, their backups and the attachments
// of both, answered through the simulator's classes (CSimVolumes, CSimSnapshots, CSimAttachments).
// A volume and a boot volume are rows of one table told apart by is_boot, as are their backups; each
// path serves only its own kind (the other's id is not found there, as in the cloud). The simulator's
// description of a volume or backup travels as the freeform tag kDescriptionTag.
#include <map>

#include "ApiRequestFields.h"
#include "ApiRequestModels.h"
#include "ApiResourceModels.h"
#include "ApiServer.h"
#include "ApiTimes.h"
#include "bridge/rest/ApiConventions.h"
#include "bridge/sim/SimAttachments.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/SimTags.h"
#include "bridge/sim/SimVolumes.h"
#include "host/VMInfoStructs.h"

namespace cloudsim {
namespace {

using OracleCloudSDKCppBridge::kDescriptionTag;
using OracleCloudSDKCppBridge::kGiB;
using OracleCloudSDKCppBridge::kMiB;

// The two families the paths serve: block volumes and their backups, boot volumes and theirs.
struct SFamily {
  bool boot;
  const char* path;          // "volumes" / "bootVolumes"
  const char* backupPath;    // "volumeBackups" / "bootVolumeBackups"
  const char* volumeField;   // a backup's field naming its volume
  const char* backupSource;  // sourceDetails.type of a volume made from a backup
  const char* volumeWord;    // for messages
  const char* cloneSource;   // sourceDetails.type of a copy of a volume of the family
};
constexpr SFamily kBlock{false, "volumes", "volumeBackups", "volumeId", "volumeBackup", "Volume", "volume"};
constexpr SFamily kBoot{true,          "bootVolumes", "bootVolumeBackups", "bootVolumeId", "bootVolumeBackup",
                        "Boot volume", "bootVolume"};

json SizeFields(int64_t bytes) {
  const int64_t mb = (bytes + kMiB - 1) / kMiB;
  return {{"sizeInMBs", mb}, {"sizeInGBs", mb / 1024}};
}

// The resource's freeform tags, with its description when it has one.
json FreeformTags(sim::CSimDb& db, const char* kind, const std::string& id, const std::string& description) {
  json tags = FreeformTagsOf(db, kind, id);
  if (!description.empty()) tags[kDescriptionTag] = description;
  return tags;
}

// A request's freeformTags (string values only, as the API takes them) without the description,
// which is returned apart.
sim::STags RequestTags(const json& body, std::string& description) {
  sim::STags tags = TagsOfRequest(body);
  auto it = tags.find(kDescriptionTag);
  description = it == tags.end() ? std::string() : it->second;
  if (it != tags.end()) tags.erase(it);
  return tags;
}

// The simulator keeps no defined tags: a request may give none.
void RefuseDefinedTags(const json& body) {
  if (body.contains("definedTags") && !(body["definedTags"].is_object() && body["definedTags"].empty()))
    throw CApiRefusal(400, "InvalidParameter", "This tenancy has no tag namespaces: definedTags must be empty");
}

// "ORDER BY ..." of a list that sorts as the API does: by timeCreated (newest first unless
// sortOrder=ASC) or by displayName (sortBy=DISPLAYNAME, A to Z unless sortOrder=DESC). `table` is the
// alias of the volumes ("v") or snapshots ("s") table.
std::string OrderBy(const SApiCall& call, const std::string& table) {
  const std::string by = call.Query("sortBy"), order = call.Query("sortOrder");
  if (!by.empty() && by != "TIMECREATED" && by != "DISPLAYNAME")
    throw CApiRefusal(400, "InvalidParameter", "sortBy must be TIMECREATED or DISPLAYNAME");
  if (!order.empty() && order != "ASC" && order != "DESC")
    throw CApiRefusal(400, "InvalidParameter", "sortOrder must be ASC or DESC");
  const bool byName = by == "DISPLAYNAME";
  const std::string direction = order.empty() ? (byName ? "ASC" : "DESC") : order;
  const std::string name = table + (table == "v" ? ".display_name" : ".name");
  return " ORDER BY " + (byName ? name : table + ".created") + " " + direction + ", " + table + ".rowid " + direction;
}

// Volumes.

constexpr const char* kVolumeColumns =
    "SELECT v.id, v.display_name, v.compartment_id, v.ad, v.size_bytes, v.state, v.description, v.is_boot, "
    "v.image_id, v.source_snapshot_id, v.created FROM volumes v";

json VolumeJson(sim::CSimDb& db, sim::CSimStatement& row) {
  const bool boot = row.Int(7) != 0;
  json volume = {{"id", row.Text(0)},
                 {"displayName", row.Text(1)},
                 {"compartmentId", row.Text(2)},
                 {"availabilityDomain", row.Text(3)},
                 {"lifecycleState", row.Text(5)},
                 {"timeCreated", ApiTime(row.Int(10))},
                 {"freeformTags", FreeformTags(db, sim::kKindVolume, row.Text(0), row.Text(6))},
                 {"definedTags", json::object()}};
  volume.update(SizeFields(row.Int(4)));
  if (!row.Text(9).empty())
    volume["sourceDetails"] = {{"type", boot ? kBoot.backupSource : kBlock.backupSource}, {"id", row.Text(9)}};
  if (boot && !row.Text(8).empty()) volume["imageId"] = row.Text(8);
  return volume;
}

// The volume of the family with that id; 404 when there is none (or it is of the other family).
json LoadVolumeJson(sim::CSimCloud& cloud, const SFamily& family, const std::string& id) {
  json volume = cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(std::string(kVolumeColumns) + " WHERE v.id = ? AND v.is_boot = ?");
    row.BindAll(id, family.boot);
    return row.Step() ? VolumeJson(db, row) : json();
  });
  if (volume.is_null())
    throw CApiRefusal(404, "NotAuthorizedOrNotFound", std::string(family.volumeWord) + " [" + id + "] was not found");
  return volume;
}

void ListVolumes(SApiCall& call, const SFamily& family) {
  const std::string compartment = call.RequiredQuery("compartmentId");
  const std::string ad = call.Query("availabilityDomain"), name = call.Query("displayName"),
                    state = call.Query("lifecycleState");
  const std::string order = OrderBy(call, "v");
  call.ReplyList(call.cloud.Read([&](sim::CSimDb& db) {
    std::vector<json> list;
    sim::CSimStatement row = db.Prepare(std::string(kVolumeColumns) +
                                        " WHERE v.compartment_id = ? AND v.is_boot = ? AND (? = '' OR v.ad = ?) AND "
                                        "(? = '' OR v.display_name = ?) AND (? = '' OR v.state = ?)" +
                                        order);
    row.BindAll(compartment, family.boot, ad, ad, name, name, state, state);
    while (row.Step()) list.push_back(VolumeJson(db, row));
    return list;
  }));
}

// A volume made from a backup of the family: in the backup's compartment and its volume's domain,
// which are the only ones the simulator makes it in.
std::string CreateFromBackup(SApiCall& call, const SFamily& family, const json& body, const std::string& description) {
  const json& source = body["sourceDetails"];
  if (!source.is_object() || StringField(source, "type") != family.backupSource)
    throw CApiRefusal(400, "InvalidParameter",
                      std::string("sourceDetails.type must be ") + family.backupSource + " or " + family.cloneSource);
  const std::string backupId = StringField(source, "id");
  if (backupId.empty()) throw CApiRefusal(400, "MissingParameter", "The field [sourceDetails.id] is required");
  if (!description.empty())
    throw CApiRefusal(400, "InvalidParameter", "A volume made from a backup takes no description");
  const auto [compartment, ad, boot] = call.cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(
        "SELECT COALESCE(NULLIF(s.compartment_id, ''), v.compartment_id, ''), COALESCE(NULLIF(s.ad, ''), v.ad, ''), "
        "s.is_boot FROM snapshots s LEFT JOIN volumes v ON v.id = s.volume_id WHERE s.id = ?");
    row.BindAll(backupId);
    if (!row.Step()) return std::make_tuple(std::string(), std::string(), -1);
    return std::make_tuple(row.Text(0), row.Text(1), static_cast<int>(row.Int(2)));
  });
  if (boot != static_cast<int>(family.boot))
    throw CApiRefusal(404, "NotAuthorizedOrNotFound",
                      std::string(family.backupSource) + " [" + backupId + "] was not found");
  if (StringField(body, "compartmentId") != compartment || StringField(body, "availabilityDomain") != ad)
    throw CApiRefusal(400, "InvalidParameter",
                      "A volume made from backup [" + backupId + "] goes to its compartment [" + compartment +
                          "] and domain [" + ad + "]");
  return sim::CSimSnapshots(call.cloud)
      .CreateVolume(backupId, StringField(body, "displayName"), call.faults.faulty,
                    call.OperationOr(family.boot ? "CreateBootVolume" : "CreateVolume"));
}

// A copy of a volume of the family (sourceDetails {"type": "volume"|"bootVolume", "id"}): its size,
// bytes and image, in the compartment and domain asked for.
std::string CreateClone(SApiCall& call, const SFamily& family, const json& body, const std::string& description) {
  const std::string sourceId = StringField(body["sourceDetails"], "id");
  if (sourceId.empty()) throw CApiRefusal(400, "MissingParameter", "The field [sourceDetails.id] is required");
  if (body.contains("sizeInGBs") || body.contains("sizeInMBs"))
    throw CApiRefusal(400, "InvalidParameter", "A copy of a volume has the size of its source: give no size");
  LoadVolumeJson(call.cloud, family, sourceId);
  const std::string ad = StringField(body, "availabilityDomain");
  if (ad.empty()) throw CApiRefusal(400, "MissingParameter", "The field [availabilityDomain] is required");
  return sim::CSimVolumes(call.cloud)
      .Clone(sourceId, StringField(body, "displayName"), description, StringField(body, "compartmentId"), ad,
             call.faults.faulty, call.OperationOr(family.boot ? "CreateBootVolume" : "CreateVolume"));
}

std::string CreateEmptyVolume(SApiCall& call, const json& body, const std::string& description) {
  VMInfoStructs::SDisk disk;
  disk.displayName = StringField(body, "displayName");
  disk.availabilityDomain = StringField(body, "availabilityDomain");
  disk.description = description;
  const json gb = body.value("sizeInGBs", json()), mb = body.value("sizeInMBs", json());
  if (!gb.is_null() == !mb.is_null())
    throw CApiRefusal(400, "InvalidParameter", "Give the size as either sizeInGBs or sizeInMBs");
  const json& size = gb.is_null() ? mb : gb;
  if (!size.is_number_integer() || size.get<int64_t>() < 0)
    throw CApiRefusal(400, "InvalidParameter", "The size must be a whole number");
  disk.size = static_cast<uint64_t>(size.get<int64_t>() * (gb.is_null() ? kMiB : kGiB));
  return sim::CSimVolumes(call.cloud)
      .Create(disk, StringField(body, "compartmentId"), call.faults.faulty, call.OperationOr("CreateVolume"));
}

void CreateVolume(SApiCall& call, const SFamily& family) {
  const json body = ModelBody(call, family.boot ? "CreateBootVolumeDetails" : "CreateVolumeDetails");
  RefuseDefinedTags(body);
  std::string description;
  const sim::STags tags = RequestTags(body, description);
  sim::CCreateTagsScope scope(&tags);
  const std::string sourceType = body.contains("sourceDetails") && body["sourceDetails"].is_object()
                                     ? StringField(body["sourceDetails"], "type")
                                     : "";
  const std::string id = sourceType == family.cloneSource ? CreateClone(call, family, body, description)
                         : body.contains("sourceDetails") ? CreateFromBackup(call, family, body, description)
                                                          : CreateEmptyVolume(call, body, description);
  call.Reply(LoadVolumeJson(call.cloud, family, id));
}

// An update may keep the description or (a volume's) drop it; the simulator sets none.
void CheckDescription(const json& current, const std::string& wanted, bool mayClear, const std::string& id) {
  const std::string kept = current.value(kDescriptionTag, "");
  if (wanted == kept || (wanted.empty() && mayClear)) return;
  throw CApiRefusal(400, "InvalidParameter",
                    "The freeform tag [" + std::string(kDescriptionTag) + "] of [" + id + "] can " +
                        (mayClear ? "only be removed" : "not change"));
}

void UpdateVolume(SApiCall& call, const SFamily& family) {
  const std::string id = call.PathPart(1);
  const json body = ModelBody(call, family.boot ? "UpdateBootVolumeDetails" : "UpdateVolumeDetails");
  RefuseDefinedTags(body);
  const json current = LoadVolumeJson(call.cloud, family, id)["freeformTags"];
  if (body.contains("freeformTags")) {
    std::string description;
    const sim::STags tags = RequestTags(body, description);
    CheckDescription(current, description, true, id);
    if (description.empty() && current.contains(kDescriptionTag)) sim::CSimVolumes(call.cloud).ClearDescription(id);
    sim::CSimTags(call.cloud).Replace(sim::kKindVolume, id, tags);
  }
  call.Reply(LoadVolumeJson(call.cloud, family, id));
}

void AddVolumeRoutes(CApiServer& server, const SFamily& family) {
  const std::string base = std::string("/20160918/") + family.path;
  server.Get(base, [&family](SApiCall& call) { ListVolumes(call, family); });
  server.Post(base, [&family](SApiCall& call) { CreateVolume(call, family); });
  server.Get(base + "/([^/]+)",
             [&family](SApiCall& call) { call.Reply(LoadVolumeJson(call.cloud, family, call.PathPart(1))); });
  server.Put(base + "/([^/]+)", [&family](SApiCall& call) { UpdateVolume(call, family); });
  server.Delete(base + "/([^/]+)", [&family](SApiCall& call) {
    LoadVolumeJson(call.cloud, family, call.PathPart(1));
    sim::CSimVolumes(call.cloud)
        .Delete(call.PathPart(1), call.OperationOr(family.boot ? "DeleteBootVolume" : "DeleteVolume"));
    call.ReplyEmpty();
  });
}

// Backups.

constexpr const char* kBackupColumns =
    "SELECT s.id, s.name, COALESCE(NULLIF(s.compartment_id, ''), v.compartment_id, ''), s.state, s.size_bytes, "
    "s.volume_id, s.description, s.created FROM snapshots s LEFT JOIN volumes v ON v.id = s.volume_id";

json BackupJson(sim::CSimDb& db, sim::CSimStatement& row, const SFamily& family) {
  json backup = {{"id", row.Text(0)},
                 {"displayName", row.Text(1)},
                 {"compartmentId", row.Text(2)},
                 {"lifecycleState", row.Text(3)},
                 {family.volumeField, row.Text(5)},
                 {"type", "FULL"},
                 {"sourceType", "MANUAL"},
                 {"timeCreated", ApiTime(row.Int(7))},
                 {"freeformTags", FreeformTags(db, sim::kKindSnapshot, row.Text(0), row.Text(6))},
                 {"definedTags", json::object()}};
  backup.update(SizeFields(row.Int(4)));
  if (family.boot) backup.erase("sizeInMBs");  // a boot volume backup gives its size in GBs only
  return backup;
}

json LoadBackupJson(sim::CSimCloud& cloud, const SFamily& family, const std::string& id) {
  json backup = cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(std::string(kBackupColumns) + " WHERE s.id = ? AND s.is_boot = ?");
    row.BindAll(id, family.boot);
    return row.Step() ? BackupJson(db, row, family) : json();
  });
  if (backup.is_null())
    throw CApiRefusal(404, "NotAuthorizedOrNotFound",
                      std::string(family.volumeWord) + " backup [" + id + "] was not found");
  return backup;
}

void ListBackups(SApiCall& call, const SFamily& family) {
  const std::string compartment = call.RequiredQuery("compartmentId");
  const std::string volume = call.Query(family.volumeField), name = call.Query("displayName"),
                    state = call.Query("lifecycleState");
  const std::string order = OrderBy(call, "s");
  call.ReplyList(call.cloud.Read([&](sim::CSimDb& db) {
    std::vector<json> list;
    sim::CSimStatement row =
        db.Prepare(std::string(kBackupColumns) +
                   " WHERE s.is_boot = ? AND (? = '' OR s.volume_id = ?) AND (? = '' OR s.name = ?) "
                   "AND (? = '' OR s.state = ?) AND "
                   "COALESCE(NULLIF(s.compartment_id, ''), v.compartment_id, '') = ?" +
                   order);
    row.BindAll(family.boot, volume, volume, name, name, state, state, compartment);
    while (row.Step()) list.push_back(BackupJson(db, row, family));
    return list;
  }));
}

void CreateBackup(SApiCall& call, const SFamily& family) {
  const json body = ModelBody(call, family.boot ? "CreateBootVolumeBackupDetails" : "CreateVolumeBackupDetails");
  RefuseDefinedTags(body);
  const std::string type = StringField(body, "type");
  if (!type.empty() && type != "FULL")
    throw CApiRefusal(400, "InvalidParameter",
                      "Backups of this cloud are FULL backups; type [" + type + "] is not offered");
  const std::string volumeId = StringField(body, family.volumeField);
  LoadVolumeJson(call.cloud, family, volumeId);
  std::string description;
  const sim::STags tags = RequestTags(body, description);
  sim::CCreateTagsScope scope(&tags);
  const std::string id = sim::CSimSnapshots(call.cloud)
                             .Create(volumeId, description, StringField(body, "displayName"), call.faults.faulty,
                                     call.OperationOr(family.boot ? "CreateBootVolumeBackup" : "CreateVolumeBackup"));
  call.Reply(LoadBackupJson(call.cloud, family, id));
}

void UpdateBackup(SApiCall& call, const SFamily& family) {
  const std::string id = call.PathPart(1);
  const json body = ModelBody(call, family.boot ? "UpdateBootVolumeBackupDetails" : "UpdateVolumeBackupDetails");
  RefuseDefinedTags(body);
  const json current = LoadBackupJson(call.cloud, family, id)["freeformTags"];
  if (body.contains("freeformTags")) {
    std::string description;
    const sim::STags tags = RequestTags(body, description);
    CheckDescription(current, description, false, id);
    sim::CSimTags(call.cloud).Replace(sim::kKindSnapshot, id, tags);
  }
  call.Reply(LoadBackupJson(call.cloud, family, id));
}

void AddBackupRoutes(CApiServer& server, const SFamily& family) {
  const std::string base = std::string("/20160918/") + family.backupPath;
  server.Get(base, [&family](SApiCall& call) { ListBackups(call, family); });
  server.Post(base, [&family](SApiCall& call) { CreateBackup(call, family); });
  server.Get(base + "/([^/]+)",
             [&family](SApiCall& call) { call.Reply(LoadBackupJson(call.cloud, family, call.PathPart(1))); });
  server.Put(base + "/([^/]+)", [&family](SApiCall& call) { UpdateBackup(call, family); });
  server.Delete(base + "/([^/]+)", [&family](SApiCall& call) {
    LoadBackupJson(call.cloud, family, call.PathPart(1));
    sim::CSimSnapshots(call.cloud)
        .Delete(call.PathPart(1), call.OperationOr(family.boot ? "DeleteBootVolumeBackup" : "DeleteVolumeBackup"));
    call.ReplyEmpty();
  });
}

// Attachments. An attachment is in its instance's compartment and domain.

constexpr const char* kAttachmentColumns =
    "SELECT a.id, a.type, a.instance_id, a.volume_id, a.iqn, a.portal, a.port, a.state, a.created, i.ad, "
    "i.compartment_id FROM attachments a JOIN instances i ON i.id = a.instance_id";

// The iSCSI target as the cloud reports it: a sandbox may be set to report other values than the
// target it offers (the meta settings the in-process attach reports too).
std::string Reported(sim::CSimDb& db, const char* key, const std::string& actual) {
  const std::string reported = db.QueryText("SELECT value FROM meta WHERE key = ?", "", key);
  return reported.empty() ? actual : reported;
}

json AttachmentJson(sim::CSimDb& db, sim::CSimStatement& row) {
  json attachment = {{"id", row.Text(0)},
                     {"attachmentType", row.Text(1)},
                     {"instanceId", row.Text(2)},
                     {"volumeId", row.Text(3)},
                     {"lifecycleState", row.Text(7)},
                     {"timeCreated", ApiTime(row.Int(8))},
                     {"availabilityDomain", row.Text(9)},
                     {"compartmentId", row.Text(10)}};
  if (!row.Text(4).empty()) {
    attachment["iqn"] = Reported(db, sim::kMetaReportedIqn, row.Text(4));
    attachment["ipv4"] = Reported(db, sim::kMetaReportedPortal, row.Text(5));
    const std::string port = Reported(db, sim::kMetaReportedPort, std::to_string(row.Int(6)));
    const bool numeric = !port.empty() && port.size() < 10 && port.find_first_not_of("0123456789") == std::string::npos;
    attachment["port"] = numeric ? json(std::stoll(port)) : json(port);
  }
  return attachment;
}

json LoadAttachmentJson(sim::CSimCloud& cloud, const std::string& id) {
  json attachment = cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(std::string(kAttachmentColumns) + " WHERE a.id = ?");
    row.BindAll(id);
    return row.Step() ? AttachmentJson(db, row) : json();
  });
  if (attachment.is_null())
    throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Volume attachment [" + id + "] was not found");
  return attachment;
}

void AddAttachmentRoutes(CApiServer& server) {
  server.Get("/20160918/volumeAttachments", [](SApiCall& call) {
    const std::string compartment = call.RequiredQuery("compartmentId");
    const std::string ad = call.Query("availabilityDomain"), instance = call.Query("instanceId"),
                      volume = call.Query("volumeId");
    call.ReplyList(call.cloud.Read([&](sim::CSimDb& db) {
      std::vector<json> list;
      sim::CSimStatement row =
          db.Prepare(std::string(kAttachmentColumns) +
                     " WHERE i.compartment_id = ? AND (? = '' OR i.ad = ?) AND "
                     "(? = '' OR a.instance_id = ?) AND (? = '' OR a.volume_id = ?) ORDER BY a.seq");
      row.BindAll(compartment, ad, ad, instance, instance, volume, volume);
      while (row.Step()) list.push_back(AttachmentJson(db, row));
      return list;
    }));
  });
  server.Post("/20160918/volumeAttachments", [](SApiCall& call) {
    const json body = ModelBody(call, "AttachVolumeDetails");
    const std::string type = StringField(body, "type");
    if (type != sim::kAttachIscsi && type != sim::kAttachParavirtualized)
      throw CApiRefusal(400, "InvalidParameter",
                        "Attachment type [" + type + "] is not offered: use " + sim::kAttachIscsi + " or " +
                            sim::kAttachParavirtualized);
    const sim::SNewAttachment made = sim::CSimAttachments(call.cloud)
                                         .Attach(StringField(body, "volumeId"), StringField(body, "instanceId"), type,
                                                 call.faults.noSlot, call.OperationOr("AttachVolume"));
    call.Reply(LoadAttachmentJson(call.cloud, made.id));
  });
  server.Get(R"(/20160918/volumeAttachments/([^/]+))",
             [](SApiCall& call) { call.Reply(LoadAttachmentJson(call.cloud, call.PathPart(1))); });
  server.Delete(R"(/20160918/volumeAttachments/([^/]+))", [](SApiCall& call) {
    const json attachment = LoadAttachmentJson(call.cloud, call.PathPart(1));
    // Detached is gone for a repeated detach, as the service answers it.
    if (attachment["lifecycleState"] == call.cloud.Words().attachmentDetached)
      throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Volume attachment [" + call.PathPart(1) + "] is detached");
    sim::CSimAttachments(call.cloud)
        .Detach({attachment["volumeId"].get<std::string>()}, attachment["instanceId"].get<std::string>(),
                call.OperationOr("DetachVolume"));
    call.ReplyEmpty();
  });
  // A boot volume is attached to its instance for the instance's life. The attachment has no row of
  // its own: it is named by its instance's id.
  server.Get("/20160918/bootVolumeAttachments", [](SApiCall& call) {
    const std::string ad = call.RequiredQuery("availabilityDomain"), compartment = call.RequiredQuery("compartmentId");
    const std::string instance = call.Query("instanceId"), volume = call.Query("bootVolumeId");
    const sim::SFlavourWords& w = call.cloud.Words();
    call.ReplyList(call.cloud.Read([&](sim::CSimDb& db) {
      std::vector<json> list;
      sim::CSimStatement row = db.Prepare(
          "SELECT id, boot_volume_id, state, created FROM instances WHERE boot_volume_id <> '' AND ad = ? AND "
          "compartment_id = ? AND (? = '' OR id = ?) AND (? = '' OR boot_volume_id = ?) ORDER BY created, rowid");
      row.BindAll(ad, compartment, instance, instance, volume, volume);
      while (row.Step()) {
        const std::string state = row.Text(2);
        list.push_back({{"id", row.Text(0)},
                        {"instanceId", row.Text(0)},
                        {"bootVolumeId", row.Text(1)},
                        {"availabilityDomain", ad},
                        {"compartmentId", compartment},
                        {"lifecycleState", state == w.instanceTerminated    ? w.attachmentDetached
                                           : state == w.instanceTerminating ? "DETACHING"
                                                                            : w.attachmentAttached},
                        {"timeCreated", ApiTime(row.Int(3))}});
      }
      return list;
    }));
  });
}

}  // namespace

void AddBlockStorageRoutes(CApiServer& server) {
  AddVolumeRoutes(server, kBlock);
  AddVolumeRoutes(server, kBoot);
  AddBackupRoutes(server, kBlock);
  AddBackupRoutes(server, kBoot);
  AddAttachmentRoutes(server);
}

}  // namespace cloudsim
