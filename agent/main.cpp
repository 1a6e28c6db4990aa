// backup-agent: the stand-in agent. It loads the plug-in with dlopen() and runs jobs against a
// sandbox made by cloud-sim.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "agent/AgentSandbox.h"
#include "agent/ConnectCommand.h"

int main(int argc, char** argv) {
  CLI::App app{"backup-agent: runs backup jobs through the cloud plug-in against a sandbox"};
  app.require_subcommand(1);
  string sandboxDir;
  if (const char* fromEnv = std::getenv("CLOUD_SANDBOX")) sandboxDir = fromEnv;
  app.add_option("--sandbox", sandboxDir, "Sandbox directory (or CLOUD_SANDBOX)");

  SConnectOptions connect;
  bool json = false;
  CLI::App* connectCmd = app.add_subcommand("connect", "Connect through the plug-in and show the proxy");
  connectCmd->add_option("--user", connect.user, "Cloud user");
  connectCmd->add_option("--password", connect.password, "Cloud password");
  connectCmd->add_option("--web-proxy", connect.webProxyHost, "Web proxy host[:port]");
  connectCmd->add_option("--web-proxy-user", connect.webProxyUser, "Web proxy user");
  connectCmd->add_option("--web-proxy-password", connect.webProxyPassword, "Web proxy password");
  connectCmd->add_flag("--json", json, "Print JSON");

  CLI11_PARSE(app, argc, argv);

  if (sandboxDir.empty()) {
    std::fprintf(stderr, "backup-agent: no sandbox given (--sandbox DIR or CLOUD_SANDBOX)\n");
    return 2;
  }
  SAgentSandbox sandbox;
  string error;
  if (!LoadAgentSandbox(sandboxDir, sandbox, error)) {
    std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
    return 2;
  }
  ApplySandboxEnvironment(sandbox);

  if (connectCmd->parsed()) return RunConnectCommand(sandbox, connect, json);
  return 2;
}
