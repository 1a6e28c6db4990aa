#pragma once
// What a job is asked to do: the options of the backup, restore and replicate commands as the
// command line fills them in and the jobs read them.
#include <string>
#include <vector>

#include "host/HostTypes.h"

namespace agent {

struct SBackupOptions {
  string instance;      // name or id
  string store;         // backup store folder
  long long jobId = 0;  // 0: the first from the current time up that the store does not use
  bool json = false;
};

struct SRestoreOptions {
  string backupDir;             // a folder of a backup store
  string name;                  // --as: the new instance's name
  string compartment;           // default: the source's
  string availabilityDomain;    // default: the source's
  string shape;                 // default: the source's; "Auto Select" keeps the source's too
  std::vector<string> subnets;  // one network card each, the first primary; default: the source's cards
  bool overwrite = false;
  bool inPlace = false;
  bool powerOn = false;
  long long jobId = 0;      // 0: the first free one from the current time
  bool conversion = false;  // the disks come from another hypervisor: no source image
  string guestOs;
  long long cpus = 0;      // of a converted machine; 0: the source's
  long long memoryMB = 0;  // of a converted machine; 0: the source's
  string bucket;           // for a temporary image
  string launchMode;
  bool json = false;
};

struct SReplicateOptions {
  string backupDir;        // a folder of a backup store: the backup to sync
  string destination;      // --to: the destination instance's name
  bool firstSync = false;  // an instance of that name is a conflict that --overwrite decides
  bool forceFull = false;  // an instance of that name is deleted and a full sync runs
  bool overwrite = false;
  std::vector<string> deselected;  // index names of stored disks left out of the sync
  long long jobId = 0;             // 0: the first free one from the current time
  bool json = false;
};

}  // namespace agent
