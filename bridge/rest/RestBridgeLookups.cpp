// The REST backend's resources found by name, by create token and by freeform tag.
#include "bridge/rest/RestBridge.h"

namespace OracleCloudSDKCppBridge {

bool CRestBridge::FindResourcesByName(EResourceKind, const string&, INT64, std::vector<string>&) {
  return Fail("FindResourcesByName is not available over the REST API yet");
}

bool CRestBridge::FindResourcesByToken(EResourceKind, const string&, std::vector<string>&) {
  return Fail("FindResourcesByToken is not available over the REST API yet");
}

bool CRestBridge::FindTaggedResources(EResourceKind, const string&, const string&, std::vector<STaggedResource>&) {
  return Fail("FindTaggedResources is not available over the REST API yet");
}

bool CRestBridge::RemoveResourceTag(EResourceKind, const string&, const string&) {
  return Fail("RemoveResourceTag is not available over the REST API yet");
}

}  // namespace OracleCloudSDKCppBridge
