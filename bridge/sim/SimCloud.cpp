#include "bridge/sim/SimCloud.h"

#include <sys/stat.h>

#include <filesystem>

#include "bridge/sim/SimSchema.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

CSimCloud::CSimCloud(const std::string& cloudDir) : dir_(cloudDir) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  if (!IsDirectory(dir_)) throw CSimError("The simulated cloud path [" + dir_ + "] does not exist");
  std::string dbPath = dir_ + "/" + kDatabaseName;
  if (!IsFile(dbPath)) {
    throw CSimError("[" + dir_ + "] is not a simulated cloud: it holds no " + kDatabaseName);
  }
  try {
    db_ = std::make_unique<CSimDb>(dbPath, false);
  } catch (const CSimError& e) {
    throw CSimError("[" + dir_ + "] is not a simulated cloud: " + e.what());
  }
  std::string flavour;
  try {
    flavour = db_->QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaFlavour);
  } catch (const CSimError&) {
    // No meta table: some other SQLite file.
  }
  auto parsed = ParseFlavour(flavour);
  if (!parsed) throw CSimError("[" + dir_ + "] is not a simulated cloud: its database has no cloud flavour");
  flavour_ = *parsed;
}

void CSimCloud::Create(const std::string& cloudDir, EFlavour flavour) {
  std::string dbPath = cloudDir + "/" + kDatabaseName;
  if (IsFile(dbPath)) throw CSimError("[" + cloudDir + "] already holds a simulated cloud");
  std::error_code ec;
  for (const char* sub : {"volumes", "objects", "iscsi"}) {
    fs::create_directories(cloudDir + "/" + sub, ec);
    if (ec) throw CSimError("Cannot create [" + cloudDir + "/" + sub + "]: " + ec.message());
  }
  CSimDb db(dbPath, true);
  CSimTransaction transaction(db, true);
  CreateSchema(db);
  auto setMeta = [&db](const std::string& key, const std::string& value) {
    db.Run("INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)", key, value);
  };
  setMeta(kMetaFlavour, FlavourName(flavour));
  setMeta(kMetaSlotLimit, std::to_string(flavour == EFlavour::Classic ? kClassicSlotLimit : kDefaultSlotLimit));
  for (const char* kind : {"instance", "volume", "snapshot", "attachment", "image"}) {
    setMeta(std::string(kMetaProvisionPrefix) + kind, "0");
  }
  transaction.Commit();
}

std::string CSimCloud::Meta(const std::string& key, const std::string& fallback) {
  return Read([&](CSimDb& db) { return db.QueryText("SELECT value FROM meta WHERE key = ?", fallback, key); });
}

void CSimCloud::SetMeta(const std::string& key, const std::string& value) {
  Write([&](CSimDb& db) { db.Run("INSERT OR REPLACE INTO meta(key, value) VALUES (?, ?)", key, value); });
}

bool CSimCloud::Ping(std::string& error) {
  if (!IsFile(dir_ + "/" + kDatabaseName)) {
    error = "The simulated cloud at [" + dir_ + "] is not reachable: " + kDatabaseName + " is gone";
    return false;
  }
  try {
    Meta(kMetaFlavour);
    return true;
  } catch (const CSimError& e) {
    error = "The simulated cloud at [" + dir_ + "] is not reachable: " + e.what();
    return false;
  }
}

}  // namespace sim
