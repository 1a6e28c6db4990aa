// The REST backend's instances: launch, actions, VNICs, termination.
#include "bridge/rest/RestBridge.h"

namespace OracleCloudSDKCppBridge {

bool CRestBridge::DeployVM(SVMInfo&, const string&, int) {
  return Fail("DeployVM is not available over the REST API yet");
}

bool CRestBridge::DeployVMFromOrchestration(SVMInfo&) {
  return Fail("DeployVMFromOrchestration is not available over the REST API yet");
}

bool CRestBridge::RestoreVM(SVMInfo&) {
  return Fail("RestoreVM is not available over the REST API yet");
}

bool CRestBridge::RestoreVM(SVMInfo&, const SDisk&) {
  return Fail("RestoreVM is not available over the REST API yet");
}

bool CRestBridge::AttachVnic(const SVMInfo&, const SVMNetworkCard&) {
  return Fail("AttachVnic is not available over the REST API yet");
}

bool CRestBridge::ReConfigureVM(SVMInfo&) {
  return Fail("ReConfigureVM is not available over the REST API yet");
}

bool CRestBridge::PowerOnInstance(const string&) {
  return Fail("PowerOnInstance is not available over the REST API yet");
}

bool CRestBridge::PowerOffInstance(const string&) {
  return Fail("PowerOffInstance is not available over the REST API yet");
}

bool CRestBridge::RebootInstance(const string&) {
  return Fail("RebootInstance is not available over the REST API yet");
}

bool CRestBridge::WaitForBoot(SVMInfo&, int, bool) {
  return Fail("WaitForBoot is not available over the REST API yet");
}

bool CRestBridge::DeleteVM(const string&, const string&, bool, bool) {
  return Fail("DeleteVM is not available over the REST API yet");
}

}  // namespace OracleCloudSDKCppBridge
