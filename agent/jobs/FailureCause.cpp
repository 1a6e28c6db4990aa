#include "agent/jobs/FailureCause.h"

#include "agent/jobs/InterruptWatch.h"
#include "cli/DisplayText.h"
#include "host/EvDebug.h"
#include "host/VMInfoErrors.h"

namespace agent {

CStepLog::CStepLog() : mark_(EvLogSink::Records().size()) {}

string CStepLog::FirstErrorLine(const string& about) const {
  const std::vector<SLogRecord> records = EvLogSink::Records();
  // A sink that holds fewer lines than at the mark was cleared meanwhile: it is searched whole.
  for (size_t i = mark_ <= records.size() ? mark_ : 0; i < records.size(); ++i) {
    const SLogRecord& record = records[i];
    if (record.isError && (about.empty() || record.message.find(about) != string::npos)) return record.message;
  }
  return string();
}

string FixFor(int code) {
  switch (code) {
    case VMERR_VM_ALREADY_EXISTS:
      return "restore --as another name, or --overwrite to replace the instance of that name";
    case VMERR_REPLICATION_DESTINATION_EXISTS:
      return "sync to another destination, or replace it: --overwrite (with --first-sync), --force-full";
  }
  return string();
}

string DescribeFailure(int code, const string& details, const CStepLog& log, const string& about) {
  string cause = about.empty() ? string() : log.FirstErrorLine(about);
  if (cause.empty()) cause = details;
  if (cause.empty()) cause = log.FirstErrorLine();
  if (cause.empty()) cause = "the plug-in gave no details and logged no error";
  cause.erase(0, cause.find_first_not_of(" \t"));  // some lines of the plug-in start indented
  // The plug-in's word for a job it was told to stop: said as the agent saw it.
  if (cause.find("Detected Quit flag") != string::npos && InterruptSignal() != 0)
    cause = "interrupted (" + InterruptSignalName() + ")";
  string text =
      (code != 0 ? "error " + std::to_string(code) : string("no error code")) + ": " + cli::EscapeForDisplay(cause);
  const string fix = FixFor(code);
  if (!fix.empty()) text += " (" + fix + ")";
  return text;
}

string DescribePluginFailure(const IVMInfo& plugin, const CStepLog& log) {
  return DescribeFailure(static_cast<int>(plugin.GetLastVMError()), plugin.GetLastVMErrorDetails(), log);
}

}  // namespace agent
