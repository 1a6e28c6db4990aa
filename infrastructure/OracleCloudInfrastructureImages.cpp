// The image a restore's boot volume is made from: a forced one from the configuration, else the
// backed-up instance's own image (or its counterpart in the destination region).
#include "host/FXString.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

using namespace VMInfoStructs;

bool COracleCloudInfrastructureInfo::_GetImageIdForVMRestore(const RestoreCtx& ctx, string& imageId,
                                                             bool& isTemporary) {
  string forced;
  TZPlatformInfo::getString("VirtualServer", "sOCIForceImageIdForRestore", &forced);
  if (!forced.empty()) {
    EVDEBUG(evDebug, "Found force imageId key in registry. ImageId: [%s]", forced.c_str());
    imageId = forced;
    isTemporary = false;
    return true;
  }
  if (!ctx.sourceImageId.empty()) {
    string found;
    if (_GetImageIdForVMRestoreFromSourceImage(ctx.sourceImageId, ctx.sourceRegionKey, ctx.compartmentId, found)) {
      imageId = found;
      isTemporary = false;
      return true;
    }
  }
  EVDEBUG(evDebug, "Attempting to create temporary image");
  if (ctx.bucketName.empty()) {
    EVERROR(evDebug,
            "An object storage bucket is required to create temporary image. Please select a bucket and resubmit the "
            "job");
    SetLastVMErrorDetails("An object storage bucket is required to create temporary image");
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  // Temporary images (for machines without a cloud image behind them) come at a later stage.
  EVERROR(evDebug, "Failed to create temporary image");
  SetLastVMErrorDetails("Temporary images are not available yet");
  SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
  return NotAvailableYet(__PRETTY_FUNCTION__);
}

bool COracleCloudInfrastructureInfo::_GetImageIdForVMRestoreFromSourceImage(const string& sourceImageId,
                                                                            const string& sourceRegionKey,
                                                                            const string& compartmentId,
                                                                            string& imageId) {
  const string sourceRegion = _GetRegionNameForRegionKey(sourceRegionKey);
  const string destinationRegion = bridge->GetDefaultRegion();
  if (sourceRegion.empty() || destinationRegion.empty()) return false;
  SVMInfo sourceImage;
  if (!bridge->GetTemplateInfo(sourceImageId, sourceImage, sourceRegion)) {
    EVDEBUG(evDebug, "Could not find Image [%s] in region [%s]", sourceImageId.c_str(), sourceRegion.c_str());
    return false;
  }
  EVDEBUGLVL(evDebug, 2, "Soure Image [%s][%s]", sourceImage.name.c_str(), sourceImage.guid.c_str());
  EVDEBUGLVL(evDebug, 2, "Source region : [%s], destination region: [%s]", sourceRegion.c_str(),
             destinationRegion.c_str());
  if (FXString::EqualsIgnoreCase(sourceRegion, destinationRegion)) {
    EVDEBUG(evDebug, "Source and destination regions are the same. Using source image. Id: %s", sourceImageId.c_str());
    imageId = sourceImageId;
    return true;
  }
  SVMInfo match;
  if (!_GetMatchingImageInRegion(sourceImage, destinationRegion, compartmentId, match)) {
    EVDEBUG(evDebug, "Could not find matching image for [%s] in region [%s]", sourceImageId.c_str(),
            destinationRegion.c_str());
    return false;
  }
  EVDEBUG(evDebug, "Found matching image [%s][%s] in region [%s]", match.name.c_str(), match.guid.c_str(),
          destinationRegion.c_str());
  imageId = match.guid;
  return true;
}

bool COracleCloudInfrastructureInfo::_GetMatchingImageInRegion(const SVMInfo& sourceImage, const string& region,
                                                               const string& compartmentId, SVMInfo& match) {
  std::vector<SVMInfo> images;
  if (!bridge->GetTemplateInfoListFilterByName(images, sourceImage.name, compartmentId, 0, 0, region)) {
    EVERROR(evDebug, "Failed to get image list");
    return false;
  }
  if (images.empty()) {
    EVERROR(evDebug, "Image list is empty");
    return false;
  }
  EVDEBUGLVL(evDebug, 2, "Image list size, %d", static_cast<int>(images.size()));
  for (const SVMInfo& image : images) {
    if (image.imageKey != sourceImage.imageKey) continue;
    match = image;
    return true;
  }
  return false;
}
