#include "bridge/sim/SimNameLookup.h"

#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimTags.h"

namespace sim {

namespace {
// Resources of `kind` that jobs made at or after `createdSince` and that `condition` (on the
// resource r and the cloud's record of its create c, with one parameter) matches with `value`.
std::vector<std::string> FindMade(CSimCloud& cloud, ENamedKind kind, const std::string& condition,
                                  const std::string& value, int64_t createdSince) {
  const SFlavourWords& w = cloud.Words();
  return cloud.Read([&](CSimDb& db) {
    // Only what the proxy made (the cloud records its creator).
    const char* table = kind == ENamedKind::Instance         ? "instances"
                        : kind == ENamedKind::VolumeSnapshot ? "snapshots"
                        : kind == ENamedKind::Volume         ? "volumes"
                                                             : "images";
    const char* made = kind == ENamedKind::Instance         ? kKindInstance
                       : kind == ENamedKind::VolumeSnapshot ? kKindSnapshot
                       : kind == ENamedKind::Volume         ? kKindVolume
                                                            : kKindImage;
    std::string sql = std::string("SELECT r.id FROM ") + table +
                      " r JOIN created_resources c ON c.kind = ? AND c.id = r.id WHERE " + condition +
                      " AND r.created >= ?";
    if (kind == ENamedKind::Instance) sql += " AND r.state NOT IN (?, ?)";
    CSimStatement stmt = db.Prepare(sql + " ORDER BY r.rowid");
    if (kind == ENamedKind::Instance) {
      stmt.BindAll(std::string(made), value, createdSince, std::string(w.instanceTerminating),
                   std::string(w.instanceTerminated));
    } else {
      stmt.BindAll(std::string(made), value, createdSince);
    }
    std::vector<std::string> ids;
    while (stmt.Step()) ids.push_back(stmt.Text(0));
    return ids;
  });
}
}  // namespace

std::vector<std::string> FindByName(CSimCloud& cloud, ENamedKind kind, const std::string& name, int64_t createdSince) {
  return FindMade(cloud, kind, kind == ENamedKind::Volume ? "r.display_name = ?" : "r.name = ?", name, createdSince);
}

std::vector<std::string> FindByToken(CSimCloud& cloud, ENamedKind kind, const std::string& token) {
  if (token.empty()) return {};
  return FindMade(
      cloud, kind,
      std::string("EXISTS (SELECT 1 FROM freeform_tags t WHERE t.kind = c.kind AND t.id = r.id AND t.key = '") +
          kRequestTokenTag + "' AND t.value = ?)",
      token, 0);
}

}  // namespace sim
