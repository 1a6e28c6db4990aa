#include "agent/jobs/RestoreContext.h"

namespace agent {

using VMInfoStructs::SDisk;
using VMInfoStructs::SVMNetworkCard;

RestoreCtx MakeRestoreCtx(const SRestoreSource& source, const SRestoreOptions& options, const string& configFilesPath,
                          const string& jobResultsDir) {
  RestoreCtx ctx;
  ctx.restoreType = RESTORE_TYPE_FULL_INSTANCE;
  ctx.vmName = options.name;
  ctx.originalVmName = source.name;
  ctx.compartmentId = options.compartment.empty() ? source.compartmentId : options.compartment;
  ctx.availabilityDomain = options.availabilityDomain.empty() ? source.availabilityDomain : options.availabilityDomain;
  // "Auto Select" reaches the plug-in as it stands: it then launches with the source's shape.
  ctx.vmSize = options.shape.empty() ? source.shape : options.shape;
  ctx.sourceVmSize = source.shape;
  ctx.sourceImageId = source.imageId;
  ctx.sourceRegionKey = source.regionKey;
  ctx.configFilesPath = configFilesPath;
  const string& main = source.mainConfigName;
  ctx.sourceConfigName =
      main.size() > 5 && main.compare(main.size() - 5, 5, ".json") == 0 ? main.substr(0, main.size() - 5) : main;
  ctx.jobResultsDir = jobResultsDir;
  if (options.subnets.empty()) {
    ctx.networkCards = source.networkCards;
  } else {
    for (size_t i = 0; i < options.subnets.size(); ++i) {
      SVMNetworkCard card;
      card.subnetId = options.subnets[i];
      card.isPrimary = i == 0;
      ctx.networkCards.push_back(card);
    }
  }
  ctx.powerOnAfterRestore = options.powerOn;
  ctx.overwrite = options.overwrite;
  ctx.inPlaceRestore = options.inPlace;
  ctx.bucketName = options.bucket;
  ctx.launchMode = options.launchMode;
  if (options.conversion) {
    // A machine of another hypervisor has no cloud image: the boot volume comes from a temporary one.
    ctx.isConversion = true;
    ctx.sourceImageId.clear();
    ctx.guestOs = options.guestOs;
    ctx.vmInfo.name = source.name;
    ctx.vmInfo.cpuCount = options.cpus != 0 ? options.cpus : source.cpuCount;
    ctx.vmInfo.memoryMB = options.memoryMB != 0 ? options.memoryMB : source.memoryMB;
  }
  for (const auto& stored : source.disks) {
    SDisk disk;
    disk.selectedForRestore = 1;
    disk.isBootDisk = stored.boot;
    disk.size = stored.size;
    disk.indexName = stored.indexName;
    disk.displayName = stored.displayName;
    ctx.disks.push_back(disk);
  }
  return ctx;
}

void ListSavedConfiguration(const SRestoreSource& source, RestoreCtx& ctx) {
  for (const auto& file : source.files) {
    SDisk record;
    record.selectedForRestore = 0;
    record.indexName = file.name;
    record.displayName = file.name;
    ctx.disks.push_back(record);
  }
}

}  // namespace agent
