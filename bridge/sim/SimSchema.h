#pragma once
// The tables of the simulated cloud. One database holds the whole cloud so that every process
// (agents, cloud-sim, tests) sees the same state.
#include "bridge/sim/SimDb.h"

namespace sim {

constexpr int kSchemaVersion = 5;

// Creates every table in the open database (inside the caller's transaction).
void CreateSchema(CSimDb& db);

}  // namespace sim
