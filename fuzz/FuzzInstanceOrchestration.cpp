// A classic instance's saved orchestration, from which a restore launches it again.
#include "FuzzInput.h"
#include "bridge/sim/SimClassicConfigurations.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  VMInfoStructs::SVMInfo vm;
  std::string error;
  if (!sim::ParseClassicOrchestration(fuzz::Text(data, size), vm, error)) fuzz::Require(!error.empty(), "a refusal says why");
  return 0;
}
