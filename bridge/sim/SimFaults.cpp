#include "bridge/sim/SimFaults.h"

#include "bridge/sim/SimOperations.h"
#include "host/HostClock.h"

namespace sim {

namespace {

struct SActionName {
  EFaultAction action;
  const char* name;
};

constexpr SActionName kActionNames[] = {
    {EFaultAction::Fail, "fail"},
    {EFaultAction::Faulty, "faulty"},
    {EFaultAction::NoSlot, "noslot"},
    {EFaultAction::Delay, "delay"},
    {EFaultAction::KillBefore, "kill-before"},
    {EFaultAction::KillAfter, "kill-after"},
    {EFaultAction::Http429, "http-429"},
    {EFaultAction::Http500, "http-500"},
    {EFaultAction::Http503, "http-503"},
    {EFaultAction::Reset, "reset"},
    {EFaultAction::LostResponse, "lost-response"},
    {EFaultAction::StaleRead, "stale-read"},
};

// The options of the HTTP actions came after the first sandboxes: a database made before them gets
// their columns when first used.
void EnsureFaultColumns(CSimDb& db) {
  if (db.QueryInt("SELECT COUNT(*) FROM pragma_table_info('fault_rules') WHERE name = 'retry_after'", 0) > 0) return;
  db.Run("ALTER TABLE fault_rules ADD COLUMN retry_after INTEGER NOT NULL DEFAULT -1");
  db.Run("ALTER TABLE fault_rules ADD COLUMN drop_connection INTEGER NOT NULL DEFAULT 0");
  db.Run("ALTER TABLE fault_rules ADD COLUMN count INTEGER NOT NULL DEFAULT 0");
}

int HttpStatusOf(EFaultAction action) {
  switch (action) {
    case EFaultAction::Http429:
      return 429;
    case EFaultAction::Http500:
      return 500;
    case EFaultAction::Http503:
      return 503;
    default:
      return 0;
  }
}

}  // namespace

const char* FaultActionName(EFaultAction action) {
  for (const auto& entry : kActionNames) {
    if (entry.action == action) return entry.name;
  }
  return "?";
}

std::optional<EFaultAction> ParseFaultAction(const std::string& name) {
  for (const auto& entry : kActionNames) {
    if (name == entry.name) return entry.action;
  }
  return std::nullopt;
}

std::string FaultActionNames() {
  std::string names;
  for (const auto& entry : kActionNames) names += (names.empty() ? "" : ", ") + std::string(entry.name);
  return names;
}

bool IsHttpFaultAction(EFaultAction action) {
  return HttpStatusOf(action) != 0 || action == EFaultAction::Reset || action == EFaultAction::LostResponse ||
         action == EFaultAction::StaleRead;
}

int64_t CSimFaults::Add(const SFaultRule& rule) {
  if (!IsKnownOperation(rule.op)) throw CSimError("Unknown operation [" + rule.op + "]");
  if (rule.nth < 0) throw CSimError("The call number of a fault rule must be 1 or more");
  // A faulty login makes its session but shows no device, a faulty disk creation ends well without a
  // disk; the tools have nothing else to make faulty.
  const bool canBeFaulty = rule.op == "iscsiadm:login" || rule.op == "vmware-vdiskmanager";
  if (IsToolOperation(rule.op) &&
      (rule.action == EFaultAction::NoSlot || (rule.action == EFaultAction::Faulty && !canBeFaulty))) {
    throw CSimError(
        "The sandbox's tools take fail, delay, kill-before or kill-after (and faulty an iscsiadm login "
        "or a vmware-vdiskmanager call)");
  }
  if (rule.action == EFaultAction::Delay && rule.delayMs <= 0) {
    throw CSimError("A delay rule needs a delay of 1 millisecond or more");
  }
  if (IsToolOperation(rule.op) && IsHttpFaultAction(rule.action))
    throw CSimError("The sandbox's tools make no HTTP requests: " + std::string(FaultActionName(rule.action)) +
                    " applies to the cloud's operations only");
  if (rule.action == EFaultAction::LostResponse && IsReadOnlyOperation(rule.op))
    throw CSimError("The operation [" + rule.op + "] changes nothing: it has no answer to lose");
  if (rule.action == EFaultAction::StaleRead && rule.count <= 0)
    throw CSimError("A stale-read rule needs a count of 1 or more");
  std::string text = rule.text;
  if (rule.action == EFaultAction::Fail && text.empty()) text = "Simulated failure of " + rule.op;
  return cloud_.Write([&](CSimDb& db) {
    EnsureFaultColumns(db);
    db.Run(
        "INSERT INTO fault_rules(op, nth, action, text, delay_ms, retry_after, drop_connection, count, created) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
        rule.op, rule.nth, FaultActionName(rule.action), text, rule.delayMs,
        HttpStatusOf(rule.action) ? rule.retryAfter : int64_t{-1}, rule.drop, rule.count, HostClock::Now());
    return db.QueryInt("SELECT last_insert_rowid()", 0);
  });
}

std::vector<SFaultRule> CSimFaults::List() {
  return cloud_.Write([](CSimDb& db) {
    EnsureFaultColumns(db);
    std::vector<SFaultRule> rules;
    CSimStatement stmt = db.Prepare(
        "SELECT id, op, nth, action, text, delay_ms, seen, fired, retry_after, drop_connection, count FROM fault_rules "
        "ORDER BY id");
    while (stmt.Step()) {
      SFaultRule rule;
      rule.id = stmt.Int(0);
      rule.op = stmt.Text(1);
      rule.nth = stmt.Int(2);
      rule.action = ParseFaultAction(stmt.Text(3)).value_or(EFaultAction::Fail);
      rule.text = stmt.Text(4);
      rule.delayMs = stmt.Int(5);
      rule.seen = stmt.Int(6);
      rule.fired = stmt.Int(7);
      rule.retryAfter = stmt.Int(8);
      rule.drop = stmt.Int(9) != 0;
      rule.count = stmt.Int(10);
      rules.push_back(std::move(rule));
    }
    return rules;
  });
}

int64_t CSimFaults::Clear(const std::string& op) {
  return cloud_.Write([&](CSimDb& db) {
    if (op.empty()) {
      db.Run("DELETE FROM fault_rules");
    } else {
      db.Run("DELETE FROM fault_rules WHERE op = ?", op);
    }
    return db.Changes();
  });
}

SCallFaults CSimFaults::CountCall(const std::string& op) {
  return cloud_.Write([&](CSimDb& db) { return CountCallIn(db, op); });
}

SCallFaults CSimFaults::CountCallIn(CSimDb& db, const std::string& op) {
  SCallFaults faults;
  EnsureFaultColumns(db);
  db.Run("INSERT INTO calls(op, count) VALUES (?, 1) ON CONFLICT(op) DO UPDATE SET count = count + 1", op);
  faults.callNumber = db.QueryInt("SELECT count FROM calls WHERE op = ?", 0, op);
  db.Run("UPDATE fault_rules SET seen = seen + 1 WHERE op = ?", op);
  db.Run("UPDATE fault_rules SET fired = fired + 1 WHERE op = ? AND (nth = 0 OR nth = seen)", op);
  CSimStatement stmt = db.Prepare(
      "SELECT action, text, delay_ms, retry_after, drop_connection, count FROM fault_rules WHERE op = ? AND "
      "(nth = 0 OR nth = seen) ORDER BY id");
  stmt.BindAll(op);
  while (stmt.Step()) {
    const EFaultAction action = ParseFaultAction(stmt.Text(0)).value_or(EFaultAction::Fail);
    switch (action) {
      case EFaultAction::Fail:
        // The oldest failing rule names the failure.
        if (!faults.fail) faults.failText = stmt.Text(1);
        faults.fail = true;
        break;
      case EFaultAction::Faulty:
        faults.faulty = true;
        break;
      case EFaultAction::NoSlot:
        faults.noSlot = true;
        break;
      case EFaultAction::Delay:
        faults.delayMs += stmt.Int(2);
        break;
      case EFaultAction::KillBefore:
        faults.killBefore = true;
        break;
      case EFaultAction::KillAfter:
        faults.killAfter = true;
        break;
      case EFaultAction::Http429:
      case EFaultAction::Http500:
      case EFaultAction::Http503:
        // The oldest rule names the status.
        if (!faults.httpStatus) faults.httpStatus = HttpStatusOf(action), faults.retryAfter = stmt.Int(3);
        break;
      case EFaultAction::Reset:
        faults.reset = true;
        break;
      case EFaultAction::LostResponse:
        faults.lostResponse = true;
        faults.lostResponseDrop = faults.lostResponseDrop || stmt.Int(4) != 0;
        break;
      case EFaultAction::StaleRead:
        faults.staleReads += stmt.Int(5);
        break;
    }
  }
  return faults;
}

std::map<std::string, int64_t> CSimFaults::Counters() {
  return cloud_.Read([](CSimDb& db) {
    std::map<std::string, int64_t> counters;
    CSimStatement stmt = db.Prepare("SELECT op, count FROM calls");
    while (stmt.Step()) counters[stmt.Text(0)] = stmt.Int(1);
    return counters;
  });
}

void CSimFaults::ResetCounters() {
  cloud_.Write([](CSimDb& db) { db.Run("DELETE FROM calls"); });
}

}  // namespace sim
