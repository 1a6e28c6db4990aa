#pragma once
// The configuration texts a backup saves with an instance, keyed by the suffix of the file each
// becomes. Infrastructure: ".json", the instance's configuration. Classic: "_instance.json" (the
// instance orchestration), "_storage.json" (its storage volumes) and "_master.json" (the master
// orchestration tying both together), written and read back in bridge/ClassicConfigurations.h; the
// infrastructure text in bridge/InstanceConfiguration.h.
#include <map>
#include <string>

#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

// `idOrUri`: the instance's id or its uri. Throws CSimRefused naming it when there is none.
std::map<std::string, std::string> InstanceConfigurations(CSimCloud& cloud, const std::string& idOrUri);

}  // namespace sim
