#pragma once
// The simulated cloud's database: the host's SQLite layer with durable commits (WAL: readers in
// other processes go on while one writer commits; synchronous=FULL: a killed process never leaves
// a half-made change behind). Errors are CSimError, the host's CSqliteError; the bridge turns them
// into its error text at its boundary.
#include <string>

#include "host/SqliteDb.h"

namespace sim {

using CSimError = CSqliteError;

// The cloud turned a request down (unknown id, wrong state, bad argument); what() is the text the
// caller reports as it stands, while other CSimErrors are failures of the simulator itself.
class CSimRefused : public CSimError {
 public:
  using CSimError::CSimError;
};

using CSimStatement = CSqliteStatement;
using CSimTransaction = CSqliteTransaction;

class CSimDb : public CSqliteDb {
 public:
  // Opens (create: also creates) the database file with durable commits.
  CSimDb(const std::string& path, bool create) : CSqliteDb(path, create) { EnableDurableWrites(); }
};

}  // namespace sim
