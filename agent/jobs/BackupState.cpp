#include "agent/jobs/BackupState.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "agent/jobs/BackupFolder.h"
#include "cli/DisplayText.h"
#include "host/FXFile.h"

namespace agent {

using nlohmann::json;

const char* StatusName(EBackupStatus status) {
  switch (status) {
    case EBackupStatus::Complete:
      return "complete";
    case EBackupStatus::Partial:
      return "partial";
    case EBackupStatus::Failed:
      return "failed";
    case EBackupStatus::Incomplete:
      break;
  }
  return "incomplete";
}

bool ReadBackupState(const string& folder, SBackupState& state, string& error) {
  state = SBackupState();
  struct stat st {};
  const bool found = ::lstat(folder.c_str(), &st) == 0;
  if (!found || !S_ISDIR(st.st_mode)) {
    error = "[" + cli::EscapeForDisplay(folder) + "] " +
            (!found && errno == ENOENT ? "does not exist" : "is not a backup folder");
    return false;
  }
  state.time = static_cast<long long>(st.st_mtime);
  string text;
  if (ReadRegularFile(FXPath::Append(folder, kManifestFile), text)) {
    state.manifest = json::parse(text, nullptr, false);
    if (state.manifest.is_discarded() || !state.manifest.is_object()) {
      state.manifest = json();
      state.manifestError = "its manifest cannot be parsed";
    } else {
      state.status = state.manifest.value("complete", false) ? EBackupStatus::Complete : EBackupStatus::Partial;
      if (state.manifest.contains("created") && state.manifest["created"].is_number_integer())
        state.time = state.manifest["created"].get<long long>();
    }
  }
  if (ReadRegularFile(FXPath::Append(folder, kFailedMarker), text)) {
    const json marker = json::parse(text, nullptr, false);
    state.status = EBackupStatus::Failed;
    state.failedStep = "unknown";
    state.failedReason = "its failure marker cannot be read";
    if (marker.is_object()) {
      state.failedStep = marker.value("step", state.failedStep);
      state.failedReason = marker.value("reason", state.failedReason);
      if (marker.contains("time") && marker["time"].is_number_integer()) state.time = marker["time"].get<long long>();
    }
    return true;
  }
  if (state.manifest.is_null()) state.running = IsBackupRunning(folder);
  return true;
}

string RefusalOf(const SBackupState& state) {
  if (state.status == EBackupStatus::Failed)
    return "this backup failed at " + cli::EscapeForDisplay(state.failedStep) + ": " +
           cli::EscapeForDisplay(state.failedReason) + "; take another backup of the instance";
  if (state.status != EBackupStatus::Incomplete) return "";
  if (!state.manifestError.empty()) return "this folder holds no finished backup: " + state.manifestError;
  return state.running ? "this folder holds no finished backup: its job is still running; wait for it to end"
                       : "this folder holds no finished backup: it has no manifest.json and no job holds it (a "
                         "backup killed before it wrote its manifest, or no backup folder at all); take another "
                         "backup of the instance";
}

}  // namespace agent
