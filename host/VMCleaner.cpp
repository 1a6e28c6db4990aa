#include "host/VMCleaner.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/CFileLock.h"
#include "host/CWqDirectory.h"
#include "host/CleanerHandle.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"
#include "host/RegistrySession.h"
#include "host/SqliteDb.h"

namespace {

constexpr const char* kSchemaVersion = "1";

const char* kSchema = R"SQL(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE entities(
  id INTEGER PRIMARY KEY,
  mode INTEGER NOT NULL,
  parent INTEGER NOT NULL,              -- 0 for a root
  type INTEGER NOT NULL,
  name BLOB NOT NULL,                   -- the key, byte for byte
  owner TEXT,                           -- root: key of the owning session; NULL once unregistered
  unregistered INTEGER NOT NULL DEFAULT 0,
  created INTEGER NOT NULL,
  UNIQUE(mode, parent, type, name));
CREATE INDEX entities_children ON entities(parent, type, id);
)SQL";

EvDebug& Log() {
  static EvDebug* log = new EvDebug("registry");
  return *log;
}

string SessionDirectory(const string& registryDirectory) { return FXPath::Append(registryDirectory, "sessions"); }

// Checks the schema of an opened registry database; creates it in an empty one.
bool PrepareSchema(CSqliteDb& db, bool allowCreate, string& error) {
  if (db.QueryInt("SELECT count(*) FROM sqlite_master", 0) == 0) {
    if (!allowCreate) {
      error = "empty database";
      return false;
    }
    db.EnableDurableWrites();
    CSqliteTransaction tx(db);
    if (db.QueryInt("SELECT count(*) FROM sqlite_master", 0) == 0) {
      db.Exec(kSchema);
      db.Prepare("INSERT INTO meta(key, value) VALUES('schema_version', ?)").BindAll(string(kSchemaVersion)).Run();
    }
    tx.Commit();
  }
  if (db.QueryInt("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='meta'", 0) == 0) {
    error = "not a registry database (no version recorded)";
    return false;
  }
  string version = db.QueryText("SELECT value FROM meta WHERE key='schema_version'", "");
  if (version != kSchemaVersion) {
    error = "unknown registry schema version [" + version + "]";
    return false;
  }
  if (allowCreate) db.EnableDurableWrites();
  return true;
}

// Answers whether sessions are alive, asking each session once.
class CLivenessCache {
 public:
  explicit CLivenessCache(string directory) : directory_(std::move(directory)) {}
  bool IsOrphan(bool ownerIsNull, const string& owner) {
    if (ownerIsNull) return true;
    auto it = alive_.find(owner);
    if (it == alive_.end()) it = alive_.emplace(owner, CRegistrySession::IsAlive(directory_, owner)).first;
    return !it->second;
  }

 private:
  string directory_;
  std::map<string, bool> alive_;
};

string CanonicalPath(const CleanerHandle::SParsed& parsed) {
  string path = CleanerHandle::Root(parsed.mode, parsed.chain[0].type, parsed.chain[0].name);
  for (size_t i = 1; i < parsed.chain.size(); ++i)
    path = CleanerHandle::Child(path, parsed.chain[i].type, parsed.chain[i].name);
  return path;
}

// The id of the entity a parsed handle names; 0 when it is not registered.
int64_t Resolve(CSqliteDb& db, const CleanerHandle::SParsed& parsed) {
  int64_t id = 0;
  CSqliteStatement find =
      db.Prepare("SELECT id FROM entities WHERE mode=? AND parent=? AND type=? AND name=?");
  for (const auto& segment : parsed.chain) {
    find.Reset();
    find.Bind(1, static_cast<int64_t>(parsed.mode)).Bind(2, id).Bind(3, static_cast<int64_t>(segment.type));
    find.BindBlob(4, segment.name);
    if (!find.Step()) return 0;
    id = find.Int(0);
  }
  return id;
}

int64_t ChildCount(CSqliteDb& db, int64_t id) {
  return db.QueryInt("SELECT count(*) FROM entities WHERE parent=?", 0, id);
}

void DeleteTree(CSqliteDb& db, int64_t id) {
  std::vector<int64_t> children;
  CSqliteStatement list = db.Prepare("SELECT id FROM entities WHERE parent=?");
  list.Bind(1, id);
  while (list.Step()) children.push_back(list.Int(0));
  for (int64_t child : children) DeleteTree(db, child);
  db.Prepare("DELETE FROM entities WHERE id=?").Bind(1, id).Run();
}

// Removes one entity inside the caller's transaction, keeping it (as an orphan) while children
// remain, and removing an already unregistered parent whose last child this was.
void Unregister(CSqliteDb& db, int64_t id, bool force) {
  int64_t parent = db.QueryInt("SELECT parent FROM entities WHERE id=?", 0, id);
  if (!force && ChildCount(db, id) > 0) {
    db.Prepare("UPDATE entities SET unregistered=1, owner=NULL WHERE id=?").Bind(1, id).Run();
    return;
  }
  DeleteTree(db, id);
  while (parent != 0) {
    if (db.QueryInt("SELECT unregistered FROM entities WHERE id=?", 0, parent) == 0 || ChildCount(db, parent) > 0)
      break;
    int64_t grandParent = db.QueryInt("SELECT parent FROM entities WHERE id=?", 0, parent);
    db.Prepare("DELETE FROM entities WHERE id=?").Bind(1, parent).Run();
    parent = grandParent;
  }
}

void ListChildren(CSqliteDb& db, int64_t id, const string& path, int64_t type, std::vector<CleanerEntity>& out) {
  CSqliteStatement list = db.Prepare(type == 0 ? "SELECT type, name FROM entities WHERE parent=? ORDER BY id"
                                               : "SELECT type, name FROM entities WHERE parent=? AND type=? ORDER BY id");
  list.Bind(1, id);
  if (type != 0) list.Bind(2, type);
  while (list.Step()) {
    CleanerEntity entity;
    entity.type = static_cast<VM_Cleaner_EntityType>(list.Int(0));
    entity.name = list.Text(1);
    entity.path = CleanerHandle::Child(path, entity.type, entity.name);
    out.push_back(std::move(entity));
  }
}

// The lock file that serialises root claims with sweeps: beside the registry database.
string ClaimsLockPath(const string& databasePath) { return databasePath + ".claims.lock"; }

// The owner of the root row `name`, when it has one: an unregistered root whose owner is set is
// one a clean-up took over (Unregister clears the owner otherwise).
bool RootOwner(CSqliteDb& db, VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const string& name, string& owner) {
  CSqliteStatement find =
      db.Prepare("SELECT owner FROM entities WHERE mode=? AND parent=0 AND type=? AND name=? AND owner IS NOT NULL");
  find.Bind(1, static_cast<int64_t>(mode)).Bind(2, static_cast<int64_t>(type)).BindBlob(3, name);
  if (!find.Step()) return false;
  owner = find.Text(0);
  return true;
}

// True when the registered root is owned by a live session other than `ownKey`.
bool RootHeldByAnother(CSqliteDb& db, VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const string& name,
                       const string& ownKey, const string& sessionDirectory) {
  string owner;
  return RootOwner(db, mode, type, name, owner) && owner != ownKey &&
         CRegistrySession::IsAlive(sessionDirectory, owner);
}

}  // namespace

VMCleaner::VMCleaner() = default;

VMCleaner::~VMCleaner() { DeInit(); }

bool VMCleaner::IsInitialized() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr;
}

string VMCleaner::DatabasePathFor(const string& registryDirectory, const string& identity) {
  return FXPath::Append(registryDirectory, "registry_" + CleanerHandle::EncodeName(identity) + ".db");
}

bool VMCleaner::Init(const string& localVmGuid, UINT64 reserved) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ && identity_ == localVmGuid) return true;
  session_.reset();
  db_.reset();
  string directory = HostEnvironment::UnderHome("registry");
  string path = DatabasePathFor(directory, localVmGuid);
  if (!CWqDirectory::Create(directory)) {
    EVERROR(Log(), "Cannot create the registry folder [%s]", directory.c_str());
    return false;
  }
  try {
    auto db = std::make_unique<CSqliteDb>(path, true);
    string error;
    if (!PrepareSchema(*db, true, error)) {
      EVERROR(Log(), "Registry file [%s] cannot be used: %s", path.c_str(), error.c_str());
      return false;
    }
    auto session = std::make_unique<CRegistrySession>();
    if (!session->Open(SessionDirectory(directory), error)) {
      EVERROR(Log(), "Cannot open a session in registry [%s]: %s", path.c_str(), error.c_str());
      return false;
    }
    db_ = std::move(db);
    session_ = std::move(session);
  } catch (const std::exception& e) {
    EVERROR(Log(), "Registry file [%s] cannot be used: %s", path.c_str(), e.what());
    return false;
  }
  identity_ = localVmGuid;
  databasePath_ = path;
  sessionDirectory_ = SessionDirectory(directory);
  return true;
}

void VMCleaner::SetCancelCheck(std::function<bool()> cancelled) {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_ = std::move(cancelled);
}

bool VMCleaner::LockRootClaims(CFileLock& claims) {
  const string path = ClaimsLockPath(databasePath_);
  if (claims.Acquire(path, {}, nullptr, cancelled_)) return true;
  EVERROR(Log(), "Cannot lock [%s]: %s", path.c_str(), std::strerror(errno));
  return false;
}

bool VMCleaner::DeInit() {
  std::lock_guard<std::mutex> lock(mutex_);
  session_.reset();
  db_.reset();
  return true;
}

bool VMCleaner::RegisterEntity(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name,
                               const string& parentHandle) {
  if (parentHandle.empty()) {
    bool heldByAnother = false;
    return ClaimRoot(mode, type, name, heldByAnother);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    CSqliteTransaction tx(*db_);
    CleanerHandle::SParsed parent;
    if (!CleanerHandle::Parse(parentHandle, parent) || parent.mode != mode) return false;
    int64_t parentId = Resolve(*db_, parent);
    if (parentId == 0) return false;
    db_->Prepare(
           "INSERT INTO entities(mode, parent, type, name, created) VALUES(?, ?, ?, ?, ?) "
           "ON CONFLICT(mode, parent, type, name) DO NOTHING")
        .Bind(1, static_cast<int64_t>(mode))
        .Bind(2, parentId)
        .Bind(3, static_cast<int64_t>(type))
        .BindBlob(4, name)
        .Bind(5, HostClock::Now())
        .Run();
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Registering [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::ClaimRoot(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name,
                          bool& heldByAnother) {
  heldByAnother = false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  CFileLock claims;
  if (!LockRootClaims(claims)) return false;
  try {
    // The write transaction keeps a second claimant out between the owner check and the update.
    CSqliteTransaction tx(*db_);
    if (RootHeldByAnother(*db_, mode, type, name, session_->Key(), sessionDirectory_)) {
      heldByAnother = true;
      return false;
    }
    db_->Prepare(
           "INSERT INTO entities(mode, parent, type, name, owner, unregistered, created) VALUES(?, 0, ?, ?, ?, 0, ?) "
           "ON CONFLICT(mode, parent, type, name) DO UPDATE SET owner=excluded.owner, unregistered=0")
        .Bind(1, static_cast<int64_t>(mode))
        .Bind(2, static_cast<int64_t>(type))
        .BindBlob(3, name)
        .Bind(4, session_->Key())
        .Bind(5, HostClock::Now())
        .Run();
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Registering [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::TakeOverRoot(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name,
                             string& path, bool& heldByAnother) {
  heldByAnother = false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  CFileLock claims;
  if (!LockRootClaims(claims)) return false;
  try {
    CSqliteTransaction tx(*db_);
    CSqliteStatement find = db_->Prepare("SELECT id FROM entities WHERE mode=? AND parent=0 AND type=? AND name=?");
    find.Bind(1, static_cast<int64_t>(mode)).Bind(2, static_cast<int64_t>(type)).BindBlob(3, name);
    if (!find.Step()) return false;
    const int64_t id = find.Int(0);
    if (RootHeldByAnother(*db_, mode, type, name, session_->Key(), sessionDirectory_)) {
      heldByAnother = true;
      return false;
    }
    // The unregistered flag stays: nothing new is registered under a root that is being emptied.
    string owner;
    if (!RootOwner(*db_, mode, type, name, owner) || owner != session_->Key()) {
      db_->Prepare("UPDATE entities SET owner=? WHERE id=?").Bind(1, session_->Key()).Bind(2, id).Run();
      tx.Commit();
    }
    path = CleanerHandle::Root(mode, type, name);
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Taking over [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::ChangeOwnedRoot(const string& path, bool release, bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  CleanerHandle::SParsed parsed;
  if (!CleanerHandle::Parse(path, parsed) || parsed.chain.size() != 1) return false;
  CFileLock claims;
  if (!LockRootClaims(claims)) return false;
  try {
    CSqliteTransaction tx(*db_);
    const int64_t id = Resolve(*db_, parsed);
    string owner;
    if (id == 0 || !RootOwner(*db_, static_cast<VM_Cleaner_Mode>(parsed.mode),
                              static_cast<VM_Cleaner_EntityType>(parsed.chain[0].type), parsed.chain[0].name, owner) ||
        owner != session_->Key()) {
      EVERROR(Log(), "Root [%s] is not this job's (any more); left as it is", path.c_str());
      return false;
    }
    if (release)
      db_->Prepare("UPDATE entities SET owner=NULL WHERE id=?").Bind(1, id).Run();
    else
      Unregister(*db_, id, force);
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Changing root [%s] in [%s] failed: %s", path.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::UnRegisterOwnedRoot(const string& path, bool force) { return ChangeOwnedRoot(path, false, force); }

bool VMCleaner::ReleaseRoot(const string& path) { return ChangeOwnedRoot(path, true, false); }

bool VMCleaner::IsHeldByAnotherSession(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    return RootHeldByAnother(*db_, mode, type, name, session_->Key(), sessionDirectory_);
  } catch (const std::exception& e) {
    // An owner that cannot be told counts as another live job: its entries are left alone.
    EVERROR(Log(), "Lookup of [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return true;
  }
}

bool VMCleaner::LookupEntity(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name,
                             string& handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    CSqliteStatement find =
        db_->Prepare("SELECT id FROM entities WHERE mode=? AND parent=0 AND type=? AND name=? AND unregistered=0");
    find.Bind(1, static_cast<int64_t>(mode)).Bind(2, static_cast<int64_t>(type)).BindBlob(3, name);
    if (!find.Step()) return false;
    handle = CleanerHandle::Root(mode, type, name);
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Lookup of [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::ConstructHandle(const string& parentHandle, VM_Cleaner_EntityType type, const string& name,
                                string& handle) {
  CleanerHandle::SParsed parent;
  if (!CleanerHandle::Parse(parentHandle, parent)) return false;
  handle = CleanerHandle::Child(CanonicalPath(parent), type, name);
  return true;
}

bool VMCleaner::GetCleanerPathForEntityHandle(const VM_Cleaner_Mode& mode, const string& handle, string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  CleanerHandle::SParsed parsed;
  if (!CleanerHandle::Parse(handle, parsed) || parsed.mode != mode) return false;
  try {
    if (Resolve(*db_, parsed) == 0) return false;
    path = CanonicalPath(parsed);
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Path of [%s] in [%s] failed: %s", handle.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::FillItemsFromCleanerPath(const string& path, VM_Cleaner_EntityType type,
                                         std::vector<CleanerEntity>& list) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  CleanerHandle::SParsed parsed;
  if (!CleanerHandle::Parse(path, parsed)) return false;
  try {
    int64_t id = Resolve(*db_, parsed);
    if (id == 0) return false;
    std::vector<CleanerEntity> found;
    ListChildren(*db_, id, CanonicalPath(parsed), type, found);
    list = std::move(found);
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Listing [%s] in [%s] failed: %s", path.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::FindChildrenOfType(VM_Cleaner_EntityType type, const string& name, std::vector<SFoundChild>& found) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    const string sql =
        "SELECT c.name, r.mode, r.type, r.name, r.owner IS NULL, r.owner FROM entities c JOIN entities r ON r.id = "
        "c.parent WHERE r.parent = 0 AND c.type = ?" +
        string(name.empty() ? "" : " AND c.name = ?") + " ORDER BY c.id";
    CSqliteStatement children = db_->Prepare(sql);
    children.Bind(1, static_cast<int64_t>(type));
    if (!name.empty()) children.BindBlob(2, name);
    CLivenessCache liveness(sessionDirectory_);
    std::vector<SFoundChild> list;
    while (children.Step()) {
      SFoundChild child;
      child.name = children.Text(0);
      child.rootPath = CleanerHandle::Root(static_cast<int32_t>(children.Int(1)), static_cast<int32_t>(children.Int(2)),
                                           children.Text(3));
      child.rootIsLive = !liveness.IsOrphan(children.Int(4) != 0, children.Text(5));
      list.push_back(std::move(child));
    }
    found = std::move(list);
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Search of [%d] entities in [%s] failed: %s", static_cast<int>(type), databasePath_.c_str(),
            e.what());
    return false;
  }
}

bool VMCleaner::GetOrphanedRootEntityListByType(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type,
                                                const string& name, std::vector<CleanerEntity>& list) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    CSqliteStatement roots = db_->Prepare(
        name.empty() ? "SELECT name, owner IS NULL, owner FROM entities WHERE parent=0 AND mode=? AND type=? ORDER BY id"
                     : "SELECT name, owner IS NULL, owner FROM entities WHERE parent=0 AND mode=? AND type=? AND name=? "
                       "ORDER BY id");
    roots.Bind(1, static_cast<int64_t>(mode)).Bind(2, static_cast<int64_t>(type));
    if (!name.empty()) roots.BindBlob(3, name);
    CLivenessCache liveness(sessionDirectory_);
    std::vector<CleanerEntity> found;
    while (roots.Step()) {
      if (!liveness.IsOrphan(roots.Int(1) != 0, roots.Text(2))) continue;
      CleanerEntity entity;
      entity.type = type;
      entity.name = roots.Text(0);
      entity.path = CleanerHandle::Root(mode, type, entity.name);
      found.push_back(std::move(entity));
    }
    list = std::move(found);
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Listing orphans in [%s] failed: %s", databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::UnRegisterEntity(const VM_Cleaner_Mode& mode, const string& handle, bool force) {
  CleanerHandle::SParsed parsed;
  if (!CleanerHandle::Parse(handle, parsed) || parsed.mode != mode) return false;
  return UnRegisterEntity(handle, force);
}

bool VMCleaner::UnRegisterEntity(const string& path, bool force) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  CleanerHandle::SParsed parsed;
  if (!CleanerHandle::Parse(path, parsed)) return false;
  try {
    CSqliteTransaction tx(*db_);
    int64_t id = Resolve(*db_, parsed);
    if (id == 0) return false;
    Unregister(*db_, id, force);
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Unregistering [%s] in [%s] failed: %s", path.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::IsAllVMCleanupRequired() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    CSqliteStatement owners = db_->Prepare("SELECT DISTINCT owner IS NULL, owner FROM entities WHERE parent=0");
    CLivenessCache liveness(sessionDirectory_);
    while (owners.Step())
      if (liveness.IsOrphan(owners.Int(0) != 0, owners.Text(1))) return true;
    return false;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Checking for orphans in [%s] failed: %s", databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::PostAllVMCleanup() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return false;
  try {
    CSqliteTransaction tx(*db_);
    db_->Prepare("INSERT INTO meta(key, value) VALUES('last_sweep', ?) ON CONFLICT(key) DO UPDATE SET value=excluded.value")
        .Bind(1, std::to_string(HostClock::Now()))
        .Run();
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Recording the sweep in [%s] failed: %s", databasePath_.c_str(), e.what());
    return false;
  }
}

INT64 VMCleaner::LastSweepTime() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!db_) return 0;
  try {
    return std::stoll(db_->QueryText("SELECT value FROM meta WHERE key='last_sweep'", "0"));
  } catch (const std::exception&) {
    return 0;
  }
}

bool VMCleaner::InspectRegistry(const string& registryDirectory, std::vector<SRegistryRoot>& roots, string& error) {
  CWqDirectory listing;
  std::vector<string> files;
  if (!listing.Open(registryDirectory, "registry_*.db", &error)) return false;
  string name;
  bool end = false;
  while (listing.GetEntry(name, end, &error) && !end) files.push_back(name);
  if (!end) return false;
  std::sort(files.begin(), files.end());
  std::vector<SRegistryRoot> found;
  try {
    for (const auto& file : files) {
      string path = FXPath::Append(registryDirectory, file);
      CSqliteDb db(path, false);
      string problem;
      if (!PrepareSchema(db, false, problem)) {
        error = "[" + path + "]: " + problem;
        return false;
      }
      CLivenessCache liveness(SessionDirectory(registryDirectory));
      CSqliteStatement list =
          db.Prepare("SELECT id, mode, type, name, owner IS NULL, owner FROM entities WHERE parent=0 ORDER BY id");
      while (list.Step()) {
        SRegistryRoot root;
        root.mode = static_cast<VM_Cleaner_Mode>(list.Int(1));
        root.name = list.Text(3);
        root.path = CleanerHandle::Root(root.mode, static_cast<int32_t>(list.Int(2)), root.name);
        root.orphan = liveness.IsOrphan(list.Int(4) != 0, list.Text(5));
        ListChildren(db, list.Int(0), root.path, 0, root.children);
        found.push_back(std::move(root));
      }
    }
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
  roots = std::move(found);
  return true;
}
