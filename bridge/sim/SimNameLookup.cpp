#include "bridge/sim/SimNameLookup.h"

namespace sim {

std::vector<std::string> FindByName(CSimCloud& cloud, ENamedKind kind, const std::string& name) {
  const SFlavourWords& w = cloud.Words();
  return cloud.Read([&](CSimDb& db) {
    std::vector<std::string> ids;
    auto collect = [&ids](CSimStatement& stmt) {
      while (stmt.Step()) ids.push_back(stmt.Text(0));
    };
    if (kind == ENamedKind::Instance) {
      CSimStatement stmt = db.Prepare("SELECT id FROM instances WHERE name = ? AND state NOT IN (?, ?) ORDER BY rowid");
      stmt.BindAll(name, std::string(w.instanceTerminating), std::string(w.instanceTerminated));
      collect(stmt);
      return ids;
    }
    const char* sql = kind == ENamedKind::VolumeSnapshot ? "SELECT id FROM snapshots WHERE name = ? ORDER BY rowid"
                      : kind == ENamedKind::Volume       ? "SELECT id FROM volumes WHERE display_name = ? ORDER BY rowid"
                                                         : "SELECT id FROM images WHERE name = ? ORDER BY rowid";
    CSimStatement stmt = db.Prepare(sql);
    stmt.BindAll(name);
    collect(stmt);
    return ids;
  });
}

}  // namespace sim
