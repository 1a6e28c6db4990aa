// Automatic shape selection: the smallest shape that covers a machine's CPU count and memory.
#include "host/FXString.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

bool COracleCloudInfo::IsFlexibleShape(const string& name) { return FXString::FindString(name, ".Flex"); }

SVMSizeInfo COracleCloudInfo::_FindBestMatchingVMSize(const std::vector<SVMSizeInfo>& list, int memory, int cpuCount) {
  // A shape with fewer CPUs or less memory than the machine had would not run it as it ran: only
  // shapes that cover both count, and of those the fewest CPUs, then the least memory (the first
  // listed of equals).
  const SVMSizeInfo* best = nullptr;
  for (const SVMSizeInfo& shape : list) {
    if (IsFlexibleShape(shape.name) || shape.cpuCount < cpuCount || shape.memory < memory) continue;
    if (!best || shape.cpuCount < best->cpuCount || (shape.cpuCount == best->cpuCount && shape.memory < best->memory))
      best = &shape;
  }
  return best ? *best : SVMSizeInfo();
}

string COracleCloudInfo::NoShapeCoversText(int cpuCount, int memoryMB) {
  return FXString::Format("no shape has %d CPUs and %d MB of memory", cpuCount, memoryMB);
}

bool COracleCloudInfo::AdjustConvertedVMSize(const RestoreCtx& ctx) {
  if (!ctx.vmSize.empty() && !FXString::EqualsIgnoreCase(ctx.vmSize, kAutoSelectShape)) return true;
  const int memoryMB = static_cast<int>(ctx.vmInfo.memoryMB);
  const int cpuCount = static_cast<int>(ctx.vmInfo.cpuCount);
  std::vector<SVMSizeInfo> shapes;
  if (GetAvailableVMSizesForHost("", shapes, 0, 0) == 0) return false;
  // Shapes carry their memory in MB, as the machine's record does.
  const SVMSizeInfo best = _FindBestMatchingVMSize(shapes, memoryMB, cpuCount);
  if (best.name.empty()) {
    const string text =
        FXString::Format("Instance [%s]: %s", ctx.vmInfo.name.c_str(), NoShapeCoversText(cpuCount, memoryMB).c_str());
    EVERROR(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_VM_CREATION_FAILED);
    return false;
  }
  ctx.vmSize = best.name;
  EVDEBUG(evDebug, "For Instance [%s] the best matching shape is [%s]", ctx.vmInfo.name.c_str(), ctx.vmSize.c_str());
  return true;
}
