#include <cstdio>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimFaults.h"

namespace cloudsim {

int RunFaultAdd(const std::string& sandbox, const SFaultAddArgs& args) {
  if (args.every == (args.nth > 0)) return Failure("Give exactly one of --nth N (N >= 1) and --every");
  auto action = sim::ParseFaultAction(args.action);
  if (!action) {
    return Failure("Unknown action [" + args.action + "]: use one of " + sim::FaultActionNames());
  }
  const bool http = *action == sim::EFaultAction::Http429 || *action == sim::EFaultAction::Http500 ||
                    *action == sim::EFaultAction::Http503;
  if (args.retryAfter != -1 && !http) return Failure("--retry-after applies to http-429, http-500 and http-503 only");
  if (args.retryAfter < -1) return Failure("--retry-after takes 0 seconds or more");
  if (args.drop && *action != sim::EFaultAction::LostResponse) return Failure("--drop applies to lost-response only");
  if (args.count != 0 && *action != sim::EFaultAction::StaleRead) return Failure("--count applies to stale-read only");
  if (!args.text.empty() && *action != sim::EFaultAction::Fail) return Failure("--text applies to the fail action only");
  if (args.delayMs != 0 && *action != sim::EFaultAction::Delay) {
    return Failure("--delay-ms applies to the delay action only");
  }
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    int64_t id = sim::CSimFaults(*cloud).Add(
        {.op = args.op,
         .nth = args.every ? 0 : args.nth,
         .action = *action,
         .text = args.text,
         .delayMs = args.delayMs,
         .retryAfter = args.retryAfter,
         .drop = args.drop,
         .count = args.count});
    printf("%lld\n", static_cast<long long>(id));
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunFaultList(const std::string& sandbox, bool json) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    STable table;
    table.columns = {"id", "op", "when", "action", "text", "delay_ms", "retry_after", "drop", "count", "seen", "fired"};
    for (const sim::SFaultRule& rule : sim::CSimFaults(*cloud).List()) {
      nlohmann::json when = rule.nth == 0 ? nlohmann::json("every") : nlohmann::json(rule.nth);
      const nlohmann::json retryAfter = rule.retryAfter < 0 ? nlohmann::json() : nlohmann::json(rule.retryAfter);
      table.rows.push_back({rule.id, rule.op, when, sim::FaultActionName(rule.action), rule.text, rule.delayMs,
                            retryAfter, rule.drop, rule.count, rule.seen, rule.fired});
    }
    if (json) {
      printf("%s\n", TableToJson(table).dump(2).c_str());
    } else {
      fputs(FormatTable(table).c_str(), stdout);
    }
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunFaultClear(const std::string& sandbox, const std::string& op) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    int64_t removed = sim::CSimFaults(*cloud).Clear(op);
    printf("Removed %lld fault rule(s)\n", static_cast<long long>(removed));
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
