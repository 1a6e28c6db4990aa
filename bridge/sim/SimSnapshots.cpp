#include "bridge/sim/SimSnapshots.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimVolumeStore.h"
#include "bridge/sim/VolumeFiles.h"
#include "host/ErrnoText.h"
#include "host/HostClock.h"

namespace sim {

namespace {

struct SSnapshotRow {
  std::string id, volumeId, name, state, file, ad, compartmentId;
  uint64_t size = 0;
  bool boot = false;
};

SSnapshotRow LoadSnapshot(CSimDb& db, const std::string& id) {
  CSimStatement stmt = db.Prepare(
      "SELECT s.id, s.volume_id, s.name, s.state, s.file, s.size_bytes, "
      "COALESCE(NULLIF(s.ad, ''), v.ad, ''), COALESCE(NULLIF(s.compartment_id, ''), v.compartment_id, ''), s.is_boot "
      "FROM snapshots s LEFT JOIN volumes v ON v.id = s.volume_id WHERE s.id = ?");
  stmt.BindAll(id);
  if (!stmt.Step()) throw CSimRefused("Snapshot with id [" + id + "] was not found");
  SSnapshotRow row;
  row.id = stmt.Text(0);
  row.volumeId = stmt.Text(1);
  row.name = stmt.Text(2);
  row.state = stmt.Text(3);
  row.file = stmt.Text(4);
  row.size = static_cast<uint64_t>(stmt.Int(5));
  row.ad = stmt.Text(6);
  row.compartmentId = stmt.Text(7);
  row.boot = stmt.Int(8) != 0;
  return row;
}

}  // namespace

std::string InsertSnapshot(CSimCloud& cloud, CSimDb& db, CNewFiles& files, const SNewSnapshot& s, int64_t now) {
  const SFlavourWords& w = cloud.Words();
  SVolumeRow volume = LoadVolume(db, s.volumeId);
  if (volume.state != w.volumeAvailable) {
    throw CSimRefused("Volume [" + volume.id + "] is not available: it is " + volume.state);
  }
  std::string name = s.name.empty() ? volume.name + "-snapshot-" + std::to_string(s.created) : s.name;
  std::string id = CIdMaker(db, cloud.Flavour()).Snapshot(volume.id, name, volume.ad, volume.boot);
  std::string file = SafeFileName(id, ".snap");
  std::string path = files.Add(file);
  if (s.faulty) {
    CreateSparseFile(path, volume.size);
  } else {
    CopySparseFile(cloud.VolumeFilePath(volume.file), path);
  }
  int64_t seconds = s.provisioned ? ProvisionSeconds(db, kKindSnapshot) : 0;
  const char* state = seconds > 0 ? w.snapshotProvisioning : (s.faulty ? w.snapshotFaulty : w.snapshotAvailable);
  db.Run(
      "INSERT INTO snapshots(id, volume_id, name, ad, compartment_id, description, state, size_bytes, is_boot, file, "
      "fault, created, ready_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      id, volume.id, name, volume.ad, volume.compartmentId, s.description, state, static_cast<int64_t>(volume.size),
      volume.boot, file, s.faulty, s.created, now + seconds);
  return id;
}

std::string CSimSnapshots::Create(const std::string& volumeId, const std::string& description, const std::string& name,
                                  bool faulty, const std::string& op) {
  int64_t now = HostClock::Now();
  CNewFiles files(cloud_);
  std::string id = cloud_.Write([&](CSimDb& db) {
    SNewSnapshot snapshot{volumeId, name, description, now, faulty, true};
    std::string made = InsertSnapshot(cloud_, db, files, snapshot, now);
    RecordCreated(db, kKindSnapshot, made, db.QueryText("SELECT name FROM snapshots WHERE id = ?", "", made), op, now);
    return made;
  });
  files.Keep();
  return id;
}

std::string CSimSnapshots::State(const std::string& snapshotId) {
  return cloud_.Read([&](CSimDb& db) { return LoadSnapshot(db, snapshotId).state; });
}

bool CSimSnapshots::Exists(const std::string& snapshotId) {
  return cloud_.Read(
      [&](CSimDb& db) { return db.QueryInt("SELECT count(*) FROM snapshots WHERE id = ?", 0, snapshotId) > 0; });
}

void CSimSnapshots::Delete(const std::string& snapshotId, const std::string& op) {
  int64_t now = HostClock::Now();
  std::string file = cloud_.Write([&](CSimDb& db) {
    SSnapshotRow row = LoadSnapshot(db, snapshotId);
    db.Run("DELETE FROM snapshots WHERE id = ?", row.id);
    RecordDeleted(db, kKindSnapshot, row.id, op, now);
    return row.file;
  });
  RemoveVolumeFiles(cloud_, {file});
}

std::string CSimSnapshots::CreateVolume(const std::string& snapshotId, const std::string& name, bool faulty,
                                        const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  int64_t now = HostClock::Now();
  CNewFiles files(cloud_);
  SNewVolume volume;
  std::string source;
  cloud_.Write([&](CSimDb& db) {
    SSnapshotRow snapshot = LoadSnapshot(db, snapshotId);
    if (snapshot.state != w.snapshotAvailable) {
      throw CSimRefused("Snapshot [" + snapshot.id + "] is not available: it is " + snapshot.state);
    }
    volume.name = name.empty() ? snapshot.name + "-volume" : name;
    volume.boot = snapshot.boot;
    volume.id = CIdMaker(db, cloud_.Flavour()).Volume(volume.name, snapshot.ad, volume.boot);
    volume.file = SafeFileName(volume.id, ".img");
    volume.compartmentId = snapshot.compartmentId;
    volume.ad = snapshot.ad;
    volume.size = snapshot.size;
    volume.sourceSnapshotId = snapshot.id;
    volume.faulty = faulty;
    volume.copying = !faulty;
    CreateSparseFile(files.Add(volume.file), volume.size);
    if (volume.copying) {
      // The snapshot's bytes are copied once the row is committed; the link keeps them should the
      // snapshot be deleted meanwhile (its file is never written).
      source = files.Add(CopySourceFile(volume.file));
      if (::link(cloud_.VolumeFilePath(snapshot.file).c_str(), source.c_str()) != 0) {
        throw CSimError("Cannot link [" + snapshot.file + "]: " + ErrnoText(errno));
      }
    }
    InsertVolume(db, w, volume, now, op);
  });
  files.Keep();
  if (!volume.copying) return volume.id;
  // Outside the transaction: the volume stays provisioning (never available) until its bytes are
  // all there, and one whose copy never ends (a crash) is the job's to remove like any it made.
  try {
    CloneSparseFile(source, cloud_.VolumeFilePath(volume.file));
  } catch (const CSimError&) {
    cloud_.Write([&](CSimDb& db) {
      db.Run("UPDATE volumes SET state = ?, fault = 1, ready_at = ? WHERE id = ?", w.volumeFaulty, now, volume.id);
    });
    ::unlink(source.c_str());
    throw;
  }
  SimKillPoint("volume-copied");
  cloud_.Write([&](CSimDb& db) { FinishVolumeCopy(db, w, volume, HostClock::Now()); });
  ::unlink(source.c_str());
  return volume.id;
}

void CSimSnapshots::SetState(const std::string& snapshotId, const std::string& state) {
  const SFlavourWords& w = cloud_.Words();
  if (state != w.snapshotAvailable && state != w.snapshotFaulty) {
    throw CSimRefused("Snapshot state [" + state + "] cannot be set: use " + w.snapshotAvailable + " or " +
                      w.snapshotFaulty);
  }
  int64_t now = HostClock::Now();
  cloud_.Write([&](CSimDb& db) {
    SSnapshotRow row = LoadSnapshot(db, snapshotId);
    db.Run("UPDATE snapshots SET state = ?, fault = ?, ready_at = ? WHERE id = ?", state, state == w.snapshotFaulty,
           now, row.id);
  });
}

std::string CSimSnapshots::VolumeState(const std::string& volumeId) {
  return cloud_.Read([&](CSimDb& db) { return LoadVolume(db, volumeId).state; });
}

std::string CSimSnapshots::Add(const std::string& volumeId, const std::string& description, int64_t created,
                               const std::string& name) {
  int64_t now = HostClock::Now();
  CNewFiles files(cloud_);
  std::string id = cloud_.Write([&](CSimDb& db) {
    return InsertSnapshot(cloud_, db, files, SNewSnapshot{volumeId, name, description, created, false, false}, now);
  });
  files.Keep();
  return id;
}

}  // namespace sim
