#include <cstdio>

#include "CloudSimCommands.h"
#include "bridge/sim/SandboxCreator.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimLoopDevices.h"

namespace cloudsim {

int RunInit(const std::string& dir, const std::string& flavourName, uint64_t bootVolumeMiB, const std::string& backend,
            bool fileLinks) {
  auto flavour = sim::ParseFlavour(flavourName);
  if (!flavour) return Failure("Unknown flavour [" + flavourName + "]: use infrastructure or classic");
  if (backend != "sim" && backend != "rest") return Failure("Unknown backend [" + backend + "]: use sim or rest");
  try {
    sim::SSandbox sandbox = sim::CreateSandbox(dir, *flavour, bootVolumeMiB, backend == "rest");
    printf("Created %s sandbox [%s]\nproxy instance: %s\n", sim::FlavourName(sandbox.flavour), sandbox.dir.c_str(),
           sandbox.proxyId.c_str());
    if (fileLinks) {
      OpenSandboxCloud(sandbox.dir)->SetMeta(sim::kMetaProxyDevices, sim::kProxyDevicesFiles);
      printf("attached volumes: links to their files, not block devices (--file-links)\n");
    }
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
