#include "plugin/PluginLog.h"

#include "host/FXString.h"
#include "plugin/JobWorkers.h"

void CPluginLog::Debug(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(false, 1, tag, format, args);
  va_end(args);
}

void CPluginLog::Error(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(true, 1, tag, format, args);
  va_end(args);
}

void CPluginLog::DebugLvl(const char* tag, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(false, level, tag, format, args);
  va_end(args);
}

void CPluginLog::Write(bool isError, int level, const char* tag, const char* format, va_list args) {
  const string text = FXString::FormatV(format, args);
  if (!CJobWorkers::PostLine(isError, level, tag, text)) WriteToHost(host_, isError, level, tag, text);
}

void CPluginLog::WriteToHost(EvDebug& host, bool isError, int level, const char* tag, const string& text) {
  if (isError)
    host.Error(tag, "%s", text.c_str());
  else
    host.DebugLvl(tag, level, "%s", text.c_str());
}
