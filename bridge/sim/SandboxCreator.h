#pragma once
// Makes a sandbox: one folder that stands for the proxy (its platform root and the agent's home)
// and for the cloud it lives in.
//   cloud/    the simulated cloud (cloud.db, volumes/, objects/, iscsi/, the tools' call logs)
//   root/     the proxy's platform root (DMI identity, cloud-init instance id, dev/disk/by-path/)
//   home/     the agent's home (etc/platform.ini, registry/, log/, the VDDK kit VMware/vddk/VDDK673/)
//   bin/      tools found first on PATH (iscsiadm; SandboxTools.h)
//   store/    the stand-in agent's backup store
//   api/      the API user of a sandbox on the REST backend (SandboxApiUser.h)
//   sandbox.ini  [Sandbox] flavour=..., cloud=<abs>/cloud, backend=sim|rest
#include <string>

#include "bridge/sim/CloudSeeder.h"
#include "bridge/sim/SimFlavour.h"

namespace sim {

constexpr const char* kSandboxIni = "sandbox.ini";

struct SSandbox {
  std::string dir;       // absolute
  std::string cloudDir;  // <dir>/cloud
  EFlavour flavour = EFlavour::Infrastructure;
  std::string proxyId;       // the proxy instance's id in the cloud
  bool restBackend = false;  // its jobs reach the cloud over the REST API (`cloud-sim serve`)
};

// Throws CSimError when `dir` already holds a sandbox or cannot be made, or when the boot volume
// size is out of range (tests choose small volumes: every disk a job copies is hashed twice). The
// REST backend serves the infrastructure flavour only.
SSandbox CreateSandbox(const std::string& dir, EFlavour flavour, uint64_t bootVolumeMiB = kDefaultBootVolumeMiB,
                       bool restBackend = false);

// True when `dir` holds a sandbox (its sandbox.ini or its cloud database).
bool HoldsSandbox(const std::string& dir);

}  // namespace sim
