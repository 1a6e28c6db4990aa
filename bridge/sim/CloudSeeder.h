#pragma once
// The contents of a new sandbox's cloud: regions, compartments, availability domains, shapes,
// images, buckets, network, keys, the proxy instance and two sample instances with volumes
// that hold recognisable bytes.
#include <string>

#include "bridge/sim/SimCloud.h"

namespace sim {

constexpr const char* kProxyName = "backup-proxy";
constexpr const char* kSampleNames[] = {"sample-web", "sample-db"};

struct SSeededCloud {
  std::string proxyId;  // infrastructure: the proxy's ocid; classic: its UUID in lower case
  std::string defaultRegion;
};

SSeededCloud SeedCloud(CSimCloud& cloud);

}  // namespace sim
