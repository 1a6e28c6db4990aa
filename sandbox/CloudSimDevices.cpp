// The proxy's devices of a sandbox: binding and releasing a volume's loop device (for the sandbox's
// iscsiadm), the loop devices sandboxes hold, and a sandbox's removal.
#include <cstdio>
#include <filesystem>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimLoopDevices.h"

namespace cloudsim {

namespace {

int ListLoops(const std::vector<sim::SBoundLoop>& loops) {
  for (const sim::SBoundLoop& loop : loops) printf("%s %s\n", loop.device.c_str(), loop.file.c_str());
  return loops.empty() ? 0 : 1;
}

}  // namespace

int RunDeviceBind(const std::string& sandbox, const std::string& file) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    const bool fileLinks = cloud->Read([](sim::CSimDb& db) { return sim::KeepsFileLinks(db); });
    printf("%s\n", sim::ProxyDeviceFor(fileLinks, file).c_str());
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunDeviceRelease(const std::string& device, const std::string& file) {
  if (sim::ReleaseLoopDevice(device, file)) return 0;
  return Failure("Cannot release [" + device + "] of [" + file + "]");
}

int RunLoops(const std::string& sandbox, bool all) {
  if (all) return ListLoops(sim::SandboxLoopDevices());
  if (sandbox.empty()) return Failure("Give --sandbox DIR, or --all");
  return ListLoops(sim::LoopDevicesUnder(sandbox));
}

int RunRemove(const std::string& dir) {
  if (!std::filesystem::exists(dir + "/sandbox.ini")) return Failure("[" + dir + "] holds no sandbox");
  const std::vector<sim::SBoundLoop> left = sim::ReleaseLoopDevicesUnder(dir);
  if (!left.empty()) {
    ListLoops(left);
    return Failure("Loop devices of [" + dir + "] stay bound; the sandbox is kept");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (ec) return Failure("Cannot remove [" + dir + "]: " + ec.message());
  return 0;
}

}  // namespace cloudsim
