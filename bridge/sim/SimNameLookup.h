#pragma once
// Resources found by the display name a job gave them: how a job that died between a create and
// its registration finds what it left.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

enum class ENamedKind { VolumeSnapshot, Volume, Image, Instance };

// Ids of the resources of `kind` named exactly `name` that jobs made at or after `createdSince`
// (seconds since the epoch), oldest first; instances on their way out (terminating, terminated) are
// not listed, deleted volumes, snapshots and images are gone.
std::vector<std::string> FindByName(CSimCloud& cloud, ENamedKind kind, const std::string& name, int64_t createdSince);
// The same for the resources whose create carried the request token `token` (not empty).
std::vector<std::string> FindByToken(CSimCloud& cloud, ENamedKind kind, const std::string& token);

}  // namespace sim
