#include "agent/jobs/FailureCause.h"

#include "agent/jobs/DisplayText.h"
#include "host/EvDebug.h"

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

string DescribeFailure(int code, const string& details, const CStepLog& log, const string& about) {
  string cause = about.empty() ? string() : log.FirstErrorLine(about);
  if (cause.empty()) cause = details;
  if (cause.empty()) cause = log.FirstErrorLine();
  if (cause.empty()) cause = "the plug-in gave no details and logged no error";
  return (code != 0 ? "error " + std::to_string(code) : string("no error code")) + ": " + EscapeForDisplay(cause);
}

string DescribePluginFailure(const IVMInfo& plugin, const CStepLog& log) {
  return DescribeFailure(static_cast<int>(plugin.GetLastVMError()), plugin.GetLastVMErrorDetails(), log);
}

}  // namespace agent
