#include "agent/jobs/ReplicationState.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "agent/diskio/ChunkDigests.h"
#include "agent/diskio/DiskRegions.h"
#include "agent/jobs/BackupFolder.h"
#include "agent/jobs/ChecksumJson.h"
#include "cli/DisplayText.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/HostEnvironment.h"

namespace agent {

using nlohmann::json;

namespace {

string ReplicationFolder() { return HostEnvironment::UnderHome("replication"); }

// The destination's file name without its extension.
string StateFileStem(const string& destination) {
  string safe = SafeFileName(destination);
  if (safe == destination) return safe;
  return safe + "~" + Sha256Hex(destination).substr(0, 16);
}

// The folder of the destination's chunk digest files.
string DigestFolder(const string& destination) {
  return FXPath::Append(ReplicationFolder(), StateFileStem(destination) + ".chunks");
}

string DigestFileName(const SReplicatedDisk& disk) { return disk.checksum.hex + ".digests"; }

std::vector<string> Strings(const json& root, const char* key) {
  std::vector<string> out;
  if (root.contains(key))
    for (const json& item : root.at(key)) out.push_back(item.get<string>());
  return out;
}

// The digests a disk record names, from `folder` (none read when empty). A file that is gone or
// does not hash to the disk's checksum leaves the disk without digests: the sync then compares
// with the backup last synced, as for a state of an older agent.
bool ReadDigests(const json& disk, const string& folder, SReplicatedDisk& synced, string& error) {
  const string name = disk.value("chunk_digests", string());
  synced.size = disk.value("size", UINT64(0));
  if (name.empty()) return true;
  if (!FXPath::IsBareName(name)) {
    error = "a disk record names its chunk digests with a path";
    return false;
  }
  string digests;
  if (!folder.empty() && ReadRegularFile(FXPath::Append(folder, name), digests) &&
      DigestsMatch(digests, synced.size, synced.checksum))
    synced.digests = std::move(digests);
  return true;
}

bool ParseGeneration(const json& root, const string& folder, SReplicatedGeneration& generation, string& error) {
  generation.instanceId = root.at("instance_id").get<string>();
  generation.backupDir = root.at("backup").get<string>();
  generation.sourceName = root.value("source_name", string());
  generation.sourceId = root.value("source_id", string());
  std::set<string> indexNames;
  for (const json& disk : root.at("disks")) {
    SReplicatedDisk synced;
    synced.indexName = disk.at("index_name").get<string>();
    synced.displayName = disk.at("display_name").get<string>();
    synced.volumeId = disk.at("volume_id").get<string>();
    synced.snapshotId = disk.at("snapshot_id").get<string>();
    if (!ChecksumFromJson(disk, "a disk record", synced.checksum, error) || !ReadDigests(disk, folder, synced, error))
      return false;
    if (synced.indexName.empty() || synced.volumeId.empty() || !indexNames.insert(synced.indexName).second) {
      error = "a disk record lacks its index name or volume, or repeats an index name";
      return false;
    }
    generation.disks.push_back(synced);
  }
  // A first sync that did not record its end has no destination yet, only a pending one.
  const bool none = generation.instanceId.empty() && generation.disks.empty() && generation.backupDir.empty();
  if (!none && (generation.backupDir.empty() || generation.backupDir[0] != '/')) {
    error = "the backup last synced is not an absolute path";
    return false;
  }
  return true;
}

bool Parse(const json& root, const string& destination, const string& folder, SReplicationState& state, string& error) {
  state.destination = root.at("destination").get<string>();
  if (!ParseGeneration(root, folder, state, error)) return false;
  if (root.contains("pending") && !ParseGeneration(root.at("pending"), folder, state.pending, error)) return false;
  if (root.contains("pending") && state.pending.instanceId.empty()) {
    error = "the pending destination has no instance";
    return false;
  }
  if (root.contains("retired")) {
    const json& retired = root.at("retired");
    state.retiredInstances = Strings(retired, "instances");
    state.retiredVolumes = Strings(retired, "volumes");
    state.retiredSnapshots = Strings(retired, "snapshots");
  }
  if (state.destination != destination) {
    error = "it belongs to the destination [" + cli::EscapeForDisplay(state.destination) + "]";
    return false;
  }
  return true;
}

bool ParseText(const string& text, const string& destination, const string& folder, SReplicationState& state,
               string& error) {
  state = SReplicationState();
  try {
    return Parse(json::parse(text), destination, folder, state, error);
  } catch (const json::exception& e) {
    error = string("malformed: ") + e.what();
  }
  return false;
}

json GenerationJson(const SReplicatedGeneration& generation) {
  json disks = json::array();
  for (const auto& disk : generation.disks) {
    json record = {{"index_name", disk.indexName},
                   {"display_name", disk.displayName},
                   {"volume_id", disk.volumeId},
                   {"snapshot_id", disk.snapshotId}};
    ChecksumToJson(record, disk.checksum);
    if (!disk.digests.empty()) {
      record["size"] = disk.size;
      record["chunk_digests"] = DigestFileName(disk);
    }
    disks.push_back(record);
  }
  return {{"instance_id", generation.instanceId},
          {"backup", generation.backupDir},
          {"source_name", generation.sourceName},
          {"source_id", generation.sourceId},
          {"disks", disks}};
}

// Writes the digest files the state names that are not there yet (a file's name is the checksum its
// content hashes to, so one that is there holds them).
bool SaveDigests(const SReplicationState& state, std::set<string>& names, string& error) {
  const string folder = DigestFolder(state.destination);
  for (const SReplicatedGeneration* generation : {static_cast<const SReplicatedGeneration*>(&state), &state.pending}) {
    for (const auto& disk : generation->disks) {
      if (disk.digests.empty() || !names.insert(DigestFileName(disk)).second) continue;
      const string path = FXPath::Append(folder, DigestFileName(disk));
      struct stat st;
      if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create [" + cli::EscapeForDisplay(folder) + "]: " + ErrnoText(errno);
        return false;
      }
      if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) continue;
      if (!WriteWholeFile(path, disk.digests)) {
        error = "cannot write the chunk digests [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(errno);
        return false;
      }
    }
  }
  return true;
}

// Removes the digest files (and what an interrupted write left) that `names` does not hold.
void RemoveOtherDigests(const string& destination, const std::set<string>& names) {
  const string folder = DigestFolder(destination);
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const string name = entry->d_name;
    if (name != "." && name != ".." && !names.count(name)) stale.push_back(name);
  }
  ::closedir(dir);
  for (const auto& name : stale) ::unlink(FXPath::Append(folder, name).c_str());
}

}  // namespace

const SReplicatedDisk* SReplicatedGeneration::Find(const string& indexName) const {
  for (const auto& disk : disks)
    if (disk.indexName == indexName) return &disk;
  return nullptr;
}

string ReplicationStatePath(const string& destination) {
  return FXPath::Append(ReplicationFolder(), StateFileStem(destination) + ".json");
}

bool LoadReplicationState(const string& destination, SReplicationState& state, bool& found, string& error) {
  state = SReplicationState();
  const string path = ReplicationStatePath(destination);
  struct stat st;
  found = ::lstat(path.c_str(), &st) == 0;
  if (!found && errno == ENOENT) return true;
  string text;
  if (!found || !S_ISREG(st.st_mode) || !ReadRegularFile(path, text)) {
    error = "the replication state [" + cli::EscapeForDisplay(path) + "] is not a readable regular file";
    found = true;
    return false;
  }
  string why;
  if (ParseText(text, destination, DigestFolder(destination), state, why)) return true;
  error = "the replication state [" + cli::EscapeForDisplay(path) + "] is corrupt: " + why;
  return false;
}

bool ParseReplicationState(const string& text, const string& destination, SReplicationState& state, string& error) {
  return ParseText(text, destination, "", state, error);
}

bool SaveReplicationState(const SReplicationState& state, string& error) {
  json root = GenerationJson(state);
  root["destination"] = state.destination;
  if (!state.pending.instanceId.empty()) root["pending"] = GenerationJson(state.pending);
  if (!state.retiredInstances.empty() || !state.retiredVolumes.empty() || !state.retiredSnapshots.empty())
    root["retired"] = {{"instances", state.retiredInstances},
                       {"volumes", state.retiredVolumes},
                       {"snapshots", state.retiredSnapshots}};
  const string path = ReplicationStatePath(state.destination);
  std::set<string> digests;
  if (!SaveDigests(state, digests, error)) return false;
  if (WriteWholeFile(path, root.dump(2, ' ', false, json::error_handler_t::replace) + "\n")) {
    RemoveOtherDigests(state.destination, digests);
    return true;
  }
  error = "cannot write the replication state [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(errno);
  return false;
}

bool CReplicationLock::Acquire(const string& destination, string& error) {
  const string folder = ReplicationFolder();
  struct stat st;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot create [" + cli::EscapeForDisplay(folder) + "]: " + ErrnoText(errno);
    return false;
  }
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "[" + cli::EscapeForDisplay(folder) + "] is not a folder";
    return false;
  }
  const string path = FXPath::Append(folder, StateFileStem(destination) + ".lock");
  bool opened = false;
  if (lock_.TryAcquire(path, &opened)) return true;
  const int cause = errno;
  error = !opened                ? "cannot open the lock [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(cause)
          : cause == EWOULDBLOCK ? "another replication to [" + cli::EscapeForDisplay(destination) +
                                       "] is running (it holds [" + cli::EscapeForDisplay(path) + "])"
                                 : "cannot lock [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(cause);
  return false;
}

}  // namespace agent
