#pragma once
// Reads one instance of the simulated cloud into the host's instance record.
#include <string>

#include "bridge/BridgeTypes.h"
#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

using SInstanceParts = OracleCloudSDKCppBridge::SRecordParts;

// The id of the instance with the id `id` (any state), or else of the one named `name` among the
// instances not terminated; empty with `error` set when there is none or the name is ambiguous.
std::string FindInstanceId(CSimDb& db, const SFlavourWords& words, const std::string& name, const std::string& id,
                           std::string& error);

// Finds the instance by id (exact) or, when `id` is empty, by display name among the instances
// not terminated. Fills `vm` on success; on failure returns false with a text in `error` and
// leaves `vm` as it was.
bool ReadInstanceRecord(CSimCloud& cloud, const std::string& name, const std::string& id, const SInstanceParts& parts,
                        VMInfoStructs::SVMInfo& vm, std::string& error);
// The same inside the caller's transaction.
bool ReadInstanceRecordIn(CSimDb& db, const SFlavourWords& words, const std::string& name, const std::string& id,
                          const SInstanceParts& parts, VMInfoStructs::SVMInfo& vm, std::string& error);

}  // namespace sim
