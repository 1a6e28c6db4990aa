#pragma once
// The commands of cloud-sim. Each returns the process exit status (cli/ExitCodes.h) and reports its
// own errors through Failure or UsageFailure. Under `json` a command prints its data as JSON on stdout,
// numbers as numbers.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/JsonOutput.h"

namespace CLI {
class App;
}

namespace cloudsim {

struct SFaultAddArgs {
  std::string op;
  long long nth = 0;
  bool every = false;
  std::string action;
  std::string text;
  long long delayMs = 0;
  long long retryAfter = -1;  // -1: no retry-after header
  bool drop = false;
  long long count = 0;
};

struct SSnapshotAddArgs {
  std::string volumeId;
  std::string description;
  long long created = 0;  // seconds since the epoch
  std::string name;       // empty: made from the volume's name
};

struct SVolumeWriteArgs {
  std::string volumeId;
  long long offset = 0;
  std::string text;  // the bytes, unless `file` names a file holding them
  std::string file;
};

// fileLinks: attachments on the proxy are links to the volumes' files, not loop devices (a machine
// without them).
// DIR is a new or empty folder whose parent exists: init makes no parents.
int RunInit(const std::string& dir, const std::string& flavour, uint64_t bootVolumeMiB, const std::string& backend,
            bool fileLinks, bool json);
// Serves the sandbox's cloud over its REST API on 127.0.0.1:`port` (0: any free port) until stopped;
// writes the address it listens on to <sandbox>/api/endpoint. A list answers `pageSize` items a page
// unless the client asks for another limit.
int RunServe(const std::string& sandbox, int port, int pageSize);
int RunList(const std::string& sandbox, const std::string& kind, bool json);
int RunFaultAdd(const std::string& sandbox, const SFaultAddArgs& args, bool json);
int RunFaultList(const std::string& sandbox, bool json);
int RunFaultClear(const std::string& sandbox, const std::string& op, bool json);
int RunCalls(const std::string& sandbox, bool json, bool reset);
int RunConfigSet(const std::string& sandbox, const std::string& key, const std::string& value);
int RunConfigList(const std::string& sandbox, bool json);
int RunSnapshotAdd(const std::string& sandbox, const SSnapshotAddArgs& args, bool json);
// Operator changes between jobs; none is recorded as a job's doing.
int RunSnapshotRemove(const std::string& sandbox, const std::string& id);
int RunSnapshotState(const std::string& sandbox, const std::string& id, const std::string& state);
int RunVolumeWrite(const std::string& sandbox, const SVolumeWriteArgs& args);
int RunVolumeAdd(const std::string& sandbox, const std::string& instance, uint64_t size, bool json);  // prints the id
int RunVolumeDetach(const std::string& sandbox, const std::string& id);
// bytes: only the first so many (0: all).
int RunVolumeChecksum(const std::string& sandbox, const std::string& id, uint64_t bytes, bool json);
// Exit 0 when jobs left nothing in the cloud, 1 when they did (or on an error). The instances named
// in `keep` and what belongs to them are a job's results, not leftovers.
int RunLeaks(const std::string& sandbox, bool json, const std::vector<std::string>& keep);
int RunPopulate(const std::string& sandbox, long long compartments, long long instancesEach, bool json);
// Hidden: a sandbox tool (bin/iscsiadm) reports one call of `op` and learns its faults.
int RunToolCall(const std::string& sandbox, const std::string& op);
// The request models of the REST API's routes (ApiRequestModels.h) as JSON.
int RunApiModels();

// Hidden, for the sandbox's iscsiadm: binds a volume's file to a loop device (or, in a sandbox that keeps
// file links, names the file) and prints the device; releases it again.
int RunDeviceBind(const std::string& sandbox, const std::string& file);
int RunDeviceRelease(const std::string& device, const std::string& file);
// Lists the loop devices bound to the sandbox's files (all: to any sandbox's volume files); exit 1 when any.
int RunLoops(const std::string& sandbox, bool all, bool json);
// Releases the sandbox's loop devices, then removes its folder.
int RunRemove(const std::string& dir);

// What a command prints (CloudSimReport.cpp). Texts from the command line, the cloud or a path reach
// the terminal with their control characters escaped.

// Failures are reported for the command `command` ("cloud-sim volume add"); under `json` also as one
// object on stdout: {"ok": false, "command", "code": null, "exit_code", "message"}.
void ReportFailuresAs(const std::string& command, bool json);
// Prints "cloud-sim: <message>" on stderr (and the failure object) and returns kExitFailed: the work failed.
int Failure(const std::string& message);
// Likewise for a command line that was wrong (a value not accepted, an option missing): kExitUsage.
int UsageFailure(const std::string& message);
// Parses the command line; a usage error under --json is reported as a failure object too. Returns
// nothing when a command is to run, else the exit code to end with.
std::optional<int> ParseReportingFailures(CLI::App& app, int argc, char** argv);

using cli::PrintJson;
// The end of a command that prints no data: under --json a success prints {}.
int EndWithoutData(int code, bool json);
// A text shown to a person, control characters escaped.
std::string Shown(const std::string& text);
struct STable;
// A query's rows: a JSON array of objects, or an aligned text table with its texts escaped.
void PrintTable(const STable& table, bool json);

}  // namespace cloudsim
