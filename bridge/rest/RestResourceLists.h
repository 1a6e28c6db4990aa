#pragma once
// Resources of a kind as the REST API lists them: per compartment (the tenancy, the root compartment,
// and every compartment of its subtree), each collection of the kind (volumes are volumes and boot
// volumes, snapshots are volume backups and boot volume backups), only what is alive, oldest first.
#include <string>
#include <vector>

#include "bridge/BridgeTypes.h"
#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// Every live resource of `kind` in the compartments, each once (an image of the platform is listed
// in every compartment), oldest first by timeCreated (one second's resources in the order listed).
// `query` narrows each list request (e.g. displayName); an instance on its way out (TERMINATING,
// TERMINATED), a volume or backup being or been deleted, or a deleted image is not alive.
std::vector<json> ListLiveResources(CRestApi& api, const std::vector<std::string>& compartments, EResourceKind kind,
                                    const SQuery& query = {});

// Whether a resource the API returned is alive as ListLiveResources counts it.
bool IsLiveResource(EResourceKind kind, const json& resource);

// The path of one resource of the kind by its id ("/20160918/bootVolumes/<id>"): the OCID's type
// tells a boot volume from a volume and a boot volume backup from a volume backup.
std::string ResourcePath(EResourceKind kind, const std::string& id);

// What the kind is called in a message: "volume", "volume snapshot", "image", "instance".
const char* ResourceKindName(EResourceKind kind);

}  // namespace OracleCloudSDKCppBridge
