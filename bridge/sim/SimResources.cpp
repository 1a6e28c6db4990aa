#include "bridge/sim/SimResources.h"

#include <unistd.h>

#include <cctype>

#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimTags.h"

namespace sim {

namespace {
thread_local std::string t_createToken;
thread_local int64_t t_callerPid = 0;
}  // namespace

void SetCreateToken(const std::string& token) { t_createToken = token; }

const std::string& CreateToken() { return t_createToken; }

void SetCallerPid(int64_t pid) { t_callerPid = pid; }

void RecordCreated(CSimDb& db, const std::string& kind, const std::string& id, const std::string& name,
                   const std::string& op, int64_t now) {
  if (op.empty()) return;
  // A kind and id seen before (a classic name used again) starts a new life.
  db.Run(
      "INSERT OR REPLACE INTO created_resources(kind, id, name, op, pid, created, deleted, deleted_op) "
      "VALUES (?, ?, ?, ?, ?, ?, 0, '')",
      kind, id, name, op, t_callerPid ? t_callerPid : static_cast<int64_t>(::getpid()), now);
  TagCreated(db, kind, id);
}

void RecordDeleted(CSimDb& db, const std::string& kind, const std::string& id, const std::string& op, int64_t now) {
  db.Run("UPDATE created_resources SET deleted = ?, deleted_op = ? WHERE kind = ? AND id = ? AND deleted = 0", now, op,
         kind, id);
}

std::vector<SCreatedResource> ListCreatedResources(CSimDb& db, bool onlyLeft) {
  std::vector<SCreatedResource> list;
  CSimStatement stmt = db.Prepare(std::string("SELECT kind, id, name, op, pid, created, deleted, deleted_op "
                                              "FROM created_resources") +
                                  (onlyLeft ? " WHERE deleted = 0" : "") + " ORDER BY created, rowid");
  while (stmt.Step()) {
    SCreatedResource r;
    r.kind = stmt.Text(0);
    r.id = stmt.Text(1);
    r.name = stmt.Text(2);
    r.op = stmt.Text(3);
    r.pid = stmt.Int(4);
    r.created = stmt.Int(5);
    r.deleted = stmt.Int(6);
    r.deletedOp = stmt.Text(7);
    list.push_back(std::move(r));
  }
  return list;
}

std::string CIdMaker::RegionOfAd(const std::string& ad) {
  std::string region = db_.QueryText("SELECT region FROM availability_domains WHERE name = ?", "", ad);
  return region.empty() ? db_.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaDefaultRegion) : region;
}

std::string CIdMaker::RegionCode(const std::string& region) {
  std::string code = db_.QueryText("SELECT key FROM regions WHERE name = ?", "", region);
  for (char& c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return code;
}

std::string CIdMaker::ClassicPath(const std::string& name) {
  return "/Compute-" + db_.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaClassicDomain) + "/" +
         db_.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaClassicUser) + "/" + name;
}

std::string CIdMaker::Ocid(const char* kind, const std::string& ad) {
  return NewOcid(kind, RegionCode(RegionOfAd(ad)));
}

std::string CIdMaker::Unique(const char* table, const std::string& id) {
  std::string candidate = id;
  while (db_.QueryInt(std::string("SELECT COUNT(*) FROM ") + table + " WHERE id = ?", 0, candidate) != 0) {
    candidate = id + "_" + RandomToken(6);
  }
  return candidate;
}

std::string CIdMaker::Volume(const std::string& name, const std::string& ad, bool boot) {
  return classic_ ? Unique("volumes", ClassicPath(name)) : Ocid(boot ? "bootvolume" : "volume", ad);
}

std::string CIdMaker::Snapshot(const std::string& volumeId, const std::string& name, const std::string& ad, bool boot) {
  return classic_ ? Unique("snapshots", volumeId + "/" + name) : Ocid(boot ? "bootvolumebackup" : "volumebackup", ad);
}

std::string CIdMaker::Instance(const std::string& ad) { return classic_ ? NewUuid() : Ocid("instance", ad); }

std::string CIdMaker::InstanceUri(const std::string& name, const std::string& id) {
  return classic_ ? ClassicPath(name + "/" + id) : id;
}

std::string CIdMaker::Attachment(const std::string& instanceUri, const std::string& ad) {
  return classic_ ? instanceUri + "/" + NewUuid() : Ocid("volumeattachment", ad);
}

std::string CIdMaker::Vnic(const std::string& instanceUri, const std::string& ad) {
  return classic_ ? Unique("vnics", instanceUri + "/eth0") : Ocid("vnic", ad);
}

std::string CIdMaker::Image(const std::string& name, const std::string& region) {
  return classic_ ? Unique("images", ClassicPath(name)) : NewOcid("image", RegionCode(region));
}

}  // namespace sim
