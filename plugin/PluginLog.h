#pragma once
// The plug-in object's log. The host's logger is not promised to be safe from other threads than the
// job's: a line logged on the job thread goes to it at once, one logged on a worker thread of the job
// (CJobWorkers) is handed to the job thread, which writes it. In the plug-in object it carries the
// name of the host's logger (COracleCloudInfo::evDebug), so that every line of the plug-in passes here.
#include <cstdarg>
#include <string>

#include "host/EvDebug.h"

class CPluginLog {
 public:
  explicit CPluginLog(EvDebug& host) : host_(host) {}
  CPluginLog(const CPluginLog&) = delete;
  CPluginLog& operator=(const CPluginLog&) = delete;

  void Debug(const char* tag, const char* format, ...) EV_PRINTF(3, 4);
  void Error(const char* tag, const char* format, ...) EV_PRINTF(3, 4);
  void DebugLvl(const char* tag, int level, const char* format, ...) EV_PRINTF(4, 5);

  // Writes one line through the host's logger: the job thread's business.
  static void WriteToHost(EvDebug& host, bool isError, int level, const char* tag, const string& text);

 private:
  void Write(bool isError, int level, const char* tag, const char* format, va_list args);
  EvDebug& host_;
};
