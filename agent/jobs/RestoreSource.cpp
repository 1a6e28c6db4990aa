#include "agent/jobs/RestoreSource.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "agent/diskio/DiskWrite.h"
#include "agent/jobs/BackupState.h"
#include "agent/jobs/ChecksumJson.h"
#include "agent/jobs/NumberOption.h"
#include "cli/DisplayText.h"
#include "host/FXFile.h"

namespace agent {

using nlohmann::json;

namespace {

// The largest block volume the cloud makes: a larger disk cannot be restored.
constexpr long long kLargestDisk = 32LL << 40;

string Text(const json& object, const char* key) { return object.value(key, string()); }

// The CPU count or memory of the source (0 when an older agent did not store it); the plug-in counts
// them in int.
bool Figure(const json& instance, const char* key, INT64& value, string& error) {
  long long read = 0;
  const string field = string("instance.") + key;
  if (instance.contains(key) && !ReadWholeNumber(instance.at(key), field, 0, INT32_MAX, read, error)) return false;
  value = read;
  return true;
}

// True (with `error`) when the record `where` names a disk or file (`what` [key]) that an earlier
// record of `seen` named.
bool Repeats(std::map<string, string>& seen, const string& key, const string& where, const char* what, string& error) {
  const auto [first, inserted] = seen.emplace(key, where);
  if (!inserted) error = where + " repeats the " + what + " [" + cli::EscapeForDisplay(key) + "] of " + first->second;
  return !inserted;
}

bool Parse(const json& manifest, const string& backupDir, SRestoreSource& source, string& error) {
  if (!manifest.value("complete", false)) {
    error = "the backup is partial: a disk of the instance is missing";
    return false;
  }
  const json& instance = manifest.at("instance");
  source.flavour = manifest.value("flavour", string("infrastructure"));
  source.name = instance.at("name").get<string>();
  source.guid = instance.at("guid").get<string>();
  if (!instance.contains("shape") || !instance.contains("compartment_id") ||
      !instance.contains("availability_domain")) {
    error = "the backup lacks the source's placement and shape (stored by an older agent)";
    return false;
  }
  source.compartmentId = Text(instance, "compartment_id");
  source.availabilityDomain = Text(instance, "availability_domain");
  source.shape = Text(instance, "shape");
  if (!Figure(instance, "cpus", source.cpuCount, error) || !Figure(instance, "memory_mb", source.memoryMB, error))
    return false;
  source.imageId = Text(instance, "image_id");
  source.regionKey = Text(instance, "region_key");
  for (const auto& card : instance.value("network_cards", json::array())) {
    VMInfoStructs::SVMNetworkCard restored;
    restored.name = Text(card, "name");
    restored.subnetId = Text(card, "subnet_id");
    restored.isPrimary = card.value("primary", false);
    source.networkCards.push_back(restored);
  }
  // Each disk once: a repeated one would get a volume of its own.
  std::map<string, string> indexNames, diskFiles, configFiles;
  string boot;  // the record of the boot disk
  for (const auto& disk : manifest.at("disks")) {
    const string where = "disks[" + std::to_string(source.disks.size()) + "]";
    SStoredDisk stored;
    stored.boot = disk.at("boot").get<bool>();
    if (!ReadStoredDiskRecord(disk, where, backupDir, kLargestDisk, stored, error)) return false;
    if (Repeats(indexNames, stored.indexName, where, "disk", error) ||
        Repeats(diskFiles, FXPath::GetFileName(stored.path), where, "file", error))
      return false;
    if (stored.boot && !boot.empty()) {
      error = where + " is a second boot disk (" + boot + " is one)";
      return false;
    }
    if (stored.boot) boot = where;
    source.disks.push_back(stored);
  }
  if (boot.empty()) {
    error = "the backup holds no boot disk";
    return false;
  }
  for (const auto& file : manifest.at("files")) {
    SStoredFile stored;
    stored.name = file.at("name").get<string>();
    stored.sha256 = file.at("sha256").get<string>();
    stored.mainConfig = file.value("main_config", false);
    if (!FXPath::IsBareName(stored.name)) {
      error = "the backup names a configuration file [" + cli::EscapeForDisplay(stored.name) + "] outside its folder";
      return false;
    }
    if (Repeats(configFiles, stored.name, "files[" + std::to_string(source.files.size()) + "]", "file", error))
      return false;
    stored.path = FXPath::Append(FXPath::Append(backupDir, "config"), stored.name);
    if (stored.mainConfig) source.mainConfigName = stored.name;
    source.files.push_back(stored);
  }
  // A classic instance is described by its orchestration and storage files, none of them the main one.
  if (source.mainConfigName.empty() && source.flavour != "classic") {
    error = "the backup holds no main configuration file";
    return false;
  }
  return true;
}

}  // namespace

bool ReadStoredDiskRecord(const json& disk, const string& where, const string& backupDir, long long largest,
                          SStoredDisk& stored, string& error) {
  long long size = 0;
  if (!ReadWholeNumber(disk.at("size"), where + ".size", 1, largest, size, error) ||
      !ChecksumFromJson(disk, where, stored.checksum, error))
    return false;
  stored.size = static_cast<UINT64>(size);
  stored.indexName = disk.at("index_name").get<string>();
  stored.displayName = disk.at("display_name").get<string>();
  const string file = disk.at("file").get<string>();
  if (!FXPath::IsBareName(file)) {
    error = "the backup names a disk file [" + cli::EscapeForDisplay(file) + "] outside its folder";
    return false;
  }
  stored.path = FXPath::Append(FXPath::Append(backupDir, "disks"), file);
  return true;
}

bool ParseRestoreSource(const string& text, const string& backupDir, SRestoreSource& source, string& error) {
  source = SRestoreSource();
  try {
    if (Parse(json::parse(text), backupDir, source, error)) return true;
  } catch (const json::exception& e) {
    error = string("malformed manifest: ") + e.what();
  }
  error = "the backup [" + cli::EscapeForDisplay(backupDir) + "] cannot be restored: " + error;
  return false;
}

bool LoadRestoreSource(const string& backupDir, SRestoreSource& source, string& error) {
  // Whoever may write into the folder or its disks could have swapped a disk and its checksum alike.
  for (const string& folder : {backupDir, FXPath::Append(backupDir, "disks")}) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      error = "the backup folder [" + cli::EscapeForDisplay(folder) + "] can be written by others (mode " + mode +
              "): its disks may have been swapped; it is not restored from";
      return false;
    }
  }
  // A failed backup, and a folder whose job is running or was killed, hold no backup to restore from.
  SBackupState state;
  string ignored;  // a folder that cannot be read is named by the manifest's read below
  if (ReadBackupState(backupDir, state, ignored) && state.manifestError.empty()) {
    error = RefusalOf(state);
    if (!error.empty()) return false;
  }
  const string path = FXPath::Append(backupDir, "manifest.json");
  string text;
  if (!ReadWholeFile(path, text)) {
    error = "cannot read [" + cli::EscapeForDisplay(path) + "]";
    return false;
  }
  if (!ParseRestoreSource(text, backupDir, source, error)) return false;
  // What the manifest says of each stored disk that can be seen without reading its data.
  for (const auto& disk : source.disks) {
    SFd in;
    if (!OpenStoredDisk(disk.path, disk.size, in, error)) {
      error =
          "the backup [" + cli::EscapeForDisplay(backupDir) + "] cannot be restored: " + cli::EscapeForDisplay(error);
      return false;
    }
  }
  return true;
}

}  // namespace agent
