// Instance operations: power on and off, reconfigure, clone and delete, each one bridge call. Each
// starts with a clear error; a failure leaves its own code and the bridge's text.
#include "host/FXString.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
constexpr int kCloneBootWaitTimeout = 600;
}  // namespace

int COracleCloudInfo::PerformVMOperation(const OperationCtx& ctx) {
  try {
    // The host reads the code and details of this operation alone.
    SetLastVMError(VMERR_NONE);
    SetLastVMErrorDetails("");
    if (RefusesOperationOnProxy(ctx)) return 0;
    switch (ctx.operationType) {
      case OPERATION_POWER_ON:
        return PowerOnVM(ctx);
      case OPERATION_POWER_OFF:
      case OPERATION_POWER_OFF_ALT:
        return PowerOffVM(ctx);
      case OPERATION_RECONFIGURE:
        return ReconfigureVM(ctx);
      case OPERATION_CLONE:
        return CloneVM(ctx);
      case OPERATION_DELETE:
        return DeleteVM(ctx);
      default:
        EVERROR(evDebug, "Unhandled operation type [%d]", static_cast<int>(ctx.operationType));
        SetLastVMErrorDetails("Unhandled operation type [" + std::to_string(ctx.operationType) + "]");
        SetLastVMError(VMERR_VM_OPERATION_NOT_SUPPORTED);
        return 0;
    }
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    SetLastVMError(VMERR_VM_OPERATION_FAILED);
    return 0;
  }
}

bool COracleCloudInfo::RefusesOperationOnProxy(const OperationCtx& ctx) {
  // Starting the proxy or cloning it leaves the running agent alone; nothing else may touch it.
  const string proxyGuid = LocalVMGuid();
  if (ctx.operationType == OPERATION_POWER_ON || ctx.operationType == OPERATION_CLONE || proxyGuid.empty() ||
      (!FXString::EqualsIgnoreCase(ctx.vmGuid, proxyGuid) && !FXString::EqualsIgnoreCase(ctx.vmInfo.guid, proxyGuid)))
    return false;
  const string details = FXString::Format(
      "Instance [%s] [%s] is the proxy this agent runs on: it is never deleted, powered off, rebooted or reconfigured",
      ctx.vmName.c_str(), proxyGuid.c_str());
  EVERROR(evDebug, "%s", details.c_str());
  SetLastVMErrorDetails(details);
  SetLastVMError(VMERR_VM_OPERATION_NOT_SUPPORTED);
  return true;
}

int COracleCloudInfo::PowerOnVM(const OperationCtx& ctx) {
  EVDEBUG(evDebug, "starting VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
  return bridge->PowerOnInstance(ctx.vmGuid) ? 1 : ReportBridgeFailure(VMERR_VM_OPERATION_FAILED);
}

int COracleCloudInfo::PowerOffVM(const OperationCtx& ctx) {
  EVDEBUG(evDebug, "stopping VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
  return bridge->PowerOffInstance(ctx.vmGuid) ? 1 : ReportBridgeFailure(VMERR_VM_OPERATION_FAILED);
}

int COracleCloudInfo::ReconfigureVM(const OperationCtx& ctx) {
  EVDEBUG(evDebug, "Reconfiguring VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
  if (ctx.vmInfo.guid.empty()) {
    EVERROR(evDebug, "VM is not specified");
    SetLastVMErrorDetails("VM not specified");
    SetLastVMError(VMERR_VM_OPERATION_FAILED);
    return 0;
  }
  const SVMInfo asked = ctx.vmInfo;
  if (!bridge->ReConfigureVM(ctx.vmInfo)) return ReportBridgeFailure(VMERR_VM_OPERATION_FAILED);
  // A fixed shape keeps its own CPUs and memory whatever was asked: a change the cloud did not make
  // is no success.
  const string notMade = ChangesNotMade(asked, ctx.vmInfo);
  if (notMade.empty()) return 1;
  const string text =
      FXString::Format("Instance [%s] was not changed as asked: %s", asked.name.c_str(), notMade.c_str());
  EVERROR(evDebug, "%s", text.c_str());
  SetLastVMErrorDetails(text);
  SetLastVMError(VMERR_VM_OPERATION_FAILED);
  return 0;
}

string COracleCloudInfo::ChangesNotMade(const SVMInfo& asked, const SVMInfo& made) {
  std::vector<string> parts;
  if (!asked.vmSize.empty() && asked.vmSize != made.vmSize)
    parts.push_back(FXString::Format("shape [%s] (it has [%s])", asked.vmSize.c_str(), made.vmSize.c_str()));
  if (asked.cpuCount > 0 && asked.cpuCount != made.cpuCount)
    parts.push_back(FXString::Format("%lld CPUs (it has %lld)", static_cast<long long>(asked.cpuCount),
                                     static_cast<long long>(made.cpuCount)));
  if (asked.memoryMB > 0 && asked.memoryMB != made.memoryMB)
    parts.push_back(FXString::Format("%lld MB of memory (it has %lld)", static_cast<long long>(asked.memoryMB),
                                     static_cast<long long>(made.memoryMB)));
  string text;
  for (const string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

// A clone whose boot wait fails is not undone: the new instance stays.
int COracleCloudInfo::CloneVM(const OperationCtx& ctx) {
  EVDEBUG(evDebug, "Cloning VM [%s] from [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmName.c_str(), ctx.vmGuid.c_str());
  std::vector<SVMInfo> found;
  bool exists = false;
  if (!bridge->DoesVMExist(ctx.vmInfo.name, found, ctx.vmInfo.compartmentId, exists))
    return ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
  if (exists && !found.empty()) {
    // Two instances of one name cannot be told apart by name: a restore refuses that too.
    SetLastVMErrorDetails(
        FXString::Format("Instance [%s] already exists in compartment [%s]: a clone needs a name not in use",
                         ctx.vmInfo.name.c_str(), ctx.vmInfo.compartmentId.c_str()));
    SetLastVMError(VMERR_VM_ALREADY_EXISTS);
    return 0;
  }
  if (!bridge->DeployVM(ctx.vmInfo, ctx.vmGuid, 0)) return ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
  return WaitForBoot(ctx.vmInfo, kCloneBootWaitTimeout, true) ? 1 : ReportBridgeFailure(VMERR_VM_OPERATION_FAILED);
}

int COracleCloudInfo::DeleteVM(const OperationCtx& ctx) {
  EVDEBUG(evDebug, "Deleting VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
  return bridge->DeleteVM(ctx.vmInfo.name, ctx.vmGuid, true, false) ? 1 : ReportBridgeFailure(VMERR_VM_DELETE_FAILED);
}

bool COracleCloudInfo::WaitForBoot(SVMInfo& vm, int timeout, bool flag) {
  if (bridge->WaitForBoot(vm, timeout, flag)) return true;
  SetLastVMErrorDetails(bridge->GetLastError());
  return false;
}
