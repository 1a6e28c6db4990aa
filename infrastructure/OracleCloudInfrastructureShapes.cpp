// Shapes of a restored instance: the smallest that covers a converted machine and the smallest shape for
// the temporary instance that makes a boot volume, among the fixed shapes that launch the image.
#include <algorithm>

#include "host/FXString.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

using namespace VMInfoStructs;

bool COracleCloudInfrastructureInfo::_GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& list,
                                                                       const string& compartmentId,
                                                                       const string& imageId,
                                                                       const string& availabilityDomain) {
  if (!bridge->GetInstanceShapeInfoListForImage(list, compartmentId, imageId, availabilityDomain)) return false;
  list.erase(
      std::remove_if(list.begin(), list.end(), [](const SVMSizeInfo& shape) { return IsFlexibleShape(shape.name); }),
      list.end());
  return true;
}

namespace {
constexpr const char* kNoShapeList = "Failed to get the list of available VM shapes.";
}  // namespace

SVMSizeInfo COracleCloudInfrastructureInfo::BestShapeForImage(const string& imageId, const string& compartmentId,
                                                              const string& availabilityDomain, int memoryMB,
                                                              int cpuCount) {
  std::vector<SVMSizeInfo> shapes;
  if (!_GetInstanceShapeInfoListForImage(shapes, compartmentId, imageId, availabilityDomain)) {
    EVERROR(evDebug, "%s", kNoShapeList);
    SetLastVMErrorDetails(string(kNoShapeList) + " " + bridge->GetLastError());
    return SVMSizeInfo();
  }
  SVMSizeInfo best = _FindBestMatchingVMSize(shapes, memoryMB, cpuCount);
  if (best.name.empty()) {
    const string text = shapes.empty() ? FXString::Format("No shape launches image [%s]", imageId.c_str())
                                       : FXString::Format("Of the shapes that launch image [%s], %s", imageId.c_str(),
                                                          NoShapeCoversText(cpuCount, memoryMB).c_str());
    EVERROR(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
  }
  return best;
}

string COracleCloudInfrastructureInfo::_GetAutoSelectedVMSize(const RestoreCtx& ctx) {
  const int cpus = static_cast<int>(ctx.vmInfo.cpuCount);
  const int memoryMB = static_cast<int>(ctx.vmInfo.memoryMB);
  EVDEBUG(evDebug, "Source VM:: Name:%s CPUs: %d, Memory: %d MB", ctx.vmInfo.name.c_str(), cpus, memoryMB);
  const SVMSizeInfo best =
      BestShapeForImage(ctx.bootImageId, ctx.compartmentId, ctx.availabilityDomain, memoryMB, cpus);
  if (!best.name.empty())
    EVDEBUG(evDebug, "Best Matching Shape:  Name[%s], CPUs: %d, Memory:%d MB", best.name.c_str(), best.cpuCount,
            best.memory);
  return best.name;
}

string COracleCloudInfrastructureInfo::_GetSmallestCompatibleVmSizeForImage(const string& imageId,
                                                                            const string& compartmentId,
                                                                            const string& availabilityDomain) {
  const SVMSizeInfo smallest = BestShapeForImage(imageId, compartmentId, availabilityDomain, 0, 0);
  if (!smallest.name.empty())
    EVDEBUG(evDebug, "Smallest Compatible Shape:  Name[%s], CPUs: %d, Memory:%d MB", smallest.name.c_str(),
            smallest.cpuCount, smallest.memory);
  return smallest.name;
}
