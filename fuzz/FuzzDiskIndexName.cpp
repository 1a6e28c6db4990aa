// Disk index names "<volume name>_<index>", as the agent hands them back: split at the last "_".
#include "FuzzInput.h"
#include "plugin/OracleCloudInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string indexName = fuzz::Text(data, size);
  string volume;
  int index = 0;
  const bool parsed = COracleCloudInfo::ParseOracleCloudDiskIndexName(indexName, volume, index, nullptr);
  fuzz::Require(parsed == (indexName.find('_') != std::string::npos), "a name parses exactly when it has a '_'");
  if (parsed)
    fuzz::Require(volume == indexName.substr(0, indexName.rfind('_')), "the volume name is all before the last '_'");
  return 0;
}
