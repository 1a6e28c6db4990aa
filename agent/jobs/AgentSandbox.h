#pragma once
// The sandbox the stand-in agent works in: DIR/sandbox.ini names the cloud flavour, the cloud and the
// backend the jobs reach it through (the simulator in-process, or its REST API served by `cloud-sim serve`).
#include <string>

#include "host/HostTypes.h"

namespace agent {

struct SAgentSandbox {
  string directory;  // absolute
  string flavour;    // "infrastructure" or "classic"
  VirtualServerInstanceType instanceType = VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  string cloudUrl;   // sim://<directory>/cloud, or the emulator's address for a sandbox on the REST backend
  string cloudUser;  // the user Connect gets when none is given: the API configuration of a REST sandbox
};

// Reads DIR/sandbox.ini; false with a message when DIR is not a sandbox.
bool LoadAgentSandbox(const string& directory, SAgentSandbox& sandbox, string& error);
// Points the host at the sandbox: platform root, agent home, and its bin/ first on PATH; on the REST
// backend, the proxy's identity at the emulator's metadata service.
void ApplySandboxEnvironment(const SAgentSandbox& sandbox);

}  // namespace agent
