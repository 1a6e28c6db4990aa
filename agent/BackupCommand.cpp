#include "agent/BackupCommand.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "agent/AgentSession.h"
#include "agent/DiskCopy.h"
#include "agent/InventoryCommands.h"
#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/HostClock.h"

using namespace VMInfoStructs;
using nlohmann::json;

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

// Ctrl-C sets the job's cancel flag: the plug-in notices it at its next poll and unwinds.
class CInterruptWatch {
 public:
  explicit CInterruptWatch(IVMInfo& plugin) : plugin_(plugin) {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, &previous_);
    sigaction(SIGTERM, &action, &previousTerm_);
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        if (g_interrupted.load()) {
          plugin_.SetJobCancelled(true);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  ~CInterruptWatch() {
    stop_.store(true);
    thread_.join();
    sigaction(SIGINT, &previous_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
  }

 private:
  IVMInfo& plugin_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  struct sigaction previous_ {}, previousTerm_ {};
};

struct SDiskJob {
  SDisk disk;          // as the mount information reports it
  json record;         // manifest entry, filled when done
  string error;
  bool ok = false;
};

// One progress line per disk on a terminal.
class CProgress {
 public:
  explicit CProgress(bool enabled) : enabled_(enabled) {}
  void Show(const string& disk, UINT64 done, UINT64 total) {
    if (!enabled_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    int percent = total ? static_cast<int>(done * 100 / total) : 100;
    std::printf("\r  %-40s %3d%%", disk.c_str(), percent);
    if (done >= total) std::printf("\n");
    std::fflush(stdout);
  }

 private:
  bool enabled_;
  std::mutex mutex_;
};

string SafeFileName(const string& name) {
  string out;
  for (char c : name) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
  return out.empty() ? "disk" : out;
}

// Opens, reads and closes one disk through the plug-in.
void StreamDisk(IVMInfo& plugin, bool useDiskInterface, const MountCtx& ctx, const string& disksDir, SDiskJob& job,
                CProgress& progress) {
  SDisk disk = job.disk;
  VmdkHandle handle;
  if (useDiskInterface) {
    if (!plugin.OpenVmdk(ctx.vmName, ctx.vmGuid, disk.guid, handle)) {
      job.error = "OpenVmdk failed: error " + std::to_string(static_cast<int>(plugin.GetLastVMError()));
      return;
    }
    if (!plugin.GetVmdkInfo(handle, disk)) {
      job.error = "GetVmdkInfo failed";
      plugin.CloseVmdk(handle);
      return;
    }
  }
  const string file = FXPath::Append(disksDir, SafeFileName(job.disk.indexName.empty() ? disk.guid : job.disk.indexName) + ".img");
  SDiskCopyResult copied;
  string error;
  bool ok = CopyDiskSparse(disk.name, disk.size, file, copied, error, &g_interrupted,
                           [&](UINT64 done) { progress.Show(job.disk.indexName, done, disk.size); });
  if (useDiskInterface && !plugin.CloseVmdk(handle)) {
    if (ok) error = "CloseVmdk failed";
    ok = false;
  }
  if (!ok) {
    job.error = error;
    return;
  }
  job.record = {{"index_name", job.disk.indexName}, {"volume_id", job.disk.volumeId},
                {"display_name", job.disk.displayName}, {"boot", job.disk.isBootDisk},
                {"size", copied.size},           {"bytes_read", copied.bytesRead},
                {"sha256", copied.sha256},       {"file", FXPath::GetFileName(file)}};
  job.ok = true;
}

}  // namespace

int RunBackupCommand(const SAgentSandbox& sandbox, const SBackupOptions& options) {
  CAgentSession session(sandbox);
  string error;
  if (!session.Open(SConnectOptions(), error)) {
    std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
    return 1;
  }
  IVMInfo& plugin = session.Object();

  std::vector<SVMInfo> all;
  if (!plugin.GetVMInfoList(all, 0, 0, nullptr, FILTER_TYPE_NONE)) {
    std::fprintf(stderr, "backup-agent: listing instances failed: %s\n", session.DescribeLastError().c_str());
    return 1;
  }
  std::vector<SVMInfo> matches;
  for (const auto& vm : all)
    if (vm.guid == options.instance || vm.name == options.instance) matches.push_back(vm);
  if (matches.size() != 1) {
    std::fprintf(stderr, "backup-agent: %s instance [%s]\n", matches.empty() ? "no" : "more than one",
                 options.instance.c_str());
    return 1;
  }
  const SVMInfo target = matches[0];

  const long long jobId = options.jobId ? options.jobId : static_cast<long long>(HostClock::Now());
  EvEvent::setJob(jobId, target.name);
  const string backupDir = FXPath::Append(options.store, std::to_string(jobId) + "-" + SafeFileName(target.name));
  const string disksDir = FXPath::Append(backupDir, "disks");
  std::error_code ec;
  std::filesystem::create_directories(disksDir, ec);
  if (ec) {
    std::fprintf(stderr, "backup-agent: cannot create [%s]: %s\n", disksDir.c_str(), ec.message().c_str());
    return 1;
  }

  MountCtx ctx;
  ctx.vmName = target.name;
  ctx.vmGuid = target.guid;
  ctx.mountPath = FXPath::Append(backupDir, "config");

  CInterruptWatch interrupts(plugin);
  auto fail = [&](const string& step) {
    std::fprintf(stderr, "backup-agent: %s failed: %s\n", step.c_str(), session.DescribeLastError().c_str());
    plugin.CleanupVM(ctx);
    return 1;
  };

  std::printf("Backing up [%s] %s (job %lld)\n", target.name.c_str(), target.guid.c_str(), jobId);
  if (!plugin.MountVM(ctx)) return fail("MountVM");
  std::vector<SMountInfoFull> entries;
  if (!plugin.GetFullMountInfo(ctx, entries)) return fail("GetFullMountInfo");

  std::vector<SDiskJob> jobs;
  json files = json::array();
  for (const auto& entry : entries) {
    if (entry.disks.empty()) continue;
    const SDisk& item = entry.disks[0];
    if (entry.mountType == 1) {
      jobs.push_back(SDiskJob{item, json(), string(), false});
    } else {
      string sha;
      Sha256OfFile(item.name, sha, error);
      files.push_back({{"name", item.displayName}, {"size", item.backupSize}, {"sha256", sha},
                       {"main_config", item.fileKind == 4}});
    }
  }

  const bool useDiskInterface = sandbox.instanceType == VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  const int limit = std::max(1, plugin.GetStreamLimit());
  CProgress progress(::isatty(STDOUT_FILENO) != 0);
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < std::min<int>(limit, static_cast<int>(jobs.size())); ++i)
    workers.emplace_back([&] {
      for (size_t k; (k = next.fetch_add(1)) < jobs.size();) StreamDisk(plugin, useDiskInterface, ctx, disksDir, jobs[k], progress);
    });
  for (auto& worker : workers) worker.join();

  json disks = json::array();
  for (const auto& job : jobs) {
    if (!job.ok) {
      std::fprintf(stderr, "backup-agent: disk [%s]: %s\n", job.disk.indexName.c_str(), job.error.c_str());
      if (g_interrupted.load()) std::fprintf(stderr, "backup-agent: interrupted\n");
      return fail("reading the disks");
    }
    disks.push_back(job.record);
  }
  if (!plugin.UnmountVM(ctx)) return fail("UnmountVM");

  json manifest = {{"instance", {{"name", target.name}, {"guid", target.guid}}},
                   {"flavour", sandbox.flavour},
                   {"job_id", jobId},
                   {"created", HostClock::Now()},
                   {"disks", disks},
                   {"files", files}};
  const string manifestPath = FXPath::Append(backupDir, "manifest.json");
  if (!WriteWholeFile(manifestPath, manifest.dump(2) + "\n")) {
    std::fprintf(stderr, "backup-agent: cannot write [%s]\n", manifestPath.c_str());
    return 1;
  }
  std::printf("Backup of [%s] stored in %s\n", target.name.c_str(), backupDir.c_str());
  for (const auto& d : disks)
    std::printf("  %-50s %12llu bytes  sha256 %s\n", d["index_name"].get<string>().c_str(),
                static_cast<unsigned long long>(d["size"].get<UINT64>()), d["sha256"].get<string>().c_str());
  return 0;
}
