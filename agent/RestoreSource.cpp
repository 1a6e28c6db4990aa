#include "agent/RestoreSource.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/ChecksumJson.h"
#include "agent/DisplayText.h"
#include "host/FXFile.h"

using nlohmann::json;

namespace {

string Text(const json& object, const char* key) { return object.value(key, string()); }

bool Parse(const json& manifest, const string& backupDir, SRestoreSource& source, string& error) {
  if (!manifest.value("complete", false)) {
    error = "the backup is partial: a disk of the instance is missing";
    return false;
  }
  const json& instance = manifest.at("instance");
  source.flavour = manifest.value("flavour", string("infrastructure"));
  source.name = instance.at("name").get<string>();
  source.guid = instance.at("guid").get<string>();
  if (!instance.contains("shape") || !instance.contains("compartment_id") || !instance.contains("availability_domain")) {
    error = "the backup lacks the source's placement and shape (stored by an older agent)";
    return false;
  }
  source.compartmentId = Text(instance, "compartment_id");
  source.availabilityDomain = Text(instance, "availability_domain");
  source.shape = Text(instance, "shape");
  source.cpuCount = instance.value("cpus", INT64(0));
  source.memoryMB = instance.value("memory_mb", INT64(0));
  source.imageId = Text(instance, "image_id");
  source.regionKey = Text(instance, "region_key");
  for (const auto& card : instance.value("network_cards", json::array())) {
    VMInfoStructs::SVMNetworkCard restored;
    restored.name = Text(card, "name");
    restored.subnetId = Text(card, "subnet_id");
    restored.isPrimary = card.value("primary", false);
    source.networkCards.push_back(restored);
  }
  for (const auto& disk : manifest.at("disks")) {
    SStoredDisk stored;
    stored.boot = disk.at("boot").get<bool>();
    stored.size = disk.at("size").get<UINT64>();
    stored.indexName = disk.at("index_name").get<string>();
    stored.displayName = disk.at("display_name").get<string>();
    stored.checksum = ChecksumFromJson(disk);
    const string file = disk.at("file").get<string>();
    if (!FXPath::IsBareName(file)) {
      error = "the backup names a disk file [" + EscapeForDisplay(file) + "] outside its folder";
      return false;
    }
    stored.path = FXPath::Append(FXPath::Append(backupDir, "disks"), file);
    source.disks.push_back(stored);
  }
  if (std::none_of(source.disks.begin(), source.disks.end(), [](const SStoredDisk& d) { return d.boot; })) {
    error = "the backup holds no boot disk";
    return false;
  }
  for (const auto& file : manifest.at("files")) {
    SStoredFile stored;
    stored.name = file.at("name").get<string>();
    stored.sha256 = file.at("sha256").get<string>();
    stored.mainConfig = file.value("main_config", false);
    if (!FXPath::IsBareName(stored.name)) {
      error = "the backup names a configuration file [" + EscapeForDisplay(stored.name) + "] outside its folder";
      return false;
    }
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

bool ParseRestoreSource(const string& text, const string& backupDir, SRestoreSource& source, string& error) {
  source = SRestoreSource();
  try {
    if (Parse(json::parse(text), backupDir, source, error)) return true;
  } catch (const json::exception& e) {
    error = string("malformed manifest: ") + e.what();
  }
  error = "the backup [" + EscapeForDisplay(backupDir) + "] cannot be restored: " + error;
  return false;
}

bool LoadRestoreSource(const string& backupDir, SRestoreSource& source, string& error) {
  // Whoever may write into the folder or its disks could have swapped a disk and its checksum alike.
  for (const string& folder : {backupDir, FXPath::Append(backupDir, "disks")}) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      error = "the backup folder [" + EscapeForDisplay(folder) + "] can be written by others (mode " + mode +
              "): its disks may have been swapped; it is not restored from";
      return false;
    }
  }
  const string path = FXPath::Append(backupDir, "manifest.json");
  string text;
  if (!ReadWholeFile(path, text)) {
    error = "cannot read [" + EscapeForDisplay(path) + "]";
    return false;
  }
  return ParseRestoreSource(text, backupDir, source, error);
}
