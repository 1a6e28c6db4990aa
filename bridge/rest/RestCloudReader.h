#pragma once
// What discovery reads of the cloud over its REST API, one call of the bridge at a time: the
// compartments (the hosts), instances as full records (disks, snapshots, network cards, guest OS,
// security lists), images, shapes and buckets. Lists are per compartment, as the API has them: what
// has no compartment walks the tenancy and its subtree. Refusals are thrown: CRestError as the API
// gave it, std::runtime_error naming what is missing.
#include <map>
#include <string>
#include <vector>

#include "bridge/BridgeTypes.h"
#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

class CRestCloudReader {
 public:
  CRestCloudReader(CRestApi& api, std::string tenancy, std::string region)
      : api_(api), tenancy_(std::move(tenancy)), region_(std::move(region)) {}

  // The compartments under the tenancy, by name then id.
  std::vector<SHostInfo> Hosts();
  // What the list at `path` gives in the compartment, or in each of the walk when it is empty.
  std::vector<json> EachCompartment(const std::string& compartmentId, const std::string& path, const SQuery& query,
                                    ERestService service = ERestService::Core);
  // The host with the id `token`, or with `byName` also the one named `token`; throws naming it when
  // there is none (`what` is how the refusal names it).
  SHostInfo Host(const std::string& token, bool byName);

  // The instances of a compartment (all compartments when empty) not terminated, narrowed to a
  // domain, ordered by name, creation and id; as records with `parts`.
  std::vector<SVMInfo> Instances(const std::string& compartmentId, const std::string& ad, const SRecordParts& parts);
  // Not terminating or terminated, named `name`, in a compartment or all; oldest first.
  std::vector<json> InstancesNamed(const std::string& name, const std::string& compartmentId);
  // By id (any state), or else by name as InstanceNamed; throws naming it when there is none.
  json Instance(const std::string& name, const std::string& id);
  SVMInfo Record(const json& instance, const SRecordParts& parts);
  // The boot volume attachment's volume; empty when the instance has none.
  std::string BootVolumeId(const json& instance);

  // Images of a compartment (platform images with it; every image when empty), by name, creation, id.
  std::vector<SVMInfo> Images(const std::string& compartmentId, const std::string& displayName);
  std::vector<SVMSizeInfo> Shapes(const std::string& compartmentId, const std::string& imageId, const std::string& ad);
  std::vector<SStagingStorage> Buckets(const std::string& compartmentId);

  const std::string& Region() const { return region_; }
  const std::string& Tenancy() const { return tenancy_; }

 private:
  // The active compartments under the tenancy by name then id, read once; the walk is the tenancy
  // first, then those.
  const std::vector<json>& Compartments();
  std::vector<std::string> CompartmentWalk();
  void ReadDisks(const json& instance, bool withSnapshots, std::vector<SDisk>& disks);
  void ReadNetwork(const json& instance, SVMInfo& vm, bool withCards);
  std::string GuestOs(const std::string& imageId);

  CRestApi& api_;
  std::string tenancy_, region_;
  std::vector<json> compartments_;
  bool compartmentsRead_ = false;
  std::map<std::string, std::string> guestOs_;        // by image id
  std::map<std::string, std::string> securityLists_;  // names by id
};

}  // namespace OracleCloudSDKCppBridge
