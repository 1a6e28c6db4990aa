// The proxy's devices of a sandbox: binding and releasing a volume's loop device (for the sandbox's
// iscsiadm), the loop devices sandboxes hold, and a sandbox's removal.
#include <cstdio>
#include <filesystem>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimLoopDevices.h"

namespace cloudsim {

namespace {

// Exit 1 when any: the answer a script asks for.
int ListLoops(const std::vector<sim::SBoundLoop>& loops, bool json) {
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const sim::SBoundLoop& loop : loops) out.push_back({{"device", loop.device}, {"file", loop.file}});
    PrintJson(out);
  } else {
    for (const sim::SBoundLoop& loop : loops) printf("%s %s\n", Shown(loop.device).c_str(), Shown(loop.file).c_str());
  }
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

int RunLoops(const std::string& sandbox, bool all, bool json) {
  if (all) return ListLoops(sim::SandboxLoopDevices(), json);
  if (sandbox.empty()) return UsageFailure("give the sandbox: --sandbox DIR (or set CLOUD_SANDBOX), or --all");
  return ListLoops(sim::LoopDevicesUnder(sandbox), json);
}

int RunRemove(const std::string& dir) {
  if (!std::filesystem::exists(dir + "/sandbox.ini"))
    return Failure("[" + dir + "] holds no sandbox: remove takes a folder that cloud-sim init made");
  const std::vector<sim::SBoundLoop> left = sim::ReleaseLoopDevicesUnder(dir);
  if (!left.empty()) {
    std::string devices;
    for (const sim::SBoundLoop& loop : left) devices += " " + loop.device;
    return Failure("Loop devices of [" + dir + "] stay bound (" + devices.substr(1) +
                   "); the sandbox is kept: end what uses them and run remove again");
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (ec) return Failure("Cannot remove [" + dir + "]: " + ec.message());
  return 0;
}

}  // namespace cloudsim
