#include "ApiRequestModels.h"

#include <cstdio>
#include <stdexcept>

#include "ApiServer.h"
#include "CloudSimCommands.h"

namespace cloudsim {

const std::vector<SRequestModel>& RequestModels() {
  static const std::set<std::string> kTags = {"freeformTags", "definedTags"};
  static const std::vector<SRequestModel> kModels = {
      // Block storage.
      {"CreateVolumeDetails",
       {"compartmentId", "availabilityDomain"},
       {"displayName", "sizeInGBs", "sizeInMBs", "sourceDetails", "freeformTags", "definedTags"}},
      {"VolumeSourceFromVolumeDetails", {"type", "id"}, {}, "CreateVolumeDetails.sourceDetails", "type=volume"},
      {"VolumeSourceFromVolumeBackupDetails",
       {"type", "id"},
       {},
       "CreateVolumeDetails.sourceDetails",
       "type=volumeBackup"},
      {"UpdateVolumeDetails", {}, kTags},
      {"CreateBootVolumeDetails",
       {"compartmentId", "availabilityDomain", "sourceDetails"},
       {"displayName", "freeformTags", "definedTags"}},
      {"BootVolumeSourceFromBootVolumeDetails",
       {"type", "id"},
       {},
       "CreateBootVolumeDetails.sourceDetails",
       "type=bootVolume"},
      {"BootVolumeSourceFromBootVolumeBackupDetails",
       {"type", "id"},
       {},
       "CreateBootVolumeDetails.sourceDetails",
       "type=bootVolumeBackup"},
      {"UpdateBootVolumeDetails", {}, kTags},
      {"CreateVolumeBackupDetails", {"volumeId"}, {"displayName", "type", "freeformTags", "definedTags"}},
      {"UpdateVolumeBackupDetails", {}, kTags},
      {"CreateBootVolumeBackupDetails", {"bootVolumeId"}, {"displayName", "type", "freeformTags", "definedTags"}},
      {"UpdateBootVolumeBackupDetails", {}, kTags},
      {"AttachVolumeDetails", {"type", "instanceId", "volumeId"}, {"displayName"}},
      // Compute.
      {"LaunchInstanceDetails",
       {"availabilityDomain", "compartmentId", "shape", "sourceDetails"},
       {"displayName", "createVnicDetails", "shapeConfig", "freeformTags", "definedTags", "metadata",
        "extendedMetadata", "faultDomain", "subnetId", "hostnameLabel", "ipxeScript", "launchOptions", "agentConfig",
        "availabilityConfig", "instanceOptions", "isPvEncryptionInTransitEnabled", "dedicatedVmHostId",
        "capacityReservationId"}},
      {"InstanceSourceViaImageDetails",
       {"sourceType", "imageId"},
       {"bootVolumeSizeInGBs"},
       "LaunchInstanceDetails.sourceDetails",
       "sourceType=image"},
      {"InstanceSourceViaBootVolumeDetails",
       {"sourceType", "bootVolumeId"},
       {},
       "LaunchInstanceDetails.sourceDetails",
       "sourceType=bootVolume"},
      {"CreateVnicDetails", {}, {"subnetId", "displayName", "nsgIds"}, "LaunchInstanceDetails.createVnicDetails"},
      {"LaunchInstanceShapeConfigDetails", {}, {"ocpus", "memoryInGBs"}, "LaunchInstanceDetails.shapeConfig"},
      {"UpdateInstanceDetails",
       {},
       {"displayName", "shape", "shapeConfig", "freeformTags", "definedTags", "metadata", "extendedMetadata",
        "agentConfig", "faultDomain", "launchOptions", "availabilityConfig", "instanceOptions", "capacityReservationId",
        "updateOperationConstraint"}},
      {"UpdateInstanceShapeConfigDetails", {}, {"ocpus", "memoryInGBs"}, "UpdateInstanceDetails.shapeConfig"},
      {"AttachVnicDetails", {"createVnicDetails", "instanceId"}, {"displayName", "nicIndex"}},
      {"CreateVnicDetails", {"subnetId"}, {"displayName"}, "AttachVnicDetails.createVnicDetails"},
      // Images.
      {"CreateImageDetails",
       {"compartmentId"},
       {"displayName", "imageSourceDetails", "instanceId", "launchMode", "freeformTags", "definedTags"}},
      {"ImageSourceViaObjectStorageTupleDetails",
       {"sourceType", "namespaceName", "bucketName", "objectName"},
       {},
       "CreateImageDetails.imageSourceDetails",
       "sourceType=objectStorageTuple"},
      {"UpdateImageDetails", {}, kTags},
  };
  return kModels;
}

const SRequestModel& RequestModel(const std::string& name) {
  for (const SRequestModel& model : RequestModels())
    if (model.name == name && model.in.empty()) return model;
  throw std::out_of_range("no request model " + name);
}

json ModelBody(const SApiCall& call, const std::string& name) {
  const SRequestModel& model = RequestModel(name);
  return call.Body(model.required, model.optional);
}

json RequestModelsJson() {
  json table = json::array();
  for (const SRequestModel& model : RequestModels())
    table.push_back({{"name", model.name},
                     {"required", model.required},
                     {"optional", model.optional},
                     {"in", model.in},
                     {"when", model.when}});
  return table;
}

int RunApiModels() {
  std::printf("%s\n", RequestModelsJson().dump(2).c_str());
  return 0;
}

}  // namespace cloudsim
