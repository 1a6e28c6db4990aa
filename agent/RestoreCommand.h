#pragma once
#include <string>
#include <vector>

#include "agent/AgentSandbox.h"

struct SRestoreOptions {
  string backupDir;                // a folder of a backup store
  string name;                     // --as: the new instance's name
  string compartment;              // default: the source's
  string availabilityDomain;       // default: the source's
  string shape;                    // default: the source's; "Auto Select" keeps the source's too
  std::vector<string> subnets;     // one network card each, the first primary; default: the source's cards
  bool overwrite = false;
  bool inPlace = false;
  bool powerOn = false;
  long long jobId = 0;             // 0: the first free one from the current time
  bool conversion = false;         // the disks come from another hypervisor: no source image
  string guestOs;
  long long cpus = 0;              // of a converted machine; 0: the source's
  long long memoryMB = 0;          // of a converted machine; 0: the source's
  string bucket;                   // for a temporary image
  string launchMode;
  bool json = false;
};

// `restore`: the agent's road of a full instance restore from a stored backup. InitRestoreVM creates
// and attaches the volumes, every stored disk is written into its volume and verified, then
// PreRestoreVM, RestoreVM and PostRestoreVM; CleanupRestoreVM after any failed phase or disk write.
// The plug-in works on copies of the saved configuration in a per-job folder of the agent's home,
// removed at the end. Returns 0 when every disk was written and verified and every phase succeeded,
// 1 on failure, 2 on a usage error.
int RunRestoreCommand(const SAgentSandbox& sandbox, const SRestoreOptions& options);
