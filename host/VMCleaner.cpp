#include "host/VMCleaner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "host/CFileLock.h"
#include "host/CWqDirectory.h"
#include "host/CWqString.h"
#include "host/CleanerHandle.h"
#include "host/ErrnoText.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/FXString.h"
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
      // A new registry knows nothing of the jobs before it: the cloud is searched for their leftovers.
      db.Exec("INSERT INTO meta(key, value) VALUES('cloud_sweep', 'pending')");
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

// What opening a registry database found. Damaged: the file is no database of ours (not SQLite,
// corrupt, or a database without our version); Refused: it cannot be used as it is and must stay
// as it is (a newer agent's version, or the file cannot be read).
enum class EOpened { Ready, Damaged, Refused };

// Opens the registry database at `path`, made when missing or empty; `cause` says why not.
EOpened OpenRegistryDatabase(const string& path, std::unique_ptr<CSqliteDb>& out, string& cause) {
  try {
    auto db = std::make_unique<CSqliteDb>(path, true);
    const string check = db->QueryText("PRAGMA quick_check", "");
    if (check != "ok") {
      cause = "integrity check: " + check;
      return EOpened::Damaged;
    }
    if (!PrepareSchema(*db, true, cause)) return cause.rfind("unknown", 0) == 0 ? EOpened::Refused : EOpened::Damaged;
    out = std::move(db);
    return EOpened::Ready;
  } catch (const CSqliteError& e) {
    cause = e.what();
    return e.Code() == SQLITE_NOTADB || e.Code() == SQLITE_CORRUPT ? EOpened::Damaged : EOpened::Refused;
  }
}

// Moves a damaged registry (with its journal files) aside under a new name and opens a new one in
// its place; `notice` says so. One process at a time: another may have done it meanwhile.
EOpened SetAsideDamaged(const string& path, std::unique_ptr<CSqliteDb>& db, string& cause, string& notice) {
  CFileLock lock;
  if (!lock.Acquire(path + ".setaside.lock")) {
    cause += string("; it cannot be set aside: ") + ErrnoText(errno);
    return EOpened::Refused;
  }
  const EOpened again = OpenRegistryDatabase(path, db, cause);
  if (again != EOpened::Damaged) return again;
  string aside = path + ".damaged-" + std::to_string(HostClock::Now());
  for (int n = 2; FXFile::DoesFileExist(aside); ++n)
    aside = path + ".damaged-" + std::to_string(HostClock::Now()) + "-" + std::to_string(n);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    if (::rename((path + suffix).c_str(), (aside + suffix).c_str()) != 0 && errno != ENOENT) {
      cause += "; setting it aside as [" + aside + suffix + "] failed: " + ErrnoText(errno);
      return EOpened::Refused;
    }
  }
  notice = "Registry [" + path + "] is damaged (" + cause + "): it is set aside as [" + aside +
           "] and a new registry is started; the leftovers of jobs it recorded are no longer known to it";
  EVERROR(Log(), "%s", notice.c_str());
  return OpenRegistryDatabase(path, db, cause);
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
  CSqliteStatement find = db.Prepare("SELECT id FROM entities WHERE mode=? AND parent=? AND type=? AND name=?");
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
  CSqliteStatement list =
      db.Prepare(type == 0 ? "SELECT type, name FROM entities WHERE parent=? ORDER BY id"
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

// Removes a handed-over result inside the caller's transaction: its entities, with what is under
// them, then (unless `keepRoot`) the root, which stays as an orphan while other children remain. A
// path that is not a child of that root is refused, and the transaction with it.
void RemoveHandedOver(CSqliteDb& db, int64_t rootId, const CleanerHandle::SParsed& root,
                      const std::vector<string>& paths, bool keepRoot) {
  for (const auto& path : paths) {
    CleanerHandle::SParsed child;
    if (!CleanerHandle::Parse(path, child) || child.mode != root.mode || child.chain.size() < 2 ||
        child.chain[0].type != root.chain[0].type || child.chain[0].name != root.chain[0].name)
      throw CSqliteError("[" + path + "] is not an entity of the handed-over root");
    const int64_t id = Resolve(db, child);
    if (id != 0) DeleteTree(db, id);
  }
  if (!keepRoot) Unregister(db, rootId, false);
}

string HandOverLedgerFile(const string& directory, const string& rootPath) {
  return FXPath::Append(directory, CleanerHandle::EncodeName(rootPath));
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
  MutexLock lock(mutex_);
  return db_ != nullptr;
}

string VMCleaner::DatabasePathFor(const string& registryDirectory, const string& identity) {
  return FXPath::Append(registryDirectory, "registry_" + CleanerHandle::EncodeName(identity) + ".db");
}

bool VMCleaner::Init(const string& localVmGuid, UINT64 reserved) {
  MutexLock lock(mutex_);
  if (db_ && identity_ == localVmGuid) return true;
  session_.reset();
  db_.reset();
  initError_.clear();
  notice_.clear();
  string directory = HostEnvironment::UnderHome("registry");
  string path = DatabasePathFor(directory, localVmGuid);
  if (!CWqDirectory::Create(directory) || !MakeOwnerOnly(directory, true)) {
    initError_ = "cannot create the registry folder [" + directory + "] as its owner's alone: " + ErrnoText(errno);
    EVERROR(Log(), "%s", initError_.c_str());
    return false;
  }
  std::unique_ptr<CSqliteDb> db;
  string cause;
  EOpened opened = OpenRegistryDatabase(path, db, cause);
  if (opened == EOpened::Damaged) opened = SetAsideDamaged(path, db, cause, notice_);
  if (opened != EOpened::Ready) {
    initError_ = "[" + path + "]: " + cause;
    EVERROR(Log(), "Registry file [%s] cannot be used: %s", path.c_str(), cause.c_str());
    return false;
  }
  // The journal files take the database's mode when they are made; ones made earlier are set too.
  for (const char* suffix : {"", "-wal", "-shm"})
    if (!MakeOwnerOnly(path + suffix, false) && errno != ENOENT)
      EVERROR(Log(), "Cannot make [%s%s] its owner's alone: %s", path.c_str(), suffix, ErrnoText(errno).c_str());
  auto session = std::make_unique<CRegistrySession>();
  if (!session->Open(SessionDirectory(directory), cause)) {
    initError_ = "[" + path + "]: cannot open a session: " + cause;
    EVERROR(Log(), "Cannot open a session in registry [%s]: %s", path.c_str(), cause.c_str());
    return false;
  }
  // A job killed while commands it started still run (a login, a disk tool) is not swept before they
  // end: what they make after the sweep would be left for good.
  const string sessions = SessionDirectory(directory);
  if (const int held = CRegistrySession::AwaitCommandsOfDeadJobs(sessions, cancelled_, kDeadJobsCommandsWaitSeconds))
    EVERROR(Log(),
            "%d dead job(s) of registry [%s] still run commands after %d s: their leftovers wait for a later job", held,
            path.c_str(), kDeadJobsCommandsWaitSeconds);
  db_ = std::move(db);
  session_ = std::move(session);
  identity_ = localVmGuid;
  databasePath_ = path;
  sessionDirectory_ = sessions;
  handOverDirectory_ = path + ".handovers";
  ApplyHandOverLedger();
  return true;
}

string VMCleaner::InitError() const {
  MutexLock lock(mutex_);
  return initError_;
}

string VMCleaner::TakeSetAsideNotice() {
  MutexLock lock(mutex_);
  string notice;
  notice.swap(notice_);
  return notice;
}

void VMCleaner::SetCancelCheck(std::function<bool()> cancelled) {
  MutexLock lock(mutex_);
  cancelled_ = std::move(cancelled);
}

bool VMCleaner::LockRootClaims(CFileLock& claims) {
  const string path = ClaimsLockPath(databasePath_);
  if (claims.Acquire(path, {}, nullptr, cancelled_)) return true;
  EVERROR(Log(), "Cannot lock [%s]: %s", path.c_str(), ErrnoText(errno).c_str());
  return false;
}

bool VMCleaner::DeInit() {
  MutexLock lock(mutex_);
  emptying_.clear();
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
  MutexLock lock(mutex_);
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
  const auto start = std::chrono::steady_clock::now();
  for (bool logged = false;; logged = true) {
    {
      MutexLock lock(mutex_);
      const int claimed = TryClaimRoot(mode, type, name, heldByAnother);
      if (claimed >= 0) return claimed == 1;
      if (!logged) EVDEBUG(Log(), "Root [%s] is being emptied by another job's clean-up; waiting for it", name.c_str());
      if (cancelled_ && cancelled_()) break;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(kEmptyingWaitSeconds)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  heldByAnother = true;
  return false;
}

string VMCleaner::EmptyingLockPath(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const string& name) const {
  return FXPath::Append(databasePath_ + ".emptying",
                        FXString::HashHex(std::to_string(mode) + ":" + std::to_string(type) + ":" + name) + ".lock");
}

int VMCleaner::TryClaimRoot(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const string& name, bool& heldByAnother) {
  heldByAnother = false;
  if (!db_) return 0;
  CFileLock claims;
  if (!LockRootClaims(claims)) return 0;
  try {
    // The write transaction keeps a second claimant out between the owner check and the update.
    CSqliteTransaction tx(*db_);
    if (RootHeldByAnother(*db_, mode, type, name, session_->Key(), sessionDirectory_)) {
      // A clean-up holds the emptying lock from its take-over (made under the claims lock) to its end.
      if (CFileLock::IsHeldByAnyone(EmptyingLockPath(mode, type, name))) return -1;
      heldByAnother = true;
      return 0;
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
    return 1;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Registering [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return 0;
  }
}

bool VMCleaner::TakeOverRoot(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name, string& path,
                             bool& heldByAnother) {
  heldByAnother = false;
  MutexLock lock(mutex_);
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
    path = CleanerHandle::Root(mode, type, name);
    if (!RootOwner(*db_, mode, type, name, owner) || owner != session_->Key()) {
      // A dead job's root: a job that wants it waits for the emptying lock instead of being refused.
      auto emptying = std::make_unique<CFileLock>();
      const string lockPath = EmptyingLockPath(mode, type, name);
      if (CWqDirectory::Create(FXPath::GetParent(lockPath)) && MakeOwnerOnly(FXPath::GetParent(lockPath), true) &&
          emptying->TryAcquire(lockPath))
        emptying_[path] = std::move(emptying);
      db_->Prepare("UPDATE entities SET owner=? WHERE id=?").Bind(1, session_->Key()).Bind(2, id).Run();
      tx.Commit();
    }
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Taking over [%s] in [%s] failed: %s", name.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::ChangeOwnedRoot(const string& path, bool release, bool force) {
  MutexLock lock(mutex_);
  if (!db_) return false;
  CleanerHandle::SParsed parsed;
  if (!CleanerHandle::Parse(path, parsed) || parsed.chain.size() != 1) return false;
  CFileLock claims;
  if (!LockRootClaims(claims)) return false;
  try {
    CSqliteTransaction tx(*db_);
    const int64_t id = Resolve(*db_, parsed);
    string owner;
    if (id == 0 ||
        !RootOwner(*db_, static_cast<VM_Cleaner_Mode>(parsed.mode),
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
    emptying_.erase(CleanerHandle::Root(static_cast<VM_Cleaner_Mode>(parsed.mode),
                                        static_cast<VM_Cleaner_EntityType>(parsed.chain[0].type),
                                        parsed.chain[0].name));
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Changing root [%s] in [%s] failed: %s", path.c_str(), databasePath_.c_str(), e.what());
    return false;
  }
}

bool VMCleaner::UnRegisterOwnedRoot(const string& path, bool force) { return ChangeOwnedRoot(path, false, force); }

bool VMCleaner::ReleaseRoot(const string& path) { return ChangeOwnedRoot(path, true, false); }

bool VMCleaner::IsHeldByAnotherSession(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name) {
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
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
  MutexLock lock(mutex_);
  if (!db_) return false;
  // A result handed over while the store could not take it is never an orphan's to remove.
  ApplyHandOverLedger();
  try {
    CSqliteStatement roots = db_->Prepare(
        name.empty()
            ? "SELECT name, owner IS NULL, owner FROM entities WHERE parent=0 AND mode=? AND type=? ORDER BY id"
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
  MutexLock lock(mutex_);
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

bool VMCleaner::HandOver(const string& rootPath, const std::vector<string>& resultPaths, bool keepRoot, string& error) {
  MutexLock lock(mutex_);
  CleanerHandle::SParsed root;
  if (!db_ || !CleanerHandle::Parse(rootPath, root) || root.chain.size() != 1) {
    error = "[" + rootPath + "] is not a root of an open registry";
    return false;
  }
  try {
    CSqliteTransaction tx(*db_);
    const int64_t id = Resolve(*db_, root);
    if (id == 0) return true;  // nothing of the job is registered: nothing can remove the result
    string owner;
    if (!RootOwner(*db_, static_cast<VM_Cleaner_Mode>(root.mode),
                   static_cast<VM_Cleaner_EntityType>(root.chain[0].type), root.chain[0].name, owner) ||
        owner != session_->Key()) {
      error = "root [" + rootPath + "] is not owned by this job";
      return false;
    }
    RemoveHandedOver(*db_, id, root, resultPaths, keepRoot);
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    error = "[" + databasePath_ + "]: " + e.what();
  }
  string ledger = rootPath + "\n";
  for (const auto& path : resultPaths) ledger += path + "\n";
  const string file = HandOverLedgerFile(handOverDirectory_, rootPath);
  if (CWqDirectory::Create(handOverDirectory_) && WriteWholeFile(file, ledger))
    error += "; the hand-over is kept in [" + file + "] until the registry takes it";
  else
    error += "; nor could it be kept in [" + file + "]: " + ErrnoText(errno);
  EVERROR(Log(), "Handing [%s] over failed: %s", rootPath.c_str(), error.c_str());
  return false;
}

bool VMCleaner::IsHandOverPending(const string& rootPath) {
  MutexLock lock(mutex_);
  return db_ && FXFile::DoesFileExist(HandOverLedgerFile(handOverDirectory_, rootPath));
}

void VMCleaner::ApplyHandOverLedger() {
  CWqDirectory listing;
  std::vector<string> files;
  string name;
  bool end = false;
  if (!FXFile::DoesFileExist(handOverDirectory_) || !listing.Open(handOverDirectory_, "*")) return;
  while (listing.GetEntry(name, end) && !end)
    if (name.find(".tmp.") == string::npos) files.push_back(FXPath::Append(handOverDirectory_, name));
  for (const auto& file : files) {
    string ledger;
    if (!ReadRegularFile(file, ledger)) continue;
    const std::vector<CWqString> lines = CWqString(ledger).Tokenize("\n");
    CleanerHandle::SParsed root;
    if (lines.empty() || !CleanerHandle::Parse(lines[0], root) || root.chain.size() != 1) {
      EVERROR(Log(), "Hand-over ledger [%s] names no root; left as it is", file.c_str());
      continue;
    }
    try {
      CSqliteTransaction tx(*db_);
      const int64_t id = Resolve(*db_, root);
      if (id != 0) RemoveHandedOver(*db_, id, root, std::vector<string>(lines.begin() + 1, lines.end()), false);
      tx.Commit();
      ::unlink(file.c_str());
      EVDEBUG(Log(), "Applied the hand-over of [%s] kept in [%s]", lines[0].c_str(), file.c_str());
    } catch (const std::exception& e) {
      EVERROR(Log(), "Applying the hand-over kept in [%s] failed: %s", file.c_str(), e.what());
    }
  }
}

bool VMCleaner::IsAllVMCleanupRequired() {
  MutexLock lock(mutex_);
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

bool VMCleaner::WriteMeta(const char* key, const string* value) {
  MutexLock lock(mutex_);
  if (!db_) return false;
  try {
    CSqliteTransaction tx(*db_);
    if (value)
      db_->Run("INSERT INTO meta(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value=excluded.value",
               string(key), *value);
    else
      db_->Run("DELETE FROM meta WHERE key=?", string(key));
    tx.Commit();
    return true;
  } catch (const std::exception& e) {
    EVERROR(Log(), "Recording [%s] in [%s] failed: %s", key, databasePath_.c_str(), e.what());
    return false;
  }
}

string VMCleaner::ReadMeta(const char* key, const string& fallback) {
  MutexLock lock(mutex_);
  if (!db_) return fallback;
  try {
    return db_->QueryText("SELECT value FROM meta WHERE key=?", fallback, string(key));
  } catch (const std::exception& e) {
    EVERROR(Log(), "Reading [%s] in [%s] failed: %s", key, databasePath_.c_str(), e.what());
    return fallback;
  }
}

bool VMCleaner::PostAllVMCleanup() {
  const string now = std::to_string(HostClock::Now());
  return WriteMeta("last_sweep", &now);
}

bool VMCleaner::IsCloudSweepPending() { return ReadMeta("cloud_sweep", "") == "pending"; }

bool VMCleaner::PostCloudSweep() { return WriteMeta("cloud_sweep", nullptr); }

INT64 VMCleaner::LastSweepTime() {
  try {
    return std::stoll(ReadMeta("last_sweep", "0"));
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
