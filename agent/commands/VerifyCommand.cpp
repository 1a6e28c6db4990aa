#include "agent/commands/VerifyCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/commands/BackupsOutput.h"
#include "agent/jobs/BackupVerify.h"
#include "agent/jobs/ExitStatus.h"
#include "cli/DisplayText.h"
#include "disk/DiskChecksum.h"

namespace agent {

using nlohmann::json;

namespace {

json ToJson(const SBackupVerdict& verdict, const string& backupDir, bool ok) {
  json disks = json::array(), files = json::array(), firstBad;
  for (const auto& disk : verdict.disks) {
    json record = {{"index_name", disk.indexName}, {"file", disk.file}, {"size", disk.size}, {"ok", disk.ok}};
    if (!disk.ok) record["problem"] = disk.problem;
    if (!disk.chunkNote.empty()) record["bad_chunk_unknown"] = disk.chunkNote;
    if (disk.badChunk >= 0) {
      const UINT64 offset = static_cast<UINT64>(disk.badChunk) * kChecksumChunk;
      record["bad_chunk"] = {{"index", disk.badChunk}, {"offset", offset}};
      if (firstBad.is_null()) firstBad = {{"disk", disk.indexName}, {"index", disk.badChunk}, {"offset", offset}};
    }
    disks.push_back(record);
  }
  for (const auto& file : verdict.files) {
    json record = {{"name", file.name}, {"ok", file.ok}};
    if (!file.ok) record["problem"] = file.problem;
    files.push_back(record);
  }
  json out = {{"ok", ok},       {"backup", backupDir}, {"status", StatusName(verdict.state.status)},
              {"disks", disks}, {"files", files},      {"first_bad_chunk", firstBad}};
  if (verdict.state.status == EBackupStatus::Failed)
    out["failure"] = {{"step", verdict.state.failedStep}, {"reason", verdict.state.failedReason}};
  return out;
}

void PrintText(const SBackupVerdict& verdict) {
  for (const auto& disk : verdict.disks) {
    std::printf("  disk %-40s %14llu bytes  %s\n", cli::EscapeForDisplay(disk.indexName).c_str(),
                static_cast<unsigned long long>(disk.size), disk.ok ? "good" : ("BAD: " + disk.problem).c_str());
    if (!disk.chunkNote.empty()) std::printf("       %s\n", disk.chunkNote.c_str());
  }
  for (const auto& file : verdict.files)
    std::printf("  file %-40s %s\n", cli::EscapeForDisplay(file.name).c_str(),
                file.ok ? "good" : ("BAD: " + file.problem).c_str());
}

// The failure of a backup whose stored disks and files were checked, or empty when it has none.
string Failure(const SBackupVerdict& verdict) {
  string bad;
  size_t count = 0;
  for (const auto& disk : verdict.disks)
    if (!disk.ok && ++count)
      bad += (bad.empty() ? "the disk [" : ", the disk [") + cli::EscapeForDisplay(disk.indexName) + "]";
  for (const auto& file : verdict.files)
    if (!file.ok && ++count)
      bad += (bad.empty() ? "the file [" : ", the file [") + cli::EscapeForDisplay(file.name) + "]";
  if (count)
    return "the backup is damaged: " + bad + (count == 1 ? " does" : " do") +
           " not match the manifest; restore from another backup";
  return RefusalOf(verdict.state);
}

}  // namespace

int RunVerifyCommand(const SVerifyOptions& options) {
  CCommandReport report("verify", options.json);
  if (options.backupDir.empty()) return report.UsageError("verify needs a backup folder (STORE/<job id>-<instance>)");
  SBackupVerdict verdict;
  string error;
  if (!VerifyBackup(options.backupDir, verdict, error))
    return report.Failed("verify",
                         "the backup [" + cli::EscapeForDisplay(options.backupDir) + "] cannot be verified: " + error);
  const string failure = Failure(verdict);
  const bool partial = verdict.state.status == EBackupStatus::Partial;
  const int code = !failure.empty() ? kExitFailed : partial ? kExitPartial : kExitDone;
  if (options.json) {
    json out = ToJson(verdict, options.backupDir, code == kExitDone);
    // A failed verify's object carries the verdict and the fields of every failure object.
    if (code != kExitDone)
      out.update({{"command", "verify"},
                  {"step", "verify"},
                  {"code", nullptr},
                  {"exit_code", code},
                  {"message", failure.empty() ? "partial backup" : failure}});
    PrintJson(out);
  } else {
    PrintText(verdict);
  }
  if (!failure.empty()) return Fail(failure);
  if (partial) {
    const size_t missing = verdict.state.manifest.value("missing_disks", json::array()).size();
    std::fprintf(stderr, "backup-agent: partial backup: %zu of %zu disks of the instance stored, all good\n",
                 verdict.disks.size(), verdict.disks.size() + missing);
  } else if (!options.json) {
    const auto count = [](size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); };
    std::printf("Backup [%s] verified: %s and %s as the manifest says\n",
                cli::EscapeForDisplay(options.backupDir).c_str(), count(verdict.disks.size(), "disk").c_str(),
                count(verdict.files.size(), "file").c_str());
  }
  return code;
}

}  // namespace agent
