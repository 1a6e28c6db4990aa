#include <cstdio>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/SimOperations.h"

namespace cloudsim {

namespace {

// What is wrong with the rule's command line; empty when nothing is. The rules that depend on the
// operation's kind (a tool's, a change's) are the cloud's to refuse.
std::string UsageProblem(const SFaultAddArgs& args, const std::optional<sim::EFaultAction>& action) {
  if (args.every == (args.nth > 0)) return "give exactly one of --nth N (N >= 1) and --every";
  if (!sim::IsKnownOperation(args.op))
    return "Unknown operation [" + args.op +
           "]: give a bridge operation such as GetVMInfo, "
           "iscsiadm:new|login|logout|delete or vmware-vdiskmanager";
  if (!action) return "Unknown action [" + args.action + "]: use one of " + sim::FaultActionNames();
  const bool http = *action == sim::EFaultAction::Http429 || *action == sim::EFaultAction::Http500 ||
                    *action == sim::EFaultAction::Http503;
  if (args.retryAfter != -1 && !http) return "--retry-after applies to http-429, http-500 and http-503 only";
  if (args.drop && *action != sim::EFaultAction::LostResponse) return "--drop applies to lost-response only";
  if (args.count != 0 && *action != sim::EFaultAction::StaleRead) return "--count applies to stale-read only";
  if (args.count == 0 && *action == sim::EFaultAction::StaleRead)
    return "a stale-read rule needs a count of 1 or more: give --count N";
  if (!args.text.empty() && *action != sim::EFaultAction::Fail) return "--text applies to the fail action only";
  if (args.delayMs != 0 && *action != sim::EFaultAction::Delay) return "--delay-ms applies to the delay action only";
  if (args.delayMs == 0 && *action == sim::EFaultAction::Delay)
    return "a delay rule needs a delay of 1 millisecond or more: give --delay-ms MS";
  return {};
}

}  // namespace

int RunFaultAdd(const std::string& sandbox, const SFaultAddArgs& args, bool json) {
  const auto action = sim::ParseFaultAction(args.action);
  if (const std::string problem = UsageProblem(args, action); !problem.empty()) return UsageFailure(problem);
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    int64_t id = sim::CSimFaults(*cloud).Add({.op = args.op,
                                              .nth = args.every ? 0 : args.nth,
                                              .action = *action,
                                              .text = args.text,
                                              .delayMs = args.delayMs,
                                              .retryAfter = args.retryAfter,
                                              .drop = args.drop,
                                              .count = args.count});
    if (json) {
      PrintJson({{"id", id}});
    } else {
      printf("%lld\n", static_cast<long long>(id));
    }
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
    PrintTable(table, json);
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunFaultClear(const std::string& sandbox, const std::string& op, bool json) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    int64_t removed = sim::CSimFaults(*cloud).Clear(op);
    if (json) {
      PrintJson({{"removed", removed}});
    } else {
      printf("Removed %lld fault rule(s)\n", static_cast<long long>(removed));
    }
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
