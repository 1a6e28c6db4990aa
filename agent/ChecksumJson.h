#pragma once
// A disk's checksum in a JSON record (a manifest's disk, a replication state's disk): the key names
// the scheme, "chunked_sha256" (what this agent stores) or "sha256" (backups of older agents).
#include <nlohmann/json.hpp>

#include "disk/DiskChecksum.h"

void ChecksumToJson(nlohmann::json& record, const SDiskChecksum& checksum);
// Throws nlohmann::json::exception when the record holds neither key.
SDiskChecksum ChecksumFromJson(const nlohmann::json& record);
