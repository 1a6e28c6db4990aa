#pragma once
// What the simulated cloud shows when browsed: regions, hosts, instances, images, domains,
// shapes, access lists and buckets, as the host's records. Unknown names and ids are refused with
// CSimRefused naming them.
//
// A host is a compartment on both flavours; the classic flavour also shows the account's site in
// each region as a host (its guid is the region's name, which is what the classic browse passes).
#include <string>
#include <vector>

#include "bridge/sim/ReadInstanceRecord.h"
#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

class CSimDiscovery {
 public:
  explicit CSimDiscovery(CSimCloud& cloud) : cloud_(cloud) {}

  // The home region first.
  std::vector<VMInfoStructs::SDataCenterInfo> Regions();
  std::string DefaultRegion();

  // Infrastructure: the compartments (regionId is not looked at). Classic: the sites, narrowed to
  // the region `regionId` when it is given.
  std::vector<VMInfoStructs::SHostInfo> Hosts(const std::string& regionId);
  // The host with the id `hostId`, or else the one named (or with the id) `hostName`; with
  // `withVms` its instances, narrowed to `availabilityDomain` when one is given.
  VMInfoStructs::SHostInfo Host(const std::string& hostName, const std::string& hostId,
                                const std::string& availabilityDomain, bool withVms, const SInstanceParts& parts);

  // Every instance that is not terminated.
  std::vector<VMInfoStructs::SVMInfo> Instances(const SInstanceParts& parts);
  std::vector<VMInfoStructs::SVMInfo> InstancesOfHost(const std::string& hostId, const SInstanceParts& parts);

  // One image by id, or else by name in `region` (the default region when empty).
  VMInfoStructs::SVMInfo Image(const std::string& idOrName, const std::string& region);
  // Images visible to the host (platform images and its own); every image when hostId is empty.
  std::vector<VMInfoStructs::SVMInfo> Images(const std::string& hostId);
  std::vector<VMInfoStructs::SVMInfo> ImagesNamed(const std::string& name, const std::string& compartmentId,
                                                  const std::string& region);

  // The domains of the host's region (the default region for a compartment), as records whose
  // name is the domain's.
  std::vector<VMInfoStructs::SVMInfo> AvailabilityDomains(const std::string& hostName);
  std::vector<VMInfoStructs::SVMSizeInfo> Shapes();
  std::vector<VMInfoStructs::SVMSizeInfo> ShapesForImage(const std::string& compartmentId, const std::string& imageId,
                                                         const std::string& availabilityDomain);
  std::vector<VMInfoStructs::SSecurityGroupInfo> SecurityLists();
  std::vector<VMInfoStructs::SKeyPairInfo> KeyPairs();
  // Buckets of the compartment named or with the id `hostName`; all when empty.
  std::vector<VMInfoStructs::SStagingStorage> Buckets(const std::string& hostName);

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
