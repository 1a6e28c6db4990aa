#pragma once
// The configuration texts a backup saves with an instance, keyed by the suffix of the file each
// becomes. Infrastructure: ".json", the instance's configuration. Classic: "_instance.json" (the
// instance orchestration), "_storage.json" (its storage volumes) and "_master.json" (the master
// orchestration tying both together).
#include <map>
#include <string>

#include "bridge/sim/SimCloud.h"

namespace sim {

// `idOrUri`: the instance's id or its uri. Throws CSimRefused naming it when there is none.
std::map<std::string, std::string> InstanceConfigurations(CSimCloud& cloud, const std::string& idOrUri);

}  // namespace sim
