#pragma once
// A disk's checksum in a JSON record (a manifest's disk, a replication state's disk): the key names
// the scheme, "chunked_sha256" (what this agent stores) or "sha256" (backups of older agents).
#include <nlohmann/json.hpp>
#include <string>

#include "disk/DiskChecksum.h"

namespace agent {

void ChecksumToJson(nlohmann::json& record, const SDiskChecksum& checksum);
// False when the record holds neither key; `error` then names the record by `where` ("disks[1]") and
// the key this agent stores. Throws nlohmann::json::exception when the value is not a string.
bool ChecksumFromJson(const nlohmann::json& record, const std::string& where, SDiskChecksum& checksum,
                      std::string& error);

}  // namespace agent
