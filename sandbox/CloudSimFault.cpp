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
    return Failure("Unknown action [" + args.action + "]: use fail, faulty, noslot, delay, kill-before or kill-after");
  }
  if (!args.text.empty() && *action != sim::EFaultAction::Fail) return Failure("--text applies to the fail action only");
  if (args.delayMs != 0 && *action != sim::EFaultAction::Delay) {
    return Failure("--delay-ms applies to the delay action only");
  }
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    int64_t id = sim::CSimFaults(*cloud).Add(
        {.op = args.op, .nth = args.every ? 0 : args.nth, .action = *action, .text = args.text, .delayMs = args.delayMs});
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
    table.columns = {"id", "op", "when", "action", "text", "delay_ms", "seen", "fired"};
    for (const sim::SFaultRule& rule : sim::CSimFaults(*cloud).List()) {
      nlohmann::json when = rule.nth == 0 ? nlohmann::json("every") : nlohmann::json(rule.nth);
      table.rows.push_back({rule.id, rule.op, when, sim::FaultActionName(rule.action), rule.text, rule.delayMs,
                            rule.seen, rule.fired});
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
