// TEMPORARY, to be dropped when the block storage, compute and image routes are merged: the lists and
// tag updates the bridge's lookups call (volumes, boot volumes, their backups, images, instances,
// volume attachments; GET and PUT of one of them for its freeformTags), read straight from the
// simulator's tables.
#include "ApiServer.h"
#include "ApiTimes.h"

namespace cloudsim {
namespace {

struct SCollection {
  const char* path;  // under /20160918/
  const char* kind;  // of freeform_tags
  const char* select;  // id, displayName, compartmentId, lifecycleState, created; WHERE follows
};

const SCollection kCollections[] = {
    {"volumes", "volume", "SELECT id, display_name, compartment_id, state, created FROM volumes WHERE is_boot = 0"},
    {"bootVolumes", "volume", "SELECT id, display_name, compartment_id, state, created FROM volumes WHERE is_boot = 1"},
    {"volumeBackups", "snapshot", "SELECT id, name, compartment_id, state, created FROM snapshots WHERE is_boot = 0"},
    {"bootVolumeBackups", "snapshot", "SELECT id, name, compartment_id, state, created FROM snapshots WHERE is_boot = 1"},
    {"images", "image", "SELECT id, name, compartment_id, state, created FROM images WHERE 1"},
    {"instances", "instance", "SELECT id, name, compartment_id, state, created FROM instances WHERE 1"},
};

json Resource(sim::CSimDb& db, const SCollection& c, sim::CSimStatement& row) {
  json tags = json::object();
  sim::CSimStatement t = db.Prepare("SELECT key, value FROM freeform_tags WHERE kind = ? AND id = ?");
  t.BindAll(std::string(c.kind), row.Text(0));
  while (t.Step()) tags[t.Text(0)] = t.Text(1);
  return {{"id", row.Text(0)}, {"displayName", row.Text(1)}, {"compartmentId", row.Text(2)},
          {"lifecycleState", row.Text(3)}, {"timeCreated", ApiTime(row.Int(4))}, {"freeformTags", tags},
          {"definedTags", json::object()}};
}

json One(SApiCall& call, const SCollection& c, const std::string& id) {
  json found = call.cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(std::string(c.select) + " AND id = ?");
    row.Bind(1, id);
    return row.Step() ? Resource(db, c, row) : json();
  });
  if (found.is_null()) throw CApiRefusal(404, "NotAuthorizedOrNotFound", std::string(c.path) + " [" + id + "] was not found");
  return found;
}

}  // namespace

void AddLookupTemporaryRoutes(CApiServer& server) {
  for (const SCollection& c : kCollections) {
    server.Get(std::string("/20160918/") + c.path, [&c](SApiCall& call) {
      const std::string compartment = call.RequiredQuery("compartmentId");
      const std::string name = call.Query("displayName");
      std::vector<json> list = call.cloud.Read([&](sim::CSimDb& db) {
        std::vector<json> items;
        const bool images = std::string(c.path) == "images";
        sim::CSimStatement row = db.Prepare(std::string(c.select) + " AND (compartment_id = ?" +
                                            (images ? " OR compartment_id = '')" : ")") + " ORDER BY rowid");
        row.Bind(1, compartment);
        while (row.Step())
          if (name.empty() || row.Text(1) == name) items.push_back(Resource(db, c, row));
        return items;
      });
      call.ReplyList(list);
    });
    server.Get(std::string("/20160918/") + c.path + "/([^/]+)", [&c](SApiCall& call) {
      call.Reply(One(call, c, call.PathPart(1)));
    });
    server.Put(std::string("/20160918/") + c.path + "/([^/]+)", [&c](SApiCall& call) {
      const std::string id = call.PathPart(1);
      const json body = call.Body({}, {"freeformTags", "definedTags", "displayName"});
      One(call, c, id);
      if (body.contains("freeformTags")) {
        call.cloud.Write([&](sim::CSimDb& db) {
          db.Run("DELETE FROM freeform_tags WHERE kind = ? AND id = ?", std::string(c.kind), id);
          for (const auto& [key, value] : body["freeformTags"].items())
            db.Run("INSERT INTO freeform_tags(kind, id, key, value) VALUES (?, ?, ?, ?)", std::string(c.kind), id, key,
                   value.get<std::string>());
        });
      }
      call.Reply(One(call, c, id));
    });
  }
  server.Get("/20160918/volumeAttachments", [](SApiCall& call) {
    const std::string compartment = call.RequiredQuery("compartmentId");
    std::vector<json> list = call.cloud.Read([&](sim::CSimDb& db) {
      std::vector<json> items;
      sim::CSimStatement row = db.Prepare(
          "SELECT a.id, a.instance_id, a.volume_id, a.state, a.iqn, a.portal, a.port, a.created, a.type FROM attachments a "
          "JOIN instances i ON i.id = a.instance_id WHERE i.compartment_id = ? ORDER BY a.seq");
      row.Bind(1, compartment);
      while (row.Step())
        items.push_back({{"id", row.Text(0)}, {"instanceId", row.Text(1)}, {"volumeId", row.Text(2)},
                         {"lifecycleState", row.Text(3)}, {"attachmentType", row.Text(8)}, {"iqn", row.Text(4)},
                         {"ipv4", row.Text(5)}, {"port", row.Int(6)}, {"compartmentId", compartment},
                         {"timeCreated", ApiTime(row.Int(7))}});
      return items;
    });
    call.ReplyList(list);
  });
}

}  // namespace cloudsim
