#pragma once
// What a restore reads from a stored backup: its manifest.json, the stored disks and the saved
// configuration files of the source instance.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "disk/DiskChecksum.h"
#include "host/VMInfoStructs.h"

namespace agent {

struct SStoredDisk {
  bool boot = false;
  UINT64 size = 0;  // bytes of the stored disk
  string indexName;
  string displayName;
  string path;  // the stored disk file
  SDiskChecksum checksum;
};

struct SStoredFile {
  string name;  // file name, as the backup saved it
  string path;
  string sha256;
  bool mainConfig = false;
};

struct SRestoreSource {
  string flavour;  // of the cloud the backup was made in
  string name;
  string guid;
  string compartmentId;
  string availabilityDomain;
  string shape;
  INT64 cpuCount = 0;
  INT64 memoryMB = 0;
  string imageId;
  string regionKey;
  std::vector<VMInfoStructs::SVMNetworkCard> networkCards;
  std::vector<SStoredDisk> disks;
  std::vector<SStoredFile> files;
  string mainConfigName;  // the main configuration's file name
};

// Reads the manifest's disk record `disk` (named `where` in errors, e.g. "disks[1]") of the backup in
// `backupDir`: its size (a plain integer from 1 to `largest`), checksum, names and stored file, which
// must be a bare name inside the folder's "disks". The boot flag is the caller's. False with `error`.
bool ReadStoredDiskRecord(const nlohmann::json& disk, const string& where, const string& backupDir, long long largest,
                          SStoredDisk& stored, string& error);

// Refuses a failed backup (its marker: "this backup failed at STEP: REASON") and a folder without
// manifest nor marker ("this folder holds no finished backup"). Then reads BACKUP_DIR/manifest.json
// and looks at every stored disk as OpenStoredDisk does, all before a job makes anything. Refuses a partial backup, one
// an older agent stored without what a restore needs, one without a boot disk or with two, a disk or file listed twice,
// a number that is not a plain integer in its range (a disk of 1 byte up to the largest volume of the cloud), a disk
// without its checksum, names of stored files that would leave the folder, and a stored disk that is missing, a link,
// not a regular file or not of the manifest's size. Each refusal names the field or the file.
bool LoadRestoreSource(const string& backupDir, SRestoreSource& source, string& error);
// The same for the manifest's text alone, as if read from BACKUP_DIR (no stored disk is looked at).
bool ParseRestoreSource(const string& text, const string& backupDir, SRestoreSource& source, string& error);

}  // namespace agent
