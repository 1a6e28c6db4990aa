#pragma once
// The host logger. One line per call: time, thread, severity and level, the tag (the calling
// function's full signature), the message. Lines go to a log file under the agent's home
// (home/log/<channel>.log) and to a process-wide in-memory sink that tests read.
#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "host/HostTypes.h"

#define EV_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))

struct SLogRecord {
  bool isError = false;
  int level = 1;
  string tag;
  string message;
};

class EvDebug {
 public:
  explicit EvDebug(string channel = "vsagent");
  virtual ~EvDebug() = default;

  void Debug(const char* tag, const char* format, ...) EV_PRINTF(3, 4);
  void Error(const char* tag, const char* format, ...) EV_PRINTF(3, 4);
  void DebugLvl(const char* tag, int level, const char* format, ...) EV_PRINTF(4, 5);

  const string& Channel() const { return channel_; }

  // Process-wide settings: the highest level written (1-3, default 3) and the folder of the log
  // files (default <base home>/log; empty disables the files).
  static void SetMaxLevel(int level);
  static void SetLogDirectory(const string& directory);
  // Back to the default folder (<base home>/log, or none without an agent home).
  static void ResetLogDirectory();

 private:
  void Write(bool isError, int level, const char* tag, const char* format, va_list args);
  string channel_;
};

// The in-memory sink every EvDebug writes to.
namespace EvLogSink {
std::vector<SLogRecord> Records();
void Clear();
// True when a line's message contains `text` (and, when given, its tag contains `tagPart`).
bool Contains(const string& text, const string& tagPart = "");
size_t Count(const string& text);
// Bounds the sink; the oldest lines are dropped first. Default 100000 lines.
void SetCapacity(size_t lines);
}  // namespace EvLogSink

// Job services of the agent: the running job's id and the client it protects. The agent sets
// them when a job starts; names and descriptions of cloud resources carry the job id.
class EvEvent : public EvDebug {
 public:
  explicit EvEvent(string channel = "vsagent") : EvDebug(std::move(channel)) {}
  static INT64 getJobId();
  static string getClientName();
  static void setJob(INT64 jobId, const string& clientName);
};

// Logging shorthands: the tag is the calling function's full signature.
#define EVDEBUG(logger, ...) (logger).Debug(__PRETTY_FUNCTION__, __VA_ARGS__)
#define EVERROR(logger, ...) (logger).Error(__PRETTY_FUNCTION__, __VA_ARGS__)
#define EVDEBUGLVL(logger, level, ...) (logger).DebugLvl(__PRETTY_FUNCTION__, level, __VA_ARGS__)
