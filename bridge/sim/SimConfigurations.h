#pragma once
// The configuration texts a backup saves with an instance, keyed by the suffix of the file each
// becomes. Infrastructure: ".json", the instance's configuration. Classic: "_instance.json" (the
// instance orchestration), "_storage.json" (its storage volumes) and "_master.json" (the master
// orchestration tying both together), written and read back in SimClassicConfigurations.h.
#include <map>
#include <string>

#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

// `idOrUri`: the instance's id or its uri. Throws CSimRefused naming it when there is none.
std::map<std::string, std::string> InstanceConfigurations(CSimCloud& cloud, const std::string& idOrUri);

// Reads an infrastructure instance's configuration (the ".json" text above) back into a record:
// name, id, shape and size, domain, compartment, region, image, launch mode, volumes, network cards,
// SSH keys and security lists. Missing members stay as the record had them. False with `error`
// when the text is not a JSON object or a member has the wrong type; `vm` is then unchanged.
bool ParseInstanceConfiguration(const std::string& contents, VMInfoStructs::SVMInfo& vm, std::string& error);

}  // namespace sim
