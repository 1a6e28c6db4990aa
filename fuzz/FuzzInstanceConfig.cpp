// An instance's saved configuration as a restore reads it back, in either cloud's form.
#include "FuzzInput.h"
#include "bridge/ClassicConfigurations.h"
#include "bridge/InstanceConfiguration.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fuzz::Text(data, size);
  for (auto parse :
       {OracleCloudSDKCppBridge::ParseInstanceConfiguration, OracleCloudSDKCppBridge::ParseClassicInstance}) {
    VMInfoStructs::SVMInfo vm;
    std::string error;
    if (!parse(text, vm, error)) fuzz::Require(!error.empty(), "a refusal says why");
  }
  return 0;
}
