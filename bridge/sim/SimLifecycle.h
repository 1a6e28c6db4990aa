#pragma once
// Lifecycles of the simulated cloud. A request that takes time in the real cloud leaves its
// resource in a transitional state with `ready_at` = now + the kind's provisioning time; the
// resource settles into its final state once the host clock has passed `ready_at`. Every bridge
// call settles what is due before it looks at the cloud, so all processes see one timeline.
#include <cstdint>
#include <string>

#include "bridge/sim/SimCloud.h"

namespace sim {

// Kinds with a provisioning time (meta "provision_seconds.<kind>").
constexpr const char* kKindInstance = "instance";
constexpr const char* kKindVolume = "volume";
constexpr const char* kKindSnapshot = "snapshot";
constexpr const char* kKindAttachment = "attachment";
constexpr const char* kKindImage = "image";

// The provisioning time of `kind` in seconds (0 when unset or not a number).
int64_t ProvisionSeconds(CSimDb& db, const std::string& kind);

// Moves every resource whose transition is due at `now` into its final state: instances
// launching or starting to running (stopped when a fault marked them), stopping to stopped,
// terminating to terminated; volumes, snapshots and images to available or faulty; attachments
// to attached.
void SettleLifecycles(CSimDb& db, const SFlavourWords& words, int64_t now);
// The same in a transaction of its own, at the host clock's now.
void Settle(CSimCloud& cloud);

}  // namespace sim
