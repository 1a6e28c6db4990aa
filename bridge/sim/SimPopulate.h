#pragma once
// Fills a cloud with many compartments of running instances, for scale benchmarks of browsing
// and discovery. Nothing made here counts as made by a job.
#include <cstdint>

#include "bridge/sim/SimCloud.h"

namespace sim {

constexpr int64_t kPopulateMaxInstances = 1'000'000;

// Adds `compartments` compartments named "populated-<n>" with `instancesEach` running instances
// each (every one with its boot volume, an empty sparse file of the cloud's boot volume size), in
// one transaction. Throws CSimError on counts out of
// range.
void Populate(CSimCloud& cloud, int64_t compartments, int64_t instancesEach);

}  // namespace sim
