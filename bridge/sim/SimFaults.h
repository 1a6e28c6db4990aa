#pragma once
// Fault rules and call counters, kept in the cloud database so that a rule set by one process
// (cloud-sim, a test) reaches the process that makes the call.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

enum class EFaultAction { Fail, Faulty, NoSlot, Delay, KillBefore, KillAfter };

const char* FaultActionName(EFaultAction action);  // "fail", "faulty", "noslot", "delay", ...
std::optional<EFaultAction> ParseFaultAction(const std::string& name);

struct SFaultRule {
  int64_t id = 0;
  std::string op;
  int64_t nth = 0;  // the nth call after the rule was added; 0 = every call
  EFaultAction action = EFaultAction::Fail;
  std::string text;  // failure text of "fail"
  int64_t delayMs = 0;
  int64_t seen = 0;   // calls of `op` since the rule was added
  int64_t fired = 0;  // calls the rule acted on
};

// What the rules matching one call ask for.
struct SCallFaults {
  int64_t callNumber = 0;  // the operation's counter including this call
  bool fail = false;
  std::string failText;
  bool faulty = false;
  bool noSlot = false;
  int64_t delayMs = 0;
  bool killBefore = false;
  bool killAfter = false;
};

class CSimFaults {
 public:
  explicit CSimFaults(CSimCloud& cloud) : cloud_(cloud) {}

  // Adds a rule and returns its id. Throws CSimError for an unknown operation, an nth below 0,
  // or a delay without a positive duration.
  int64_t Add(const SFaultRule& rule);
  std::vector<SFaultRule> List();
  // Removes the rules of `op` (every rule when empty); returns how many went.
  int64_t Clear(const std::string& op);

  // Counts one call of `op` and matches the rules against it, in one transaction, so that
  // concurrent callers in any process each get their own call number.
  SCallFaults CountCall(const std::string& op);
  // The same inside the caller's write transaction.
  static SCallFaults CountCallIn(CSimDb& db, const std::string& op);
  std::map<std::string, int64_t> Counters();
  void ResetCounters();

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
