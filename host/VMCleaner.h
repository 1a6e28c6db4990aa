#pragma once
// The agent's persistent registry of created entities. Every cloud resource a job makes is recorded
// under the job's root entity, so that a later job can remove what a crashed one left behind.
//
// One SQLite database per proxy identity under <base home>/registry; entries survive restarts and a
// kill at any moment (WAL, durable commits, one transaction per write), and several processes and
// threads may use one registry at once. Each Init opens a registry session that holds an advisory
// lock for as long as the object lives; a root is an orphan when its owning session is gone (its
// process ended or the object was destroyed), or when it was unregistered while children remained:
// such a root stays listed until its last child is unregistered, so no entry vanishes silently.
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/HostTypes.h"
#include "host/Mutex.h"

// The kind of job that owns a registry entry.
enum VM_Cleaner_Mode : int32_t {
  VM_CLEANER_MODE_BACKUP = 0,
  VM_CLEANER_MODE_RESTORE = 1,
};

// The kind of a registered entity.
enum VM_Cleaner_EntityType : int32_t {
  VM_CLEANER_ENTITY_VM = 1,
  VM_CLEANER_ENTITY_SNAPSHOT = 2,
  VM_CLEANER_ENTITY_DISK = 3,
  VM_CLEANER_ENTITY_IMAGE = 4,
  VM_CLEANER_ENTITY_VMDK_OBJECT = 5,
  VM_CLEANER_ENTITY_ISCSI_SESSION = 7,
  // A create the job is about to request: recorded before the request under the name the resource
  // will carry, so that a job killed before it could register the resource leaves a trace.
  VM_CLEANER_ENTITY_PENDING_CREATE = 8,
};

struct CleanerEntity {
  VM_Cleaner_EntityType type = VM_CLEANER_ENTITY_VM;
  string name;  // the key it was registered under
  string path;  // its cleaner path
  std::map<string, string> properties;
};

// A child entity of some root, as a search across roots finds it.
struct SFoundChild {
  string name;              // the key it was registered under
  string rootPath;          // its root's cleaner path
  bool rootIsLive = false;  // the root's owning session is alive (this object's own included)
};

// A root with its children, as the registry inspection reports it.
struct SRegistryRoot {
  VM_Cleaner_Mode mode = VM_CLEANER_MODE_BACKUP;
  string name;
  string path;
  bool orphan = false;
  std::vector<CleanerEntity> children;
};

class CFileLock;
class CSqliteDb;
class CRegistrySession;

class VMCleaner {
 public:
  VMCleaner();
  virtual ~VMCleaner();
  VMCleaner(const VMCleaner&) = delete;
  VMCleaner& operator=(const VMCleaner&) = delete;

  // Opens the registry of the proxy `localVmGuid` (the empty identity is valid) and a session in it.
  // Repeated calls with the same identity keep both. A damaged file (no SQLite database, corrupt, or
  // without a registry version) is moved aside as "<file>.damaged-<seconds>" and a new registry is
  // started in its place, saying so. False, with a log line naming the file and the cause, when the
  // file holds a version this agent does not know or cannot be read; such a file is left as it is.
  // A new session first waits (at most kDeadJobsCommandsWaitSeconds, ending on a cancel) for the
  // commands that killed jobs started to end (see CRegistrySession).
  bool Init(const string& localVmGuid, UINT64 reserved);
  static constexpr int kDeadJobsCommandsWaitSeconds = 120;
  // Why the last Init failed: the file and the cause.
  string InitError() const;
  // Once after an Init that found the database damaged, moved it aside and started a new one: what
  // it did; empty otherwise.
  string TakeSetAsideNotice();
  // Closes the session: the roots it owns become orphans.
  bool DeInit();

  // Records an entity: a root when parentHandle is empty (see ClaimRoot), else a child of the
  // entity with that handle. Registering the same (parent, type, name) again concerns the one entity.
  bool RegisterEntity(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name,
                      const string& parentHandle);
  // Records a root owned by this session. A root that exists is taken over when its owner is gone
  // (or it is this session); a root that another live session owns is left as it is: while a
  // clean-up empties a dead job's root the claim waits for it (at most kEmptyingWaitSeconds, ending
  // on a cancel), and a root a running job owns fails the claim at once with heldByAnother set.
  bool ClaimRoot(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name, bool& heldByAnother)
      EXCLUDES(mutex_);
  static constexpr int kEmptyingWaitSeconds = 1800;
  // Takes over the existing root of this mode, type and name for a clean-up: one this session owns
  // already, or one whose owner is gone (also one unregistered while children remained). No other
  // session can claim it afterwards; its owner stays this session until it is unregistered, released
  // or this session ends. False with heldByAnother set for a root another live session owns, false
  // alone for an unknown root or a failed write.
  bool TakeOverRoot(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name, string& path,
                    bool& heldByAnother);
  // Unregisters the root at `path` only while this session owns it (see UnRegisterEntity for a root
  // that still has children): a root another job took over in the meantime is left as it is.
  bool UnRegisterOwnedRoot(const string& path, bool force);
  // Gives up this session's ownership of the root at `path`: it is an orphan again.
  bool ReleaseRoot(const string& path);
  // Every change of a root's owner (claims, take-overs, releases, unregistrations) is one short
  // transaction under a lock file beside the database, shared by every process of this registry.
  // A wait for that lock polls `cancelled` and gives up when it says so.
  void SetCancelCheck(std::function<bool()> cancelled);
  // True when the root exists and another session, still alive, owns it, or when that cannot be told.
  bool IsHeldByAnotherSession(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name);
  // The handle of the root of this mode, type and name.
  bool LookupEntity(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name, string& handle);
  // The handle a child of `parentHandle` gets; does not consult the store.
  bool ConstructHandle(const string& parentHandle, VM_Cleaner_EntityType type, const string& name, string& handle);
  bool GetCleanerPathForEntityHandle(const VM_Cleaner_Mode& mode, const string& handle, string& path);
  // The children of `type` under the entity at `path`, in registration order.
  bool FillItemsFromCleanerPath(const string& path, VM_Cleaner_EntityType type, std::vector<CleanerEntity>& list);
  // The registered children of `type` directly under any root of any mode; an empty name asks for
  // all of them.
  bool FindChildrenOfType(VM_Cleaner_EntityType type, const string& name, std::vector<SFoundChild>& found);
  // Orphaned roots of this mode and type; an empty name asks for all of them.
  bool GetOrphanedRootEntityListByType(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& name,
                                       std::vector<CleanerEntity>& list);
  // Removes an entity. A root (or any entity) that still has children is kept, as an orphan, until
  // its last child goes; `force` removes it with its children.
  bool UnRegisterEntity(const VM_Cleaner_Mode& mode, const string& handle, bool force);
  bool UnRegisterEntity(const string& path, bool force);
  // Hands a finished job's result over: the entities at `resultPaths` (children of the root at
  // `rootPath`, with what is under them) and then the root go in one transaction, the root staying
  // as an orphan while other children remain; only while this session owns the root. When the store
  // cannot take it, the hand-over is written to a ledger beside the database, which every later
  // session of this registry applies before it lists orphans, so that no sweep ever removes the
  // result; `error` then names the cause, and the result is false even when the ledger was written.
  // `keepRoot`: the root stays this job's (it goes on with other work under it); a ledger's hand-over,
  // applied once the job is gone, takes the root along all the same.
  bool HandOver(const string& rootPath, const std::vector<string>& resultPaths, bool keepRoot, string& error);
  // True while a hand-over of the root waits in the ledger: its clean-up must leave it alone.
  bool IsHandOverPending(const string& rootPath);
  // True when an orphaned root of any mode exists.
  bool IsAllVMCleanupRequired();
  // Records that a sweep of orphans ran.
  bool PostAllVMCleanup();
  // True from the making of a registry until PostCloudSweep: a new registry (the first of a proxy, or
  // one started in place of a damaged or lost one) knows nothing of earlier jobs, whose leftovers are
  // then to be found in the cloud by the marks they carry.
  bool IsCloudSweepPending();
  bool PostCloudSweep();
  // Seconds since the epoch of the last sweep; 0 before the first.
  INT64 LastSweepTime();

  bool IsInitialized() const;
  // Copies: a later Init may change them.
  string Identity() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return identity_;
  }
  string DatabasePath() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return databasePath_;
  }

  // The database file of a proxy identity inside a registry folder.
  static string DatabasePathFor(const string& registryDirectory, const string& identity);
  // Every root of every registry database in the folder, with its children.
  static bool InspectRegistry(const string& registryDirectory, std::vector<SRegistryRoot>& roots, string& error);

 private:
  // A meta entry written (or, without a value, removed) in a transaction of its own; read.
  bool WriteMeta(const char* key, const string* value);
  string ReadMeta(const char* key, const string& fallback);
  // Applies the hand-overs the ledger holds.
  void ApplyHandOverLedger() REQUIRES(mutex_);
  // Takes the lock of root-owner changes.
  bool LockRootClaims(CFileLock& claims) REQUIRES(mutex_);
  bool ChangeOwnedRoot(const string& path, bool release, bool force) EXCLUDES(mutex_);
  // The lock file a clean-up holds while it empties a dead job's root.
  string EmptyingLockPath(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const string& name) const REQUIRES(mutex_);
  // One claim attempt under the claims lock: 1 claimed, 0 failed, -1 held by a clean-up that empties it.
  int TryClaimRoot(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const string& name, bool& heldByAnother)
      REQUIRES(mutex_);

  // Serialises the threads of this process on the connection and the session; other processes of the
  // registry are kept apart by SQLite's transactions and the claims lock file.
  mutable Mutex mutex_;
  std::unique_ptr<CSqliteDb> db_ GUARDED_BY(mutex_);
  std::unique_ptr<CRegistrySession> session_ GUARDED_BY(mutex_);
  string identity_ GUARDED_BY(mutex_);
  string databasePath_ GUARDED_BY(mutex_);
  string sessionDirectory_ GUARDED_BY(mutex_);
  string handOverDirectory_ GUARDED_BY(mutex_);  // the ledger of hand-overs the store could not take
  string initError_ GUARDED_BY(mutex_), notice_ GUARDED_BY(mutex_);
  std::function<bool()> cancelled_ GUARDED_BY(mutex_);
  // By root path: the dead roots this session empties.
  std::map<string, std::unique_ptr<CFileLock>> emptying_ GUARDED_BY(mutex_);
};
