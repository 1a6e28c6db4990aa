// Automatic shape selection: the shape nearest to a machine's CPU count that covers its memory.
#include <algorithm>
#include <climits>

#include "host/FXString.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

bool COracleCloudInfo::IsFlexibleShape(const string& name) { return FXString::FindString(name, ".Flex"); }

SVMSizeInfo COracleCloudInfo::_FindBestMatchingVMSize(const std::vector<SVMSizeInfo>& list, int memory,
                                                      int cpuCount) {
  auto distance = [cpuCount](const SVMSizeInfo& shape) {
    const long long d = static_cast<long long>(shape.cpuCount) - cpuCount;
    return d < 0 ? -d : d;
  };
  long long nearest = INT_MAX;
  for (const SVMSizeInfo& shape : list)
    if (!IsFlexibleShape(shape.name)) nearest = std::min(nearest, distance(shape));
  std::vector<SVMSizeInfo> candidates;
  for (const SVMSizeInfo& shape : list)
    if (!IsFlexibleShape(shape.name) && distance(shape) == nearest) candidates.push_back(shape);
  if (candidates.empty()) return SVMSizeInfo();
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const SVMSizeInfo& a, const SVMSizeInfo& b) { return a.memory > b.memory; });
  SVMSizeInfo best = candidates.front();
  for (const SVMSizeInfo& candidate : candidates) {
    if (candidate.memory < memory) break;
    best = candidate;
  }
  return best;
}

bool COracleCloudInfo::AdjustConvertedVMSize(const RestoreCtx& ctx) {
  if (!ctx.vmSize.empty() && !FXString::EqualsIgnoreCase(ctx.vmSize, kAutoSelectShape)) return true;
  const int memoryMB = static_cast<int>(ctx.vmInfo.memoryMB);
  const int cpuCount = static_cast<int>(ctx.vmInfo.cpuCount);
  std::vector<SVMSizeInfo> shapes;
  if (GetAvailableVMSizesForHost("", shapes, 0, 0) == 0) return false;
  // Shapes carry their memory in MB, as the machine's record does.
  const SVMSizeInfo best = _FindBestMatchingVMSize(shapes, memoryMB, cpuCount);
  if (best.name.empty() || best.memory < memoryMB) {
    const string text = FXString::Format("No shape of about %d CPUs has %d MB of memory for Instance [%s]", cpuCount,
                                         memoryMB, ctx.vmInfo.name.c_str());
    EVERROR(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_VM_CREATION_FAILED);
    return false;
  }
  ctx.vmSize = best.name;
  EVDEBUG(evDebug, "For Instance [%s] the best matching shape is [%s]", ctx.vmInfo.name.c_str(), ctx.vmSize.c_str());
  return true;
}
