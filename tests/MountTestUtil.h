#pragma once
// Fixture of the backup-mount flow tests: a sandbox with the host pointed at it, a virtual clock whose
// sleeps can run a hook (to act "during" a wait), the simulated cloud, and the registry as read later.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "PluginBases.h"
#include "TestSandbox.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/SimSnapshots.h"
#include "classic/OracleCloudClassicInfo.h"
#include "host/EvDebug.h"
#include "host/HostClock.h"
#include "host/TZPlatformInfo.h"
#include "host/VMCleaner.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"
#include "sandbox/VolumeChecksum.h"

namespace mounttest {

constexpr INT64 kJobId = 31337;
constexpr int64_t kClockStart = 1'800'000'000;
constexpr const char* kBackupDescription = "Volume Snapshot created by Quillmark for backup Job ID";

// Reaches the protected steps of the mount.
template <class Base>
class TestPlugin : public Base {
 public:
  TestPlugin() : Base(Base::kType) {}
  using Base::bridge;
  using Base::CheckSnapshotLimit;
  using Base::cleaner;
  using Base::cleanerMode;
  using Base::CreateVolumesFromSnapshots;
  using Base::CreateVolumeSnapshots;
  using Base::FormDiskIndexName;
  using Base::InitBackupVMInfo;
  using Base::InitMapperAndCleaner;
  using Base::InitProxyVMInfo;
  using Base::IsBackupFeasible;
  using Base::proxyVMInfo;
  using Base::RegisterCleanerForBackup;
  using Base::RegisterCleanerForRestore;
  using Base::SaveVMConfigFiles;
  using Base::WaitForResourceToBecomeUsable;
  static void ForgetIdentity() { testbase::ForgetIdentity(); }
};

using InfraPlugin = TestPlugin<testbase::InfraBase>;
using ClassicPlugin = TestPlugin<testbase::ClassicBase>;

// A virtual clock that records every sleep and runs a hook inside it (given the sleep's index from 0).
class CHookClock : public IHostClock {
 public:
  int64_t NowSeconds() override { return nowMs_.load() / 1000; }
  int64_t NowMilliseconds() override { return nowMs_.load(); }
  void SleepMilliseconds(uint64_t ms) override {
    size_t index;
    std::function<void(size_t)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = sleeps_.size();
      sleeps_.push_back(ms);
      hook = hook_;
    }
    nowMs_ += static_cast<int64_t>(ms);
    if (hook) hook(index);
  }
  void OnSleep(std::function<void(size_t)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }
  std::vector<uint64_t> Sleeps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sleeps_;
  }

 private:
  std::atomic<int64_t> nowMs_{kClockStart * 1000};
  std::mutex mutex_;
  std::vector<uint64_t> sleeps_;
  std::function<void(size_t)> hook_;
};

struct SVolumeRow {
  std::string id, state, sourceSnapshotId;
};

class CMountFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedJobId_ = EvEvent::getJobId();
    savedClient_ = EvEvent::getClientName();
    EvEvent::setJob(kJobId, "mount-test-client");
    HostClock::Install(&clock);
    NewSandbox();
  }
  void TearDown() override {
    EvEvent::setJob(savedJobId_, savedClient_);
    tools_.reset();
    sandbox.reset();
    HostClock::Install(nullptr);
    TZPlatformInfo::ClearValues();
    InfraPlugin::ForgetIdentity();
  }

  // A fresh sandbox (its proxy has another identity). The waits are under test: every key at its
  // default, not the sandbox's no-pause polling.
  void NewSandbox() {
    tools_.reset();
    sandbox.reset();
    InfraPlugin::ForgetIdentity();
    TZPlatformInfo::ClearValues();
    EvLogSink::Clear();
    sandbox = std::make_unique<CTestSandbox>(flavour_);
    WriteTestFile(sandbox->Home() + "/etc/platform.ini", "[VirtualServer]\n");
    mountPath = sandbox->Dir() + "/jobs/mount";
  }

  // An object as the agent has it before a mount: identity detected, connected.
  template <class Plugin = InfraPlugin>
  std::unique_ptr<Plugin> NewPlugin() {
    auto plugin = std::make_unique<Plugin>();
    EXPECT_EQ(plugin->Init(0), 1);
    EXPECT_EQ(plugin->Connect(sandbox->CloudUrl(), "tester", "secret"), 1);
    return plugin;
  }
  // The sandbox's host tools (iscsiadm, ...) first on PATH.
  void UseSandboxTools() {
    tools_.reset();
    tools_ = std::make_unique<CPathFirst>(sandbox->Dir() + "/bin");
  }

  std::unique_ptr<sim::CSimCloud> Cloud() const { return std::make_unique<sim::CSimCloud>(sandbox->Dir() + "/cloud"); }
  template <class... Args>
  std::string Text(const std::string& sql, const Args&... args) const {
    return Cloud()->Read([&](sim::CSimDb& db) { return db.QueryText(sql, "", args...); });
  }
  template <class... Args>
  void Exec(const std::string& sql, const Args&... args) const {
    Cloud()->Write([&](sim::CSimDb& db) { db.Run(sql, args...); });
  }
  // The rows of `sql`, each as its columns' texts.
  template <class... Args>
  std::vector<std::vector<std::string>> Rows(const std::string& sql, const Args&... args) const {
    return Cloud()->Read([&](sim::CSimDb& db) {
      std::vector<std::vector<std::string>> rows;
      auto stmt = db.Prepare(sql);
      if constexpr (sizeof...(Args) > 0) stmt.BindAll(args...);
      while (stmt.Step()) {
        rows.emplace_back();
        for (int i = 0; i < stmt.ColumnCount(); ++i) rows.back().push_back(stmt.Text(i));
      }
      return rows;
    });
  }

  std::string InstanceId(const std::string& name) const {
    return Text("SELECT id FROM instances WHERE name = ?", name);
  }
  // The instance's volumes in disk order: the boot volume, then the attached ones.
  std::vector<std::string> InstanceVolumes(const std::string& name) const {
    std::vector<std::string> ids;
    for (const auto& row : Rows("SELECT boot_volume_id FROM instances WHERE name = ?1 UNION ALL "
                                "SELECT * FROM (SELECT a.volume_id FROM attachments a JOIN instances i ON "
                                "i.id = a.instance_id WHERE i.name = ?1 AND a.volume_id <> i.boot_volume_id "
                                "ORDER BY a.seq)",
                                name))
      ids.push_back(row[0]);
    return ids;
  }
  // A restore of sample-web under `name`, as the agent builds it from a backup.
  RestoreCtx WebRestoreCtx(const std::string& name) const {
    const auto row = Rows(
        "SELECT i.compartment_id, i.ad, i.shape, i.image_id, v.size_bytes, n.subnet_id FROM instances i "
        "JOIN volumes v ON v.id = i.boot_volume_id JOIN vnics n ON n.instance_id = i.id "
        "WHERE i.name = 'sample-web'")[0];
    RestoreCtx ctx;
    ctx.vmName = name;
    ctx.originalVmName = "sample-web";
    ctx.compartmentId = row[0];
    ctx.availabilityDomain = row[1];
    ctx.vmSize = ctx.sourceVmSize = row[2];
    ctx.sourceImageId = row[3];
    ctx.sourceRegionKey = "PHX";
    VMInfoStructs::SVMNetworkCard card;
    card.name = "eth0";
    card.subnetId = row[5];
    ctx.networkCards.push_back(card);
    for (const bool boot : {true, false}) {
      VMInfoStructs::SDisk disk;
      disk.displayName = boot ? "sample-web (Boot Volume)" : "sample-web-data";
      disk.indexName = disk.displayName + "_" + (boot ? "0" : "1");
      disk.isBootDisk = boot;
      disk.selectedForRestore = 1;
      disk.size = boot ? std::stoull(row[4]) : (60ull << 30) + 1;
      ctx.disks.push_back(disk);
    }
    return ctx;
  }
  MountCtx Ctx(const std::string& name) const {
    MountCtx ctx;
    ctx.vmName = name;
    ctx.vmGuid = InstanceId(name);
    ctx.mountPath = mountPath;
    return ctx;
  }

  // The ids of the snapshots; of those taken by a backup only, when `backups`.
  std::set<std::string> SnapshotIds(bool backups = false) const {
    std::set<std::string> ids;
    for (const auto& row : Rows("SELECT id FROM snapshots WHERE ?1 = 0 OR instr(description, ?2) > 0", int64_t{backups},
                                std::string(kBackupDescription)))
      ids.insert(row[0]);
    return ids;
  }
  // Volumes made from snapshots (the replicas).
  std::vector<SVolumeRow> Replicas() const {
    std::vector<SVolumeRow> rows;
    for (const auto& r : Rows("SELECT id, state, source_snapshot_id FROM volumes WHERE source_snapshot_id <> '' "
                              "ORDER BY rowid"))
      rows.push_back({r[0], r[1], r[2]});
    return rows;
  }

  int64_t Calls(const std::string& op) const {
    const auto counters = sim::CSimFaults(*Cloud()).Counters();
    return counters.count(op) ? counters.at(op) : 0;
  }
  void AddFault(const std::string& op, int64_t nth, sim::EFaultAction action, const std::string& text = "",
                int64_t delayMs = 0) const {
    sim::CSimFaults(*Cloud()).Add({.op = op, .nth = nth, .action = action, .text = text, .delayMs = delayMs});
  }
  void ClearFaults() const { sim::CSimFaults(*Cloud()).Clear(""); }
  void SetProvisionSeconds(const std::string& kind, int seconds) const {
    Cloud()->SetMeta(std::string(sim::kMetaProvisionPrefix) + kind, std::to_string(seconds));
  }
  // A usable snapshot made outside of any job.
  std::string AddSnapshot(const std::string& volumeId, const std::string& description, int64_t created,
                          const std::string& name = "") const {
    return sim::CSimSnapshots(*Cloud()).Add(volumeId, description, created, name);
  }
  std::string Checksum(const std::string& id) const { return sim::VolumeChecksum(*Cloud(), id); }
  // Writes bytes into a volume, as the instance using it would.
  void WriteVolume(const std::string& volumeId, uint64_t offset, const std::string& data) const {
    const std::string path = sim::BytesFileOf(*Cloud(), volumeId).path;
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(data.size()));
    ::close(fd);
  }

  // Every root of the sandbox's registry with its children, read as another process would.
  std::vector<SRegistryRoot> Registry() const {
    std::vector<SRegistryRoot> roots;
    const std::string dir = sandbox->Home() + "/registry";
    if (!std::filesystem::exists(dir)) return roots;
    std::string error;
    EXPECT_TRUE(VMCleaner::InspectRegistry(dir, roots, error)) << error;
    return roots;
  }
  static std::optional<SRegistryRoot> FindRoot(const std::vector<SRegistryRoot>& roots, const std::string& name) {
    for (const auto& root : roots)
      if (root.name == name) return root;
    return std::nullopt;
  }
  static std::set<std::string> Children(const SRegistryRoot& root, VM_Cleaner_EntityType type) {
    std::set<std::string> names;
    for (const auto& child : root.children)
      if (child.type == type) names.insert(child.name);
    return names;
  }
  // The children of one kind under the root `rootName`; none (and a failure) when it is not there.
  std::set<std::string> RegisteredChildren(const std::string& rootName, VM_Cleaner_EntityType type) const {
    const auto root = FindRoot(Registry(), rootName);
    if (!root) ADD_FAILURE() << "no root [" << rootName << "] in the registry";
    return root ? Children(*root, type) : std::set<std::string>{};
  }

  // The proxy's attachments that are not detached, in the order they were made.
  nlohmann::json LiveProxyAttachments() const {
    std::string out;
    EXPECT_EQ(sandbox->CloudSim({"ls", "attachments", "--json"}, &out), 0) << out;
    nlohmann::json live = nlohmann::json::array();
    for (const auto& row : nlohmann::json::parse(out))
      if (row["instance_id"] == sandbox->ProxyInstanceId() && row["state"] != "DETACHED") live.push_back(row);
    return live;
  }
  bool AttachedToProxy(const std::string& volumeId) const {
    for (const auto& row : LiveProxyAttachments())
      if (row["volume_id"] == volumeId) return true;
    return false;
  }
  // Nothing of any job left in the cloud (as `cloud-sim leaks` tells) nor in the registry.
  void ExpectNothingLeft() const {
    std::string leaks;
    EXPECT_EQ(sandbox->CloudSim({"leaks"}, &leaks), 0) << leaks;
    EXPECT_TRUE(Registry().empty());
  }

  // "_QD_BACKUP_<job>_<thread>_<seconds>" as made on this thread.
  static std::string ResourceName(int64_t seconds) {
    return "_QD_BACKUP_" + std::to_string(kJobId) + "_" + std::to_string(static_cast<int>(pthread_self())) + "_" +
           std::to_string(seconds);
  }
  static std::string BackupDescription(int64_t seconds) {
    return std::string(kBackupDescription) + std::to_string(kJobId) + " at " + std::to_string(seconds);
  }
  // The names in a folder (not recursive).
  static std::set<std::string> FilesIn(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.insert(entry.path().filename());
    return names;
  }

  CHookClock clock;
  std::unique_ptr<CTestSandbox> sandbox;
  std::string mountPath;
  std::string flavour_ = "infrastructure";  // of every sandbox the fixture makes

 private:
  std::unique_ptr<CPathFirst> tools_;
  INT64 savedJobId_ = 0;
  std::string savedClient_;
};

}  // namespace mounttest
