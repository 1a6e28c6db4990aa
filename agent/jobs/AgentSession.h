#pragma once
// One plug-in object driven the way the agent drives it: create, Init, Connect ... Disconnect,
// DeInit, delete.
#include <string>
#include <vector>

#include "agent/jobs/AgentSandbox.h"
#include "agent/jobs/FailureCause.h"
#include "agent/jobs/PluginLoader.h"

namespace agent {

struct SConnectOptions {
  string user;  // empty: the sandbox's user (SAgentSandbox::cloudUser)
  string password;
  string webProxyHost;
  string webProxyUser;
  string webProxyPassword;
};

class CAgentSession {
 public:
  explicit CAgentSession(SAgentSandbox sandbox) : sandbox_(std::move(sandbox)) {}
  ~CAgentSession();

  // Loads the plug-in, creates the object and runs Init and Connect. On failure `error` says why.
  bool Open(const SConnectOptions& options, string& error);
  // Disconnect, DeInit and delete; safe to call twice.
  void Close();

  IVMInfo& Object() { return *object_; }
  const SAgentSandbox& Sandbox() const { return sandbox_; }

  // Marks the host log at the start of a step (Open marks it after Connect).
  void MarkStep() { stepLog_ = CStepLog(); }
  // The plug-in's last error with its cause since the last mark: "error <code>: <cause>" or
  // "no error code: <cause>".
  string DescribeLastError() const;

 private:
  SAgentSandbox sandbox_;
  CPluginLoader loader_;
  PluginObject object_;
  bool initialised_ = false;
  CStepLog stepLog_;
};

}  // namespace agent
