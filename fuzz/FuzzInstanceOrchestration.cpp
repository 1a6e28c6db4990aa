// A classic instance's saved orchestration, from which a restore launches it again.
#include "FuzzInput.h"
#include "bridge/ClassicConfigurations.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VMInfoStructs::SVMInfo vm;
  std::string error;
  if (!OracleCloudSDKCppBridge::ParseClassicOrchestration(fuzz::Text(data, size), vm, error))
    fuzz::Require(!error.empty(), "a refusal says why");
  return 0;
}
