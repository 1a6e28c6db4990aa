// Leftovers of jobs, and bulk contents for scale tests.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimLeaks.h"
#include "bridge/sim/SimPopulate.h"

namespace cloudsim {

int RunLeaks(const std::string& sandbox, bool json, const std::vector<std::string>& keep) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    std::vector<sim::SLeak> leaks = sim::ListLeaks(*cloud, keep);
    if (json) {
      nlohmann::json out = nlohmann::json::array();
      for (const sim::SLeak& leak : leaks) out.push_back({{"kind", leak.kind}, {"id", leak.id}, {"name", leak.name}});
      PrintJson(out);
    } else if (leaks.empty()) {
      printf("No leaks.\n");
    } else {
      for (const sim::SLeak& leak : leaks) {
        std::string name = leak.name.empty() ? "" : "  [" + Shown(leak.name) + "]";
        printf("%-10s %s%s\n", leak.kind.c_str(), Shown(leak.id).c_str(), name.c_str());
      }
    }
    return leaks.empty() ? 0 : 1;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunPopulate(const std::string& sandbox, long long compartments, long long instancesEach, bool json) {
  if (compartments * instancesEach > sim::kPopulateMaxInstances) {
    return UsageFailure("--compartments times --instances must be at most " +
                        std::to_string(sim::kPopulateMaxInstances) + ", not " +
                        std::to_string(compartments * instancesEach));
  }
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    sim::Populate(*cloud, compartments, instancesEach);
    if (json) {
      PrintJson({{"compartments", compartments},
                 {"instances_each", instancesEach},
                 {"instances", compartments * instancesEach},
                 {"boot_volumes", compartments * instancesEach}});
    } else {
      printf("Added %lld compartments with %lld running instances each\n", compartments, instancesEach);
    }
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
