#pragma once
// The contents of a new sandbox's cloud: regions, compartments, availability domains, shapes,
// images, buckets, network, keys, the proxy instance and two sample instances with volumes
// that hold recognisable bytes.
#include <cstdint>
#include <string>

#include "bridge/sim/SimCloud.h"

namespace sim {

constexpr const char* kProxyName = "backup-proxy";
constexpr const char* kSampleNames[] = {"sample-web", "sample-db"};

struct SSeededCloud {
  std::string proxyId;  // infrastructure: the proxy's ocid; classic: its UUID in lower case
  std::string defaultRegion;
};

constexpr uint64_t kDefaultBootVolumeMiB = 256;
// The smallest boot volume: its data volume (half of it) still holds a sample's runs.
constexpr uint64_t kMinBootVolumeMiB = 8;
constexpr uint64_t kMaxBootVolumeMiB = uint64_t{1024} * 1024;

// Boot volumes of `bootVolumeMiB` MiB (kMinBootVolumeMiB .. kMaxBootVolumeMiB), data volumes of
// half that.
SSeededCloud SeedCloud(CSimCloud& cloud, uint64_t bootVolumeMiB = kDefaultBootVolumeMiB);

}  // namespace sim
