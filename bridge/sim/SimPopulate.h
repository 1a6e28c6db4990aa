#pragma once
// Fills a cloud with many compartments of running instances, for scale benchmarks of browsing
// and discovery. Nothing made here counts as made by a job.
#include <cstdint>

#include "bridge/sim/SimCloud.h"

namespace sim {

constexpr int64_t kPopulateMaxInstances = 1'000'000;
// Boot volumes of populated instances: small, and empty sparse files.
constexpr uint64_t kPopulatedBootBytes = 1024ull * 1024 * 1024;

// Adds `compartments` compartments named "populated-<n>" with `instancesEach` running instances
// each (every one with its boot volume), in one transaction. Throws CSimError on counts out of
// range.
void Populate(CSimCloud& cloud, int64_t compartments, int64_t instancesEach);

}  // namespace sim
