#include "agent/ChecksumJson.h"

void ChecksumToJson(nlohmann::json& record, const SDiskChecksum& checksum) { record[checksum.Key()] = checksum.hex; }

SDiskChecksum ChecksumFromJson(const nlohmann::json& record) {
  SDiskChecksum checksum;
  checksum.scheme = record.contains(checksum.Key()) ? EChecksumScheme::ChunkedSha256 : EChecksumScheme::WholeSha256;
  checksum.hex = record.at(checksum.Key()).get<std::string>();
  return checksum;
}
