#pragma once
// A clone of an instance made of calls to the REST API, as the in-process backend makes it in one step:
// copies of its boot volume and attached data volumes, an instance launched from the boot volume's
// copy, the data copies attached in the source's order with the source's attachment types.
#include <string>

#include "bridge/BridgeTypes.h"
#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// Clones the instance `source` (as the API reads it) into a new instance named vm.name, in
// vm.compartmentId / vm.availabilityDomain / vm.vmSize (each defaults to the source's); a flexible
// shape takes vm.cpuCount / vm.memoryMB, else the source's size on the source's shape. The primary
// VNIC goes into the subnet of vm.networkCards[0] when that serves the domain, else into the source's
// primary VNIC's; the clone has the source's SSH keys and security lists and the record's. Every
// create carries `createTags`. Returns once the clone runs and its data volumes are attached, and
// fills vm as a launch does. On failure deletes what it made (best effort) and throws
// std::runtime_error naming the step that failed.
void CloneInstance(CRestApi& api, const json& source, const json& createTags, SVMInfo& vm);

}  // namespace OracleCloudSDKCppBridge
