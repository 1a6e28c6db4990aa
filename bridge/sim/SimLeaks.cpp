#include "bridge/sim/SimLeaks.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimLoopDevices.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimSandboxPaths.h"

namespace sim {

namespace {

// Entries of a folder, sorted; a missing folder has none.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string LinkTarget(const std::string& path) {
  std::error_code ec;
  std::filesystem::path target = std::filesystem::read_symlink(path, ec);
  return ec ? std::string() : target.string();
}

// The ids of the kept instances and of what belongs to them.
std::set<std::string> KeptIds(CSimDb& db, const SFlavourWords& w, const std::vector<std::string>& keep) {
  std::set<std::string> kept;
  for (const std::string& name : keep) {
    CSimStatement instances =
        db.Prepare("SELECT id, boot_volume_id FROM instances WHERE name = ? AND state NOT IN (?, ?)");
    instances.BindAll(name, w.instanceTerminating, w.instanceTerminated);
    bool found = false;
    while (instances.Step()) {
      found = true;
      const std::string id = instances.Text(0);
      kept.insert({id, instances.Text(1)});
      CSimStatement attached = db.Prepare("SELECT id, volume_id FROM attachments WHERE instance_id = ? AND state <> ?");
      attached.BindAll(id, w.attachmentDetached);
      while (attached.Step()) kept.insert({attached.Text(0), attached.Text(1)});
    }
    if (!found) throw CSimRefused("No instance named [" + name + "] is there to keep");
  }
  // The snapshots of a kept volume (a replication's integrity snapshots) go with it.
  std::vector<std::string> snapshots;
  for (const std::string& id : kept) {
    CSimStatement stmt = db.Prepare("SELECT id FROM snapshots WHERE volume_id = ?");
    stmt.BindAll(id);
    while (stmt.Step()) snapshots.push_back(stmt.Text(0));
  }
  kept.insert(snapshots.begin(), snapshots.end());
  return kept;
}

}  // namespace

std::vector<SLeak> ListLeaks(CSimCloud& cloud, const std::vector<std::string>& keep) {
  const SFlavourWords& w = cloud.Words();
  Settle(cloud);
  const std::string proxyId = ProxyInstanceId(cloud);
  std::vector<SLeak> leaks = cloud.Read([&](CSimDb& db) {
    const std::set<std::string> kept = KeptIds(db, w, keep);
    // A resource is a job's when the bridge recorded making it.
    const std::string made = "EXISTS (SELECT 1 FROM created_resources c WHERE c.kind = ? AND c.id = ";
    const std::string sql =
        "SELECT 'instance', i.id, i.name FROM instances i WHERE i.state NOT IN (?, ?) AND " + made +
        "i.id) "
        "UNION ALL SELECT 'volume', v.id, v.display_name FROM volumes v WHERE " +
        made +
        "v.id) "
        "UNION ALL SELECT 'snapshot', s.id, s.name FROM snapshots s WHERE " +
        made +
        "s.id) "
        "UNION ALL SELECT 'attachment', a.id, COALESCE(v.display_name, a.volume_id) FROM attachments a "
        "  LEFT JOIN volumes v ON v.id = a.volume_id WHERE a.state <> ? AND (a.instance_id = ? OR " +
        made + "a.id) OR " + made +
        "a.volume_id)) "
        "UNION ALL SELECT 'image', m.id, m.name FROM images m WHERE " +
        made +
        "m.id) "
        "UNION ALL SELECT 'object', o.bucket || '/' || o.name, o.name FROM objects o WHERE " +
        made + "o.bucket || '/' || o.name)";
    CSimStatement stmt = db.Prepare(sql);
    stmt.BindAll(w.instanceTerminating, w.instanceTerminated, kKindInstance, kKindVolume, kKindSnapshot,
                 w.attachmentDetached, proxyId, kKindAttachment, kKindVolume, kKindImage, kKindObject);
    std::vector<SLeak> rows;
    while (stmt.Step()) {
      if (!kept.count(stmt.Text(1))) rows.push_back({stmt.Text(0), stmt.Text(1), stmt.Text(2)});
    }
    return rows;
  });
  const std::string devices = DeviceDirOf(cloud);
  for (const std::string& entry : Entries(devices))
    leaks.push_back({"device", entry, LinkTarget(devices + "/" + entry)});
  for (const SBoundLoop& loop : LoopDevicesUnder(std::filesystem::path(cloud.Dir()).parent_path().string()))
    leaks.push_back({"loop", loop.device, loop.file});
  for (const std::string& entry : Entries(IscsiNodesDir(cloud))) leaks.push_back({"iscsi-node", entry, ""});
  for (const std::string& entry : Entries(IscsiCutSessionsDir(cloud))) {
    leaks.push_back({"cut-session", entry, "detached while logged in"});
  }
  return leaks;
}

}  // namespace sim
