#include "agent/commands/BackupsCommand.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "agent/commands/BackupsOutput.h"
#include "agent/jobs/BackupFolder.h"
#include "agent/jobs/BackupState.h"
#include "agent/jobs/ExitStatus.h"
#include "cli/DisplayText.h"
#include "host/FXFile.h"

namespace agent {

using nlohmann::json;

namespace {

struct SListedDisk {
  string name;
  UINT64 size = 0;
};

struct SListedBackup {  // NOLINT(bugprone-exception-escape): json's moves do not throw
  string folder;
  long long jobId = 0;
  string instance;
  SBackupState state;
  UINT64 allocated = 0;  // st_blocks * 512 of every file of the folder
  UINT64 logical = 0;    // the disks' sizes
  std::vector<SListedDisk> disks;
};

// What the folder's files take on disk (holes take nothing).
UINT64 AllocatedBytes(const string& folder) {
  UINT64 total = 0;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += static_cast<UINT64>(st.st_blocks) * 512;
  }
  return total;
}

// The disks of a manifest, or, for a folder without one, the disks its job stored whole.
void ListDisks(const string& folder, SListedBackup& backup) {
  const json& manifest = backup.state.manifest;
  if (manifest.is_object() && manifest.contains("disks") && manifest["disks"].is_array()) {
    for (const json& disk : manifest["disks"]) {
      SListedDisk listed;
      listed.name = disk.value("index_name", disk.value("file", string()));
      listed.size = disk.contains("size") && disk["size"].is_number_unsigned() ? disk["size"].get<UINT64>() : 0;
      backup.disks.push_back(listed);
    }
  } else {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(FXPath::Append(folder, "disks"), ec), end; !ec && it != end;
         it.increment(ec)) {
      std::error_code sizeError;
      const string name = it->path().filename().string();
      if (it->is_regular_file(sizeError) && name.size() > 4 && name.compare(name.size() - 4, 4, ".img") == 0)
        backup.disks.push_back({name.substr(0, name.size() - 4), it->file_size(sizeError)});
    }
  }
  for (const auto& disk : backup.disks) backup.logical += disk.size;
}

// False for a folder gone since the store was listed (a failed job's, removed by its job).
bool ReadListedBackup(const string& store, const string& name, SListedBackup& backup) {
  backup.folder = name;
  const string path = FXPath::Append(store, name);
  string ignored;
  if (!ReadBackupState(path, backup.state, ignored)) return false;
  const json& manifest = backup.state.manifest;
  const size_t dash = name.find('-');
  backup.jobId = std::stoll(name.substr(0, dash));
  backup.instance = name.substr(dash + 1);
  if (manifest.is_object()) {
    if (manifest.contains("job_id") && manifest["job_id"].is_number_integer())
      backup.jobId = manifest["job_id"].get<long long>();
    if (manifest.contains("instance") && manifest["instance"].is_object())
      backup.instance = manifest["instance"].value("name", backup.instance);
  }
  ListDisks(path, backup);
  backup.allocated = AllocatedBytes(path);
  return true;
}

string StatusShown(const SBackupState& state) {
  if (state.status != EBackupStatus::Incomplete) return StatusName(state.status);
  return string("incomplete (") + (state.running ? "running" : "killed") + ")";
}

json ToJson(const SListedBackup& backup) {
  json disks = json::array();
  for (const auto& disk : backup.disks) disks.push_back({{"name", disk.name}, {"size", disk.size}});
  json record = {{"job_id", backup.jobId},
                 {"instance", backup.instance},
                 {"folder", backup.folder},
                 {"time", IsoTimeUtc(backup.state.time)},
                 {"status", StatusName(backup.state.status)},
                 {"bytes_allocated", backup.allocated},
                 {"bytes_logical", backup.logical},
                 {"disk_count", backup.disks.size()},
                 {"disks", disks}};
  if (backup.state.status == EBackupStatus::Failed)
    record["failure"] = {{"step", backup.state.failedStep}, {"reason", backup.state.failedReason}};
  if (backup.state.status == EBackupStatus::Incomplete)
    record["job"] = !backup.state.manifestError.empty() ? "unreadable manifest"
                    : backup.state.running              ? "running"
                                                        : "killed";
  return record;
}

void PrintTable(const std::vector<SListedBackup>& backups) {
  std::printf("%-12s %-24s %-20s %-19s %5s %10s %10s\n", "JOB", "INSTANCE", "TIME (UTC)", "STATUS", "DISKS", "STORED",
              "SIZE");
  for (const auto& backup : backups) {
    std::printf("%-12lld %-24s %-20s %-19s %5zu %10s %10s\n", backup.jobId,
                cli::EscapeForDisplay(backup.instance).c_str(), IsoTimeUtc(backup.state.time).c_str(),
                StatusShown(backup.state).c_str(), backup.disks.size(), cli::ShownBytes(backup.allocated).c_str(),
                cli::ShownBytes(backup.logical).c_str());
    const string refusal = RefusalOf(backup.state);
    if (!refusal.empty()) std::printf("    %s\n", refusal.c_str());
  }
}

}  // namespace

int RunBackupsCommand(const SBackupsOptions& options) {
  CCommandReport report("backups", options.json);
  if (options.store.empty()) return report.UsageError("--store needs a folder path");
  std::vector<string> names;
  string error;
  if (!ListBackupFolders(options.store, names, error)) return report.Failed("backups", error);
  std::vector<SListedBackup> backups;
  for (const auto& name : names)
    if (!ReadListedBackup(options.store, name, backups.emplace_back())) backups.pop_back();
  std::stable_sort(backups.begin(), backups.end(), [](const SListedBackup& a, const SListedBackup& b) {
    return a.state.time != b.state.time ? a.state.time > b.state.time : a.jobId > b.jobId;
  });
  if (options.json) {
    json listed = json::array();
    for (const auto& backup : backups) listed.push_back(ToJson(backup));
    return report.Succeeded({{"store", options.store}, {"backups", listed}});
  } else if (backups.empty()) {
    std::fprintf(stderr, "backup-agent: the store [%s] holds no backup\n",
                 cli::EscapeForDisplay(options.store).c_str());
  } else {
    PrintTable(backups);
  }
  return kExitDone;
}

}  // namespace agent
