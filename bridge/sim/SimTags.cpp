#include "bridge/sim/SimTags.h"

#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"

namespace sim {
namespace {

thread_local const STags* t_createTags = nullptr;

// The live rows of a kind: instances on their way out or gone are not listed.
std::string LiveRows(const std::string& kind, const SFlavourWords& w) {
  if (kind == kKindInstance)
    return std::string("SELECT id, name FROM instances WHERE state NOT IN ('") + w.instanceTerminating + "', '" +
           w.instanceTerminated + "')";
  if (kind == kKindVolume) return "SELECT id, display_name AS name FROM volumes";
  if (kind == kKindSnapshot) return "SELECT id, name FROM snapshots";
  if (kind == kKindImage) return "SELECT id, name FROM images";
  throw CSimRefused("Resources of kind [" + kind + "] carry no tags");
}

}  // namespace

CCreateTagsScope::CCreateTagsScope(const STags* tags) : previous_(t_createTags) { t_createTags = tags; }
CCreateTagsScope::~CCreateTagsScope() { t_createTags = previous_; }

void TagCreated(CSimDb& db, const std::string& kind, const std::string& id) {
  STags tags = t_createTags ? *t_createTags : STags();
  if (!CreateToken().empty()) tags[kRequestTokenTag] = CreateToken();
  for (const auto& [key, value] : tags)
    db.Run("INSERT OR REPLACE INTO freeform_tags(kind, id, key, value) VALUES (?, ?, ?, ?)", kind, id, key, value);
}

std::vector<STaggedResource> CSimTags::Find(const std::string& kind, const std::string& key, const std::string& value) {
  const std::string rows = LiveRows(kind, cloud_.Words());
  const std::string detached = cloud_.Words().attachmentDetached;
  return cloud_.Read([&](CSimDb& db) {
    std::vector<STaggedResource> found;
    CSimStatement select = db.Prepare("SELECT r.id, r.name FROM (" + rows +
                                      ") r JOIN freeform_tags t ON t.kind = ? AND t.id = r.id AND t.key = ? AND "
                                      "t.value = ? ORDER BY t.rowid");
    select.BindAll(kind, key, value);
    while (select.Step()) {
      STaggedResource r;
      r.id = select.Text(0);
      r.name = select.Text(1);
      CSimStatement tags = db.Prepare("SELECT key, value FROM freeform_tags WHERE kind = ? AND id = ?");
      tags.BindAll(kind, r.id);
      while (tags.Step()) r.tags[tags.Text(0)] = tags.Text(1);
      if (kind == kKindVolume) {
        CSimStatement attached =
            db.Prepare("SELECT instance_id, iqn, portal, port FROM attachments WHERE volume_id = ? AND state <> ?");
        attached.BindAll(r.id, detached);
        if (attached.Step())
          r.attachedTo = attached.Text(0), r.iqn = attached.Text(1), r.portal = attached.Text(2),
          r.port = attached.Int(3);
      }
      found.push_back(std::move(r));
    }
    return found;
  });
}

void CSimTags::RemoveTag(const std::string& kind, const std::string& id, const std::string& key) {
  const std::string rows = LiveRows(kind, cloud_.Words());
  cloud_.Write([&](CSimDb& db) {
    if (db.QueryInt("SELECT COUNT(*) FROM (" + rows + ") WHERE id = ?", 0, id) == 0)
      throw CSimRefused("The " + kind + " [" + id + "] does not exist");
    db.Run("DELETE FROM freeform_tags WHERE kind = ? AND id = ? AND key = ?", kind, id, key);
  });
}

void CSimTags::Replace(const std::string& kind, const std::string& id, const STags& tags) {
  const std::string rows = LiveRows(kind, cloud_.Words());
  cloud_.Write([&](CSimDb& db) {
    if (db.QueryInt("SELECT COUNT(*) FROM (" + rows + ") WHERE id = ?", 0, id) == 0)
      throw CSimRefused("The " + kind + " [" + id + "] does not exist");
    db.Run("DELETE FROM freeform_tags WHERE kind = ? AND id = ?", kind, id);
    for (const auto& [key, value] : tags)
      db.Run("INSERT INTO freeform_tags(kind, id, key, value) VALUES (?, ?, ?, ?)", kind, id, key, value);
  });
}

}  // namespace sim
