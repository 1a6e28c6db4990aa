#include "agent/commands/ConnectCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/commands/RecordJson.h"

namespace agent {

int RunConnectCommand(const SAgentSandbox& sandbox, const SConnectOptions& options, bool json) {
  CAgentSession session(sandbox);
  string error;
  if (!session.Open(options, error)) {
    std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
    return 1;
  }
  string identity;
  VMInfoStructs::SVMInfo record;
  session.MarkStep();
  int found = session.Object().GetProxyVMInfo(identity, record);
  if (json) {
    nlohmann::json out = {{"flavour", sandbox.flavour}, {"identity", identity}};
    if (found) out["record"] = VmToJson(record);
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    std::printf("Connected to %s (%s flavour)\n", sandbox.cloudUrl.c_str(), sandbox.flavour.c_str());
    std::printf("Proxy identity: %s\n", identity.empty() ? "(none: not a cloud instance)" : identity.c_str());
    if (found) PrintVm(record, "Proxy record");
  }
  if (!found) {
    std::fprintf(stderr, "backup-agent: the proxy's record was not found: %s\n", session.DescribeLastError().c_str());
    return 1;
  }
  return 0;
}

}  // namespace agent
