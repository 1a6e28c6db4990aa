#include "plugin/PluginLog.h"

#include <cstdio>

#include "plugin/JobWorkers.h"

namespace {
string FormatLine(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return string();
  string text(static_cast<size_t>(needed) + 1, '\0');
  vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}
}  // namespace

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
  const string text = FormatLine(format, args);
  if (!CJobWorkers::PostLine(isError, level, tag, text)) WriteToHost(host_, isError, level, tag, text);
}

void CPluginLog::WriteToHost(EvDebug& host, bool isError, int level, const char* tag, const string& text) {
  if (isError)
    host.Error(tag, "%s", text.c_str());
  else
    host.DebugLvl(tag, level, "%s", text.c_str());
}
