#pragma once
// Operating-system utilities of the plug-in: running a command with its output captured, and the
// virtual-disk tool that makes the stub disk a temporary image is imported from.
#include <functional>
#include <string>
#include <vector>

#include "host/EvDebug.h"

namespace OracleCloudInfoUtils {

// The namespace's own log channel.
extern EvEvent c_evEvent;

// The configuration key (section "VirtualServer") of the longest time a command may run, and its
// default (also taken for 0).
extern const char* const kCommandTimeoutKey;  // "nOCICommandTimeoutInSeconds"
constexpr uint32_t kDefaultCommandTimeoutSeconds = 300;
uint32_t CommandTimeoutSeconds();

// Runs `command` with " 2>&1" appended, capturing everything it prints into `output`; false when it
// ends with a non-zero status, runs longer than CommandTimeoutSeconds(), or is stopped (see below).
// A command that is ended is killed with its whole process group. `exitStatus` (optional) receives
// the command's exit status, or -1 when it did not end by itself.
bool executeCommand(const string& command, string& output, int* exitStatus = nullptr);

// The same for the program at argv[0], started without a shell: every argument reaches it as it is.
// `environment` is its whole environment; `text` is how the command is logged.
bool executeProgram(const std::vector<string>& argv, const std::vector<string>& environment, const string& text,
                    string& output, int* exitStatus = nullptr);

// The virtual-disk tool. It is looked for in the kit folders "VDDK*" of the agent's home folder
// <home>/VMware/vddk (each with bin64/vmware-vdiskmanager and its libraries in lib64), preferring
// "VDDK673", else the newest version; "szVDiskManagerPath" (section "VirtualServer") overrides.
string getVDiskManagerPath();
string getVDDKDirectoryPath();
bool getAllVDDKVersionList(std::vector<string>& versions);
string getPreferredVDiskManagerPath();
string getLatestValidvDiskManagerPath();
string getVDiskManagerAdditionalLibPath(const string& toolPath);
// Kit folder names in descending version order: digit runs compare as numbers (VDDK10 before VDDK9).
void SortVersionsNewestFirst(std::vector<string>& versions);
// Makes a growable stub disk of `sizeMB` MB named "Vmdk-M<size>-<seconds>" in `folder` with the tool;
// true (and `filePath` set) only when the tool reports "Virtual disk creation successful.", else
// `error` says why. A folder or configured tool path that is not an absolute clean path is refused
// before anything runs.
bool CreateStubVmdkFile(const string& folder, long long sizeMB, string& filePath, string& error);
// The whole file, every byte as it is; false for a file that cannot be read or holds nothing.
bool ReadWholeBinaryFile(const string& path, string& contents);

// An absolute path without "." or ".." parts and without control characters (NUL, CR, LF...): a
// folder or program handed over from outside that names what it seems to.
bool IsAbsoluteCleanPath(const string& path);
// A name the object storage accepts for a bucket: 1 to 256 letters, digits, '-', '_' and '.'.
bool IsValidBucketName(const string& name);

// While an object lives, commands that this thread runs are also stopped (within a fraction of a
// second) as soon as `stopRequested` answers true: a cancelled job does not wait for a hung command.
// A scope with an empty function lets a command run to its end or its time limit (clean-up steps).
class CStopCommandsWhen {
 public:
  explicit CStopCommandsWhen(std::function<bool()> stopRequested);
  ~CStopCommandsWhen();
  CStopCommandsWhen(const CStopCommandsWhen&) = delete;
  CStopCommandsWhen& operator=(const CStopCommandsWhen&) = delete;

 private:
  std::function<bool()> saved_;
};

}  // namespace OracleCloudInfoUtils
