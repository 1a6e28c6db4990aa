// The REST backend's discovery: regions, domains, compartments, shapes, images, subnets, instances as records.
#include "bridge/rest/RestBridge.h"

namespace OracleCloudSDKCppBridge {

int CRestBridge::GetDCInfoList(std::vector<SDataCenterInfo>&, UINT64, int) {
  return Fail("GetDCInfoList is not available over the REST API yet") ? 1 : 0;
}

bool CRestBridge::GetHostInfoList(UINT64, int, const string&, std::vector<SHostInfo>&) {
  return Fail("GetHostInfoList is not available over the REST API yet");
}

bool CRestBridge::GetHostInfo(const string&, const string&, const string&, SHostInfo&, UINT64) {
  return Fail("GetHostInfo is not available over the REST API yet");
}

bool CRestBridge::GetVMInfoList(std::vector<SVMInfo>&, UINT64) {
  return Fail("GetVMInfoList is not available over the REST API yet");
}

bool CRestBridge::GetVMInfoListForHost(std::vector<SVMInfo>&, const string&, UINT64) {
  return Fail("GetVMInfoListForHost is not available over the REST API yet");
}

bool CRestBridge::GetVMInfo(const string&, const string&, SVMInfo&, UINT64) {
  return Fail("GetVMInfo is not available over the REST API yet");
}

bool CRestBridge::GetTemplateInfo(const string&, SVMInfo&, const string&) {
  return Fail("GetTemplateInfo is not available over the REST API yet");
}

bool CRestBridge::GetTemplateInfoList(std::vector<SVMInfo>&, const string&, UINT64, int) {
  return Fail("GetTemplateInfoList is not available over the REST API yet");
}

bool CRestBridge::GetTemplateInfoListFilterByName(std::vector<SVMInfo>&, const string&, const string&, UINT64, int, const string&) {
  return Fail("GetTemplateInfoListFilterByName is not available over the REST API yet");
}

bool CRestBridge::GetAvailabilityDomainInfoList(std::vector<SVMInfo>&, const string&, UINT64, int) {
  return Fail("GetAvailabilityDomainInfoList is not available over the REST API yet");
}

bool CRestBridge::GetInstanceShapeInfoList(std::vector<SVMSizeInfo>&, const string&) {
  return Fail("GetInstanceShapeInfoList is not available over the REST API yet");
}

bool CRestBridge::GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>&, const string&, const string&, const string&) {
  return Fail("GetInstanceShapeInfoListForImage is not available over the REST API yet");
}

bool CRestBridge::GetSecurityGroupList(std::vector<SSecurityGroupInfo>&) {
  return Fail("GetSecurityGroupList is not available over the REST API yet");
}

bool CRestBridge::GetKeyPairInfoList(std::vector<SKeyPairInfo>&) {
  return Fail("GetKeyPairInfoList is not available over the REST API yet");
}

bool CRestBridge::GetStagingStorageListForHost(std::vector<SStagingStorage>&, const string&, UINT64, int) {
  return Fail("GetStagingStorageListForHost is not available over the REST API yet");
}

string CRestBridge::GetDefaultRegion() {
  Fail("GetDefaultRegion is not available over the REST API yet");
  return string();
}

bool CRestBridge::GetInstanceConfigurations(const string&, std::map<string, string>&) {
  return Fail("GetInstanceConfigurations is not available over the REST API yet");
}

bool CRestBridge::GetBootVolumeIdForInstance(const SVMInfo&, string&) {
  return Fail("GetBootVolumeIdForInstance is not available over the REST API yet");
}

bool CRestBridge::DoesVMExist(const string&, std::vector<SVMInfo>&, const string&, bool&) {
  return Fail("DoesVMExist is not available over the REST API yet");
}

bool CRestBridge::ReadInstanceConfig(const string&, SVMInfo&) {
  return Fail("ReadInstanceConfig is not available over the REST API yet");
}

bool CRestBridge::ReadInstanceOrchestration(const string&, SVMInfo&) {
  return Fail("ReadInstanceOrchestration is not available over the REST API yet");
}

}  // namespace OracleCloudSDKCppBridge
