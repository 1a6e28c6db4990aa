#pragma once
// The simulated cloud: <cloud>/cloud.db holds every resource, <cloud>/volumes/ the bytes of
// volumes and snapshots, <cloud>/objects/ object-storage objects, <cloud>/iscsi/ the targets
// that attachments offer. Several processes may open one cloud at once; every change is one
// transaction, so a killed process leaves the cloud as it was before or after its change.
#include <memory>
#include <string>
#include <type_traits>

#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimFlavour.h"
#include "host/Mutex.h"

namespace sim {

// Meta keys.
constexpr const char* kMetaFlavour = "flavour";
constexpr const char* kMetaDefaultRegion = "default_region";
constexpr const char* kMetaSlotLimit = "slot_limit";
constexpr const char* kMetaProvisionPrefix = "provision_seconds.";  // + instance, volume, ...
constexpr const char* kMetaClassicDomain = "classic_domain";
constexpr const char* kMetaClassicUser = "classic_user";
constexpr const char* kMetaObjectNamespace = "object_namespace";
// The size of the boot volumes that seeding and populating make; data volumes are half as large.
constexpr const char* kMetaBootVolumeBytes = "boot_volume_bytes";
// Test settings: when set, iSCSI attachments report these values instead of their own, so that a
// test can hand the plug-in what a broken or hostile cloud might say.
constexpr const char* kMetaReportedIqn = "iscsi.reported_iqn";
constexpr const char* kMetaReportedPortal = "iscsi.reported_portal";
constexpr const char* kMetaReportedPort = "iscsi.reported_port";
constexpr int kDefaultSlotLimit = 32;
// A classic instance has 10 storage attachment slots; its boot volume takes one of them.
constexpr int kClassicSlotLimit = 10;

class CSimCloud {
 public:
  static constexpr const char* kDatabaseName = "cloud.db";

  // Opens the cloud kept in `cloudDir`. Throws CSimError naming the folder when it does not
  // exist or holds no simulated cloud.
  explicit CSimCloud(const std::string& cloudDir);
  // Makes the folders and a database with the schema and the flavour's meta; refuses a folder
  // that already holds a cloud.
  static void Create(const std::string& cloudDir, EFlavour flavour);

  const std::string& Dir() const { return dir_; }
  EFlavour Flavour() const { return flavour_; }
  const SFlavourWords& Words() const { return WordsOf(flavour_); }
  std::string VolumesDir() const { return dir_ + "/volumes"; }
  std::string ObjectsDir() const { return dir_ + "/objects"; }
  std::string IscsiDir() const { return dir_ + "/iscsi"; }
  std::string VolumeFilePath(const std::string& file) const { return VolumesDir() + "/" + file; }

  // Runs fn(CSimDb&) as one write transaction: committed when fn returns, rolled back when it
  // throws. Calls from several threads are serialised.
  template <class F>
  auto Write(F&& fn) -> std::invoke_result_t<F&, CSimDb&> {
    return InTransaction(true, fn);
  }
  // Runs fn(CSimDb&) on one consistent snapshot of the cloud.
  template <class F>
  auto Read(F&& fn) -> std::invoke_result_t<F&, CSimDb&> {
    return InTransaction(false, fn);
  }

  std::string Meta(const std::string& key, const std::string& fallback = "");
  void SetMeta(const std::string& key, const std::string& value);
  // True when the database file is still there and answers; otherwise false with a reason.
  bool Ping(std::string& error);

 private:
  template <class F>
  auto InTransaction(bool write, F& fn) -> std::invoke_result_t<F&, CSimDb&> {
    MutexLock lock(mutex_);
    CSimTransaction transaction(*db_, write);
    if constexpr (std::is_void_v<std::invoke_result_t<F&, CSimDb&>>) {
      fn(*db_);
      transaction.Commit();
    } else {
      auto result = fn(*db_);
      transaction.Commit();
      return result;
    }
  }

  std::string dir_;
  EFlavour flavour_ = EFlavour::Infrastructure;
  Mutex mutex_;                                       // one transaction at a time on the connection
  std::unique_ptr<CSimDb> db_ PT_GUARDED_BY(mutex_);  // set once, by the constructor
};

}  // namespace sim
