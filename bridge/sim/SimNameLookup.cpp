#include "bridge/sim/SimNameLookup.h"

#include "bridge/sim/SimLifecycle.h"

namespace sim {

std::vector<std::string> FindByName(CSimCloud& cloud, ENamedKind kind, const std::string& name, int64_t createdSince) {
  const SFlavourWords& w = cloud.Words();
  return cloud.Read([&](CSimDb& db) {
    // Only what the proxy made (the cloud records its creator), at or after the given time.
    const char* table = kind == ENamedKind::Instance         ? "instances"
                        : kind == ENamedKind::VolumeSnapshot ? "snapshots"
                        : kind == ENamedKind::Volume         ? "volumes"
                                                             : "images";
    const char* made = kind == ENamedKind::Instance         ? kKindInstance
                       : kind == ENamedKind::VolumeSnapshot ? kKindSnapshot
                       : kind == ENamedKind::Volume         ? kKindVolume
                                                            : kKindImage;
    const char* nameColumn = kind == ENamedKind::Volume ? "display_name" : "name";
    std::string sql = std::string("SELECT r.id FROM ") + table + " r WHERE r." + nameColumn +
                      " = ? AND r.created >= ? AND EXISTS (SELECT 1 FROM created_resources c WHERE c.kind = ? AND "
                      "c.id = r.id)";
    if (kind == ENamedKind::Instance) sql += " AND r.state NOT IN (?, ?)";
    CSimStatement stmt = db.Prepare(sql + " ORDER BY r.rowid");
    if (kind == ENamedKind::Instance) {
      stmt.BindAll(name, createdSince, std::string(made), std::string(w.instanceTerminating),
                   std::string(w.instanceTerminated));
    } else {
      stmt.BindAll(name, createdSince, std::string(made));
    }
    std::vector<std::string> ids;
    while (stmt.Step()) ids.push_back(stmt.Text(0));
    return ids;
  });
}

}  // namespace sim
