#include "agent/jobs/ChecksumJson.h"

namespace agent {

void ChecksumToJson(nlohmann::json& record, const SDiskChecksum& checksum) { record[checksum.Key()] = checksum.hex; }

bool ChecksumFromJson(const nlohmann::json& record, const std::string& where, SDiskChecksum& checksum,
                      std::string& error) {
  checksum = SDiskChecksum();  // this agent's scheme, else an older agent's
  if (!record.contains(checksum.Key())) checksum.scheme = EChecksumScheme::WholeSha256;
  if (!record.contains(checksum.Key())) {
    error = where + " has no checksum: its \"chunked_sha256\" is missing (and it has no older agent's \"sha256\")";
    return false;
  }
  checksum.hex = record.at(checksum.Key()).get<std::string>();
  return true;
}

}  // namespace agent
