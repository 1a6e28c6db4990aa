#include "agent/commands/ConnectCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/commands/RecordJson.h"
#include "agent/jobs/ExitStatus.h"

namespace agent {

int RunConnectCommand(const SAgentSandbox& sandbox, const SConnectCommandOptions& options) {
  CCommandReport report("connect", options.json);
  SConnectOptions connect = options.connect;
  string error;
  if (!ReadSecret(options.password, connect.password, error) ||
      !ReadSecret(options.webProxyPassword, connect.webProxyPassword, error))
    return report.UsageError(error);
  CAgentSession session(sandbox);
  if (!session.Open(connect, error)) return report.Failed("connect", error);
  string identity;
  VMInfoStructs::SVMInfo record;
  session.MarkStep();
  const bool found = session.Object().GetProxyVMInfo(identity, record) != 0;
  if (!found)
    return report.Failed("GetProxyVMInfo", "the proxy's record was not found: " + session.DescribeLastError());
  if (report.Json())
    return report.Succeeded(
        {{"command", "connect"}, {"flavour", sandbox.flavour}, {"identity", identity}, {"record", VmToJson(record)}});
  std::printf("Connected to %s (%s flavour)\n", sandbox.cloudUrl.c_str(), sandbox.flavour.c_str());
  std::printf("Proxy identity: %s\n", identity.empty() ? "(none: not a cloud instance)" : identity.c_str());
  PrintVm(record, "Proxy record");
  return kExitDone;
}

}  // namespace agent
