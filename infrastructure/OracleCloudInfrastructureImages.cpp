// The image a restore's boot volume is made from: a forced one from the configuration, else the
// backed-up instance's own image (or its counterpart in the destination region), else a temporary
// image imported from a stub disk, deleted again once the boot volume exists.
#include <sys/syscall.h>
#include <unistd.h>

#include "cleanup/PendingCreate.h"
#include "host/CWqDirectory.h"
#include "host/FXString.h"
#include "host/HostClock.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"
#include "util/OracleCloudInfoUtils.h"

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
    // A source image that was looked for and not found is why a bucket is needed: the details say so.
    string details = "An object storage bucket is required to create temporary image";
    if (!ctx.sourceImageId.empty())
      details += ": the source image [" + ctx.sourceImageId + "] or its counterpart in this region could not be found";
    SetLastVMErrorDetails(details);
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  if (!OracleCloudInfoUtils::IsValidBucketName(ctx.bucketName)) {
    SetLastVMErrorDetails("The bucket name [" + ctx.bucketName +
                          "] is not valid: 1 to 256 letters, digits, '-', '_' and '.'");
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  if (!_CreateTemporaryImage(ctx.bucketName, _GetImageLaunchMode(ctx), ctx.compartmentId, ctx.jobResultsDir,
                             ctx.restoreGuid, imageId)) {
    EVERROR(evDebug, "Failed to create temporary image");
    if (GetLastVMError() == VMERR_NONE) SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  isTemporary = true;
  ctx.tempImageId = imageId;
  return true;
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

namespace {
// What names the temporary object and image of this restore apart from those of any other job or
// thread: job id, thread id and time.
string TemporaryNameSuffix() {
  return std::to_string(EvEvent::getJobId()) + "_" + std::to_string(static_cast<long long>(::syscall(SYS_gettid))) +
         "_" + std::to_string(static_cast<long long>(HostClock::Now()));
}
}  // namespace

bool COracleCloudInfrastructureInfo::_CreateTemporaryImage(const string& bucket, const string& launchMode,
                                                           const string& compartmentId, const string& workDir,
                                                           const string& restoreGuid, string& imageId) {
  if (!OracleCloudInfoUtils::IsAbsoluteCleanPath(workDir)) {
    SetLastVMErrorDetails("The job results folder [" + workDir + "] is not an absolute path without '.' or '..' parts");
    return false;
  }
  if (!CWqDirectory::Create(workDir)) {
    EVERROR(evDebug, "Failure while creating jobResultsDirectory");
    SetLastVMErrorDetails("Failure while creating jobResultsDirectory");
    return false;
  }
  string stubPath, error;
  if (!OracleCloudInfoUtils::CreateStubVmdkFile(workDir, 1, stubPath, error)) {
    EVERROR(evDebug, "Failed to create virtual disk file: %s", error.c_str());
    SetLastVMErrorDetails("Failed to create virtual disk file: " + error);
    return false;
  }
  const string suffix = TemporaryNameSuffix();
  string contents;
  if (!OracleCloudInfoUtils::ReadWholeBinaryFile(stubPath, contents)) {
    EVERROR(evDebug, "Failed to read virtual disk file [%s]", stubPath.c_str());
    SetLastVMErrorDetails(FXString::Format("Failed to read virtual disk file [%s]", stubPath.c_str()));
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  const string objectName = "_TZ_OBJECT_" + suffix;
  EVDEBUG(evDebug, "Virtual Disk Object Name:  [%s]", objectName.c_str());
  // An object's name is all that finds it again: it is registered before the upload, so that a job
  // dying during the upload leaves it to the sweep.
  if (!cleaner.RegisterVmdkObject(cleanerMode, restoreGuid, bucket, objectName)) {
    EVERROR(evDebug, "Failed to register object to cleaner:[%s/%s].", bucket.c_str(), objectName.c_str());
    SetLastVMErrorDetails("Failed to record the coming upload of [" + objectName + "]");
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  if (!bridge->UploadToObjectStorage(bucket, objectName, contents)) {
    EVDEBUG(evDebug, "Error while uploading virtual disk file to object storage");
    return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
  }
  if (QuitRequested(__PRETTY_FUNCTION__)) return false;
  const string imageName = "_TZ_IMAGE_" + suffix;
  EVDEBUG(evDebug, "Image Name:  [%s]", imageName.c_str());
  imageId.clear();
  {
    CPendingCreate pending(cleaner, cleanerMode, restoreGuid, VM_CLEANER_ENTITY_IMAGE, imageName);
    if (!RecordedBeforeCreate(pending, imageName, VMERR_RESOURCE_CREATION_FAILED)) return false;
    if (!bridge->CreateImage(bucket, objectName, imageName, launchMode, compartmentId, imageId)) {
      EVDEBUG(evDebug, "Error while creating image");
      return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
    }
    EVDEBUG(evDebug, "Created image Ocid:[%s]", imageId.c_str());
    if (cleaner.RegisterImage(cleanerMode, restoreGuid, imageId))
      DropPendingCreate(pending, imageName);
    else
      EVERROR(evDebug, "Failed to register image to cleaner:[%s].", imageId.c_str());
  }
  if (!_WaitForImageImportCompletion(imageId)) {
    EVDEBUG(evDebug, "Could not complete the image import operation");
    return false;
  }
  if (!bridge->DeleteStorageObject(bucket, objectName))
    EVERROR(evDebug, "Failed to delete object:[%s/%s]", bucket.c_str(), objectName.c_str());
  else if (!cleaner.UnRegisterVmdkObject(cleanerMode, restoreGuid, bucket, objectName))
    EVERROR(evDebug, "Failed to unregister object from cleaner:[%s/%s]", bucket.c_str(), objectName.c_str());
  EVDEBUG(evDebug, "Successfully created image. Image Ocid:[%s]", imageId.c_str());
  return true;
}

bool COracleCloudInfrastructureInfo::_WaitForImageImportCompletion(const string& imageId) {
  uint32_t minutes = 1, maximumMinutes = kImageImportMaximumMinutes;
  TZPlatformInfo::getNumber("VirtualServer", "nImageImportCompletionQueryIntervalInMinutes", &minutes);
  TZPlatformInfo::getNumber("VirtualServer", "nImageImportMaximumWaitTimeInMinutes", &maximumMinutes);
  // The wait ends on completion, a failed query (a failed import among them), a cancel or the maximum.
  const INT64 start = HostClock::Now();
  bool completed = false;
  while (!completed) {
    if (HostClock::Now() - start >= static_cast<INT64>(maximumMinutes) * 60) {
      const string text = FXString::Format("The import of image [%s] did not complete within %u minutes",
                                           imageId.c_str(), maximumMinutes);
      EVERROR(evDebug, "%s", text.c_str());
      SetLastVMErrorDetails(text);
      SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
      return false;
    }
    if (IsJobCancelled()) {
      EVDEBUG(evDebug, "Quit flag detected");
      SetLastVMError(VMERR_JOB_CANCELLED);
      return false;
    }
    EVDEBUG(evDebug, "Waiting for import completion of image:[%s]", imageId.c_str());
    HostClock::Sleep(static_cast<uint32_t>(minutes * 60000U));
    if (!bridge->IsImageImportOperationCompleted(imageId, completed)) {
      EVERROR(evDebug, "Error while querying for image import completion: %s", bridge->GetLastError().c_str());
      return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
    }
  }
  EVDEBUG(evDebug, "Image [%s] imported successfully", imageId.c_str());
  return true;
}

bool COracleCloudInfrastructureInfo::_DeleteTemporaryImage(const string& imageId, const string& restoreGuid) {
  EVDEBUG(evDebug, "Deleting temporary image: [%s]", imageId.c_str());
  if (!bridge->DeleteImage(imageId))
    EVERROR(evDebug, "Failed to delete image:[%s]", imageId.c_str());
  else if (!cleaner.UnRegisterImage(cleanerMode, restoreGuid, imageId))
    EVERROR(evDebug, "Failed to unregister image from cleaner:[%s]", imageId.c_str());
  return true;
}
