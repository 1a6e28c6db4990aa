#pragma once
// The classic flavour's configuration texts, both directions in one place for every backend of the bridge: what a
// backup saves with an instance ("_instance.json": the instance orchestration, "_storage.json": its storage volumes,
// "_master.json": the master orchestration tying both together) and the reading of an instance back from its
// orchestration or from its instance record (the "Instance" object's template of the orchestration, as the classic
// cloud describes an instance).
#include <map>
#include <string>

#include "host/VMInfoStructs.h"

namespace OracleCloudSDKCppBridge {

// vm: the instance record with its disks (numbered from 1, the boot volume first) and network cards;
// `container`: the identity domain's container the orchestrations are named in ("/Compute-<domain>/<user>/").
std::map<std::string, std::string> ClassicConfigurations(const std::string& container,
                                                         const VMInfoStructs::SVMInfo& vm);

// Reads the instance of an orchestration ("_instance.json") into `vm`: name, uri and id, shape,
// image, disks (volume ids with their disk numbers, the boot disk flagged), network cards (IP
// network, IP and MAC), SSH keys and security lists. Members the text lacks stay as `vm` had them.
// False with `error` when the text is not an orchestration holding one instance or a member has
// the wrong form; `vm` is then unchanged.
bool ParseClassicOrchestration(const std::string& contents, VMInfoStructs::SVMInfo& vm, std::string& error);
// The same from an instance record (the template alone).
bool ParseClassicInstance(const std::string& contents, VMInfoStructs::SVMInfo& vm, std::string& error);

}  // namespace OracleCloudSDKCppBridge
