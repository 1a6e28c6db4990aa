#pragma once
// Fault rules and call counters, kept in the cloud database so that a rule set by one process
// (cloud-sim, a test) reaches the process that makes the call. The HTTP actions (http-429, http-500,
// http-503, reset, lost-response, stale-read) shape what the REST API's emulator answers (see
// sandbox/ApiServer.h); the in-process backend counts their calls and otherwise ignores them.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

enum class EFaultAction {
  Fail,
  Faulty,
  NoSlot,
  Delay,
  KillBefore,
  KillAfter,
  Http429,
  Http500,
  Http503,
  Reset,
  LostResponse,
  StaleRead
};

const char* FaultActionName(EFaultAction action);  // "fail", "faulty", "noslot", "delay", ...
std::optional<EFaultAction> ParseFaultAction(const std::string& name);
// The names of every action, comma-separated, for help and refusals.
std::string FaultActionNames();
// An action that only the REST API's emulator meets.
bool IsHttpFaultAction(EFaultAction action);

struct SFaultRule {
  int64_t id = 0;
  std::string op;
  int64_t nth = 0;  // the nth call after the rule was added; 0 = every call
  EFaultAction action = EFaultAction::Fail;
  std::string text;  // failure text of "fail"
  int64_t delayMs = 0;
  int64_t retryAfter = -1;  // http-*: the retry-after header's seconds; -1 = none
  bool drop = false;        // lost-response: drop the connection instead of answering 500
  int64_t count = 0;        // stale-read: how many reads by id answer 404
  int64_t seen = 0;         // calls of `op` since the rule was added
  int64_t fired = 0;        // calls the rule acted on
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
  // Of the REST API's emulator only.
  int httpStatus = 0;             // 429, 500 or 503 for the operation's first request; 0 = none
  int64_t retryAfter = -1;        // seconds of that answer's retry-after header; -1 = none
  bool reset = false;             // the first request's connection is dropped unanswered
  bool lostResponse = false;      // the first changing request takes effect, its answer is lost
  bool lostResponseDrop = false;  // ... by a dropped connection rather than a 500
  int64_t staleReads = 0;         // reads by id of the first created resource that answer 404
};

class CSimFaults {
 public:
  explicit CSimFaults(CSimCloud& cloud) : cloud_(cloud) {}

  // Adds a rule and returns its id. Throws CSimError for an unknown operation, an nth below 0,
  // a delay without a positive duration, an HTTP action for a sandbox tool, lost-response for an
  // operation that changes nothing, or stale-read without a count of 1 or more.
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
