#pragma once
// What the agent prints for a failed step: the step, the plug-in's error code and the cause. The
// cause is the plug-in's error details, else the first error-level line the step logged (the host
// logger's in-memory sink; later lines are mostly the unwinding's); a failure without a code says
// "no error code" instead of a fake 0.
#include <string>

#include "host/IVMInfo.h"

namespace agent {

// Marks the host log at the start of a step.
class CStepLog {
 public:
  CStepLog();
  // The message of the first error-level line logged since the mark that contains `about` (any line
  // when empty); empty when there is none.
  string FirstErrorLine(const string& about = "") const;

 private:
  size_t mark_;
};

// "error <code>: <cause>" or "no error code: <cause>", escaped for display. With `about` given, a
// logged error line that names it comes before the details. A code the agent knows a fix for gets it
// after the cause (FixFor); a job stopped by an interrupt says so instead of the plug-in's word.
string DescribeFailure(int code, const string& details, const CStepLog& log, const string& about = "");
// What the user can do about a failure of `code` (e.g. the option that allows it); empty when the
// agent knows nothing.
string FixFor(int code);
// The same from the plug-in's last error, read now.
string DescribePluginFailure(const IVMInfo& plugin, const CStepLog& log);

}  // namespace agent
