// The state file a replication keeps per destination: accepted only for its own destination, with an
// absolute backup folder and every disk named once.
#include <set>

#include "FuzzInput.h"
#include "agent/jobs/ReplicationState.h"

using namespace agent;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SReplicationState state;
  string error;
  if (!ParseReplicationState(fuzz::Text(data, size), "web-dr", state, error)) {
    fuzz::Require(!error.empty(), "a refusal says why");
    return 0;
  }
  fuzz::Require(state.destination == "web-dr" && !state.backupDir.empty() && state.backupDir[0] == '/',
                "only the destination's own state with an absolute backup folder");
  std::set<std::string> names;
  for (const auto& disk : state.disks)
    fuzz::Require(!disk.volumeId.empty() && names.insert(disk.indexName).second, "each disk once, with its volume");
  return 0;
}
