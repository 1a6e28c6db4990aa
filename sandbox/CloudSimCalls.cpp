#include <cstdio>

#include <nlohmann/json.hpp>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimFaults.h"

namespace cloudsim {

int RunCalls(const std::string& sandbox, bool json, bool reset) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    sim::CSimFaults faults(*cloud);
    if (reset) {
      faults.ResetCounters();
      if (!json) printf("Call counters reset\n");
      return EndWithoutData(0, json);
    }
    auto counters = faults.Counters();
    if (json) {
      PrintJson(counters);
    } else {
      for (const auto& [op, count] : counters) printf("%-36s %lld\n", Shown(op).c_str(), static_cast<long long>(count));
    }
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
