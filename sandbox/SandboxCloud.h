#pragma once
// Opens the cloud of an existing sandbox for the commands that inspect or configure it.
#include <memory>
#include <string>

#include "bridge/sim/SimCloud.h"

namespace cloudsim {

// Throws sim::CSimError naming the folder when it holds no sandbox.
std::unique_ptr<sim::CSimCloud> OpenSandboxCloud(const std::string& sandbox);

}  // namespace cloudsim
