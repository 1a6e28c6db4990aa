#include "agent/jobs/AgentSession.h"

namespace agent {

CAgentSession::~CAgentSession() { Close(); }

bool CAgentSession::Open(const SConnectOptions& options, string& error) {
  if (!loader_.Load("", error)) return false;
  object_ = loader_.Create(sandbox_.instanceType, error);
  if (!object_) return false;
  MarkStep();
  if (object_->Init(0) != 1) {
    error = "Init failed: " + DescribeLastError();
    return false;
  }
  initialised_ = true;
  std::vector<SHostCredentials> credentials;
  if (!options.webProxyHost.empty())
    credentials.push_back(SHostCredentials{options.webProxyHost, options.webProxyUser, options.webProxyPassword,
                                           CREDENTIAL_TYPE_WEB_PROXY});
  MarkStep();
  const string& user = options.user.empty() ? sandbox_.cloudUser : options.user;
  if (object_->Connect(sandbox_.cloudUrl, user, options.password, credentials) != 1) {
    error = "Connect failed: " + DescribeLastError();
    return false;
  }
  MarkStep();
  return true;
}

void CAgentSession::Close() {
  if (!object_) return;
  object_->Disconnect();
  if (initialised_) object_->DeInit(false);
  object_.reset();
  initialised_ = false;
}

string CAgentSession::DescribeLastError() const {
  if (!object_) return "no error code: no plug-in object";
  return DescribePluginFailure(*object_, stepLog_);
}

}  // namespace agent
