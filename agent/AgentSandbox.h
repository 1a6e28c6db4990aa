#pragma once
// The sandbox the stand-in agent works in: DIR/sandbox.ini names the cloud flavour and the cloud.
#include <string>

#include "host/HostTypes.h"

struct SAgentSandbox {
  string directory;     // absolute
  string flavour;       // "infrastructure" or "classic"
  VirtualServerInstanceType instanceType = VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  string cloudUrl;      // sim://<directory>/cloud
};

// Reads DIR/sandbox.ini; false with a message when DIR is not a sandbox.
bool LoadAgentSandbox(const string& directory, SAgentSandbox& sandbox, string& error);
// Points the host at the sandbox: platform root, agent home, and its bin/ first on PATH.
void ApplySandboxEnvironment(const SAgentSandbox& sandbox);
