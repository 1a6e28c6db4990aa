#include "bridge/sim/SimVolumeStore.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <limits>
#include <utility>

#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"

namespace sim {

CNewFiles::~CNewFiles() { RemoveVolumeFiles(cloud_, files_); }

std::string CNewFiles::Add(const std::string& file) {
  files_.push_back(file);
  return cloud_.VolumeFilePath(file);
}

void SimKillPoint(const char* step) {
  const char* at = std::getenv("OCI_SIM_KILL_AT");
  if (at && std::strcmp(at, step) == 0) ::raise(SIGKILL);
}

std::string CopySourceFile(const std::string& file) { return file + ".source"; }

void RemoveVolumeFiles(CSimCloud& cloud, const std::vector<std::string>& files) {
  for (const std::string& file : files) {
    if (file.empty()) continue;
    ::unlink(cloud.VolumeFilePath(file).c_str());
    ::unlink(cloud.VolumeFilePath(CopySourceFile(file)).c_str());
  }
}

namespace {

// The state and readiness time of a volume whose bytes are there at `now`.
std::pair<const char*, int64_t> ReadyState(CSimDb& db, const SFlavourWords& words, const SNewVolume& v, int64_t now) {
  int64_t seconds = v.provisioned ? ProvisionSeconds(db, kKindVolume) : 0;
  return {seconds > 0 ? words.volumeProvisioning : (v.faulty ? words.volumeFaulty : words.volumeAvailable),
          now + seconds};
}

}  // namespace

void FinishVolumeCopy(CSimDb& db, const SFlavourWords& words, const SNewVolume& v, int64_t now) {
  auto [state, readyAt] = ReadyState(db, words, v, now);
  db.Run("UPDATE volumes SET state = ?, ready_at = ? WHERE id = ? AND state = ?", state, readyAt, v.id,
         words.volumeProvisioning);
}

void InsertVolume(CSimDb& db, const SFlavourWords& words, const SNewVolume& v, int64_t now, const std::string& op) {
  auto [state, readyAt] = ReadyState(db, words, v, now);
  // Never ready by itself while its bytes are copied.
  if (v.copying) state = words.volumeProvisioning, readyAt = std::numeric_limits<int64_t>::max();
  db.Run(
      "INSERT INTO volumes(id, display_name, compartment_id, ad, size_bytes, state, description, is_boot, bootable, "
      "image_id, source_snapshot_id, file, fault, created, ready_at) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      v.id, v.name, v.compartmentId, v.ad, static_cast<int64_t>(v.size), state, v.description, v.boot, v.boot,
      v.imageId, v.sourceSnapshotId, v.file, v.faulty, now, readyAt);
  RecordCreated(db, kKindVolume, v.id, v.name, op, now);
}

SVolumeRow LoadVolume(CSimDb& db, const std::string& id) {
  CSimStatement stmt = db.Prepare(
      "SELECT id, display_name, compartment_id, ad, state, file, description, size_bytes, is_boot FROM volumes "
      "WHERE id = ?");
  stmt.BindAll(id);
  if (!stmt.Step()) throw CSimRefused("Volume with id [" + id + "] was not found");
  SVolumeRow row;
  row.id = stmt.Text(0);
  row.name = stmt.Text(1);
  row.compartmentId = stmt.Text(2);
  row.ad = stmt.Text(3);
  row.state = stmt.Text(4);
  row.file = stmt.Text(5);
  row.description = stmt.Text(6);
  row.size = static_cast<uint64_t>(stmt.Int(7));
  row.boot = stmt.Int(8) != 0;
  return row;
}

std::string AttachedInstanceOf(CSimDb& db, const SFlavourWords& words, const std::string& volumeId) {
  return db.QueryText("SELECT instance_id FROM attachments WHERE volume_id = ? AND state <> ? LIMIT 1", "", volumeId,
                      words.attachmentDetached);
}

std::string BootInstanceOf(CSimDb& db, const SFlavourWords& words, const std::string& volumeId) {
  return db.QueryText("SELECT id FROM instances WHERE boot_volume_id = ? AND state <> ? LIMIT 1", "", volumeId,
                      words.instanceTerminated);
}

SBytesFile BytesFileOf(CSimCloud& cloud, const std::string& id) {
  return cloud.Read([&](CSimDb& db) {
    CSimStatement stmt = db.Prepare(
        "SELECT file, size_bytes FROM volumes WHERE id = ? UNION ALL SELECT file, size_bytes FROM snapshots WHERE id = "
        "?");
    stmt.BindAll(id, id);
    if (!stmt.Step()) throw CSimRefused("No volume or snapshot has the id [" + id + "]");
    return SBytesFile{cloud.VolumeFilePath(stmt.Text(0)), static_cast<uint64_t>(stmt.Int(1))};
  });
}

}  // namespace sim
