// cloud-sim: creates a sandbox and inspects or configures its simulated cloud.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <exception>
#include <limits>

#include "CloudSimCommands.h"
#include "cli/CommandLine.h"
#include "bridge/sim/CloudSeeder.h"
#include "bridge/sim/SimPopulate.h"

namespace {

// A number option: digits only, within [min, max]; the message names what it takes.
CLI::Validator WholeNumber(long long min, unsigned long long max = std::numeric_limits<long long>::max()) {
  return CLI::Validator(
      [min, max](std::string& value) -> std::string {
        unsigned long long number = 0;
        const char* end = value.data() + value.size();
        const auto [stop, error] = std::from_chars(value.data(), end, number);
        if (!value.empty() && error == std::errc() && stop == end && number >= static_cast<unsigned long long>(min) &&
            number <= max)
          return {};
        std::string range = "a whole number of at least " + std::to_string(min);
        if (max != std::numeric_limits<long long>::max() && max != std::numeric_limits<unsigned long long>::max())
          range = "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
        return "takes " + range + ", not [" + cloudsim::Shown(value) + "]";
      },
      "", "WholeNumber");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace cloudsim;
  CLI::App app{"Creates a sandbox and inspects or configures its simulated cloud"};
  cli::PrepareCommandLine(app, "cloud-sim");
  app.require_subcommand(1);
  std::string sandbox;
  app.add_option("--sandbox", sandbox, "Sandbox folder")->envname("CLOUD_SANDBOX");
  bool json = false;
  // Every command but serve takes --json: its data, {} when it prints none, or the failure object.
  const auto jsonFlag = [&json](CLI::App* command) {
    command->add_flag("--json", json,
                      "Print JSON on stdout; a failure prints {\"ok\": false, \"command\", \"code\", \"message\"}");
  };

  std::string initDir, flavour = "infrastructure";
  auto* init = app.add_subcommand("init", "Create a sandbox in DIR, a new or empty folder whose parent exists");
  init->add_option("DIR", initDir, "Folder of the new sandbox (init makes no parent folders)")->required();
  init->add_option("--flavour", flavour, "infrastructure or classic")->capture_default_str();
  uint64_t bootVolumeMiB = sim::kDefaultBootVolumeMiB;
  std::string backend = "sim";
  init->add_option("--backend", backend, "sim (jobs call the simulator in-process) or rest (over `serve`)")
      ->capture_default_str();
  init->add_option("--volume-mib", bootVolumeMiB, "Size of the instances' boot volumes in MiB; data volumes are half")
      ->capture_default_str()
      ->check(WholeNumber(sim::kMinBootVolumeMiB, sim::kMaxBootVolumeMiB));

  bool fileLinks = false;
  init->add_flag("--file-links", fileLinks,
                 "Attach volumes to the proxy as links to their files, not as loop devices (a machine without them)");
  jsonFlag(init);

  std::string kind;
  auto* ls = app.add_subcommand("ls", "List the cloud's resources of one KIND, or a summary");
  ls->add_option("KIND", kind,
                 "regions, compartments, ads, shapes, images, instances, volumes, snapshots, attachments, vnics, "
                 "subnets, buckets, objects, keys, security-lists");
  jsonFlag(ls);

  auto* fault = app.add_subcommand("fault", "Manage fault rules");
  fault->require_subcommand(1);
  SFaultAddArgs faultArgs;
  auto* faultAdd = fault->add_subcommand("add", "Add a fault rule");
  faultAdd->add_option("--op", faultArgs.op, "Bridge operation, e.g. GetVMInfo, or iscsiadm:new|login|logout|delete, vmware-vdiskmanager")
      ->required();
  auto* nth = faultAdd->add_option("--nth", faultArgs.nth, "Act on the Nth call from now")->check(WholeNumber(1));
  auto* every = faultAdd->add_flag("--every", faultArgs.every, "Act on every call");
  nth->excludes(every);
  faultAdd
      ->add_option("--action", faultArgs.action,
                   "fail, faulty, noslot, delay, kill-before, kill-after; over REST only (the in-process backend "
                   "ignores them): http-429, http-500, http-503 (first request answered so), reset (first request "
                   "dropped), lost-response (first change made, its answer lost), stale-read (the created "
                   "resource reads as missing)")
      ->required();
  faultAdd->add_option("--text", faultArgs.text, "Failure text (fail)");
  faultAdd->add_option("--delay-ms", faultArgs.delayMs, "Delay in milliseconds (delay)")->check(WholeNumber(1));
  faultAdd->add_option("--retry-after", faultArgs.retryAfter, "Seconds of the answer's retry-after header (http-*)")
      ->check(WholeNumber(0));
  faultAdd->add_flag("--drop", faultArgs.drop, "Drop the connection instead of answering 500 (lost-response)");
  faultAdd->add_option("--count", faultArgs.count, "Reads by id that answer 404 (stale-read)")->check(WholeNumber(1));
  jsonFlag(faultAdd);
  auto* faultLs = fault->add_subcommand("ls", "List the fault rules");
  jsonFlag(faultLs);
  std::string clearOp;
  auto* faultClear = fault->add_subcommand("clear", "Remove fault rules");
  faultClear->add_option("--op", clearOp, "Only the rules of this operation");
  jsonFlag(faultClear);

  bool reset = false;
  auto* calls = app.add_subcommand("calls", "Show the calls counted per operation");
  jsonFlag(calls);
  calls->add_flag("--reset", reset, "Set every counter back to zero");

  auto* config = app.add_subcommand("config", "Cloud settings");
  config->require_subcommand(1);
  std::string key, value;
  auto* configSet = config->add_subcommand("set", "Change a setting");
  configSet->add_option("KEY", key, "slot_limit or provision_seconds.<kind>")->required();
  configSet->add_option("VALUE", value, "Whole number")->required();
  jsonFlag(configSet);
  auto* configLs = config->add_subcommand("ls", "Show the settings");
  jsonFlag(configLs);

  auto* snapshot = app.add_subcommand("snapshot", "Snapshots made outside of jobs");
  snapshot->require_subcommand(1);
  SSnapshotAddArgs snapshotArgs;
  auto* snapshotAdd = snapshot->add_subcommand("add", "Snapshot a volume with a chosen description and time");
  snapshotAdd->add_option("VOLUME_ID", snapshotArgs.volumeId, "Volume to snapshot")->required();
  snapshotAdd->add_option("--description", snapshotArgs.description, "Description of the snapshot")->required();
  snapshotAdd->add_option("--created", snapshotArgs.created, "Creation time, seconds since the epoch")
      ->required()
      ->check(WholeNumber(0));
  snapshotAdd->add_option("--name", snapshotArgs.name, "Display name");
  jsonFlag(snapshotAdd);

  std::string snapshotId, snapshotState;
  auto* snapshotRm = snapshot->add_subcommand("rm", "Delete a snapshot");
  snapshotRm->add_option("ID", snapshotId, "Snapshot to delete")->required();
  jsonFlag(snapshotRm);
  auto* snapshotSetState = snapshot->add_subcommand("state", "Set a snapshot's lifecycle state");
  snapshotSetState->add_option("ID", snapshotId, "Snapshot")->required();
  snapshotSetState->add_option("STATE", snapshotState, "The flavour's available or faulty word, e.g. FAULTY")
      ->required();
  jsonFlag(snapshotSetState);

  auto* volume = app.add_subcommand("volume", "Volume bytes and an instance's data volumes");
  volume->require_subcommand(1);
  std::string volumeId;
  auto* checksum = volume->add_subcommand("checksum", "checksum of a volume's (or snapshot's) bytes, holes as zeros: SHA-256 of its 1 MiB chunks' SHA-256 digests");
  checksum->add_option("ID", volumeId, "Volume or snapshot id")->required();
  uint64_t checksumBytes = 0;
  checksum->add_option("--bytes", checksumBytes, "Only the first N bytes (N >= 1, at most the volume's size)")
      ->check(WholeNumber(1, std::numeric_limits<uint64_t>::max()));
  jsonFlag(checksum);

  SVolumeWriteArgs writeArgs;
  auto* volumeWrite = volume->add_subcommand("write", "Write bytes into a volume at an offset");
  volumeWrite->add_option("ID", writeArgs.volumeId, "Volume id")->required();
  volumeWrite->add_option("--offset", writeArgs.offset, "Byte offset (0 or more)")->required()->check(WholeNumber(0));
  auto* text = volumeWrite->add_option("--text", writeArgs.text, "The bytes to write");
  auto* file = volumeWrite->add_option("--file", writeArgs.file, "A file holding the bytes to write");
  text->excludes(file);
  jsonFlag(volumeWrite);
  std::string instance;
  uint64_t addBytes = 0;
  auto* volumeAdd = volume->add_subcommand("add", "Add an empty data volume to an instance and print its id");
  volumeAdd->add_option("INSTANCE", instance, "Instance id (or uri)")->required();
  volumeAdd->add_option("--size", addBytes, "Size in bytes")
      ->required()
      ->check(WholeNumber(1, std::numeric_limits<uint64_t>::max()));
  jsonFlag(volumeAdd);
  auto* volumeDetach = volume->add_subcommand("detach", "Detach a volume from its instance (the volume stays)");
  volumeDetach->add_option("ID", volumeId, "Volume id")->required();
  jsonFlag(volumeDetach);

  auto* leaks = app.add_subcommand("leaks", "List what jobs left in the cloud; exit 1 when anything is left (a "
                                   "failure exits 1 too: under --json it prints {\"ok\": false, ...}, not the list)");
  jsonFlag(leaks);
  std::vector<std::string> keep;
  leaks->add_option("--keep", keep, "An instance a job made as its result: it and what belongs to it are no leak")
      ->allow_extra_args(false);

  bool allLoops = false;
  auto* loops = app.add_subcommand("loops", "List the loop devices bound to the sandbox's files; exit 1 when any (a "
                                   "failure exits 1 too: under --json it prints {\"ok\": false, ...}, not the list)");
  loops->add_flag("--all", allLoops, "Those bound to any sandbox's volume files");
  jsonFlag(loops);
  std::string removeDir;
  auto* remove = app.add_subcommand("remove", "Release the sandbox's loop devices and remove its folder DIR");
  remove->add_option("DIR", removeDir, "Folder of the sandbox")->required();
  jsonFlag(remove);

  long long compartments = 0, instancesEach = 0;
  auto* populate = app.add_subcommand("populate", "Add compartments of running instances (scale tests)");
  populate->add_option("--compartments", compartments, "Compartments to add")
      ->required()
      ->check(WholeNumber(1, sim::kPopulateMaxInstances));
  populate->add_option("--instances", instancesEach, "Running instances in each")
      ->required()
      ->check(WholeNumber(0, sim::kPopulateMaxInstances));
  jsonFlag(populate);

  int port = 0, pageSize = 4;
  auto* serve = app.add_subcommand("serve", "Serve the cloud's REST API on 127.0.0.1 until stopped");
  serve->add_option("--port", port, "Port (0: any free one); the address goes to <sandbox>/api/endpoint")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--page-size", pageSize, "Items a list page holds when the client asks for no limit (small, so that "
                    "every list pages)")
      ->check(CLI::Range(1, 1000));

  // Not listed in the help: the sandbox's own tools call it.
  std::string toolOp;
  auto* toolCall = app.add_subcommand("tool-call", "Count a call of a sandbox tool and print its faults")->group("");
  toolCall->add_option("OP", toolOp, "Tool operation, e.g. iscsiadm:login, vmware-vdiskmanager")->required();
  std::string deviceFile, deviceName;
  auto* deviceBind = app.add_subcommand("device-bind", "Bind a volume's file to a loop device; print it")->group("");
  deviceBind->add_option("FILE", deviceFile, "The volume's file")->required();
  auto* deviceRelease = app.add_subcommand("device-release", "Release a loop device bound to FILE")->group("");
  deviceRelease->add_option("DEVICE", deviceName, "/dev/loopN")->required();
  deviceRelease->add_option("FILE", deviceFile, "The volume's file")->required();
  auto* apiModels = app.add_subcommand("api-models", "Print the request bodies the REST API accepts, as JSON")->group("");

  if (auto exitCode = ParseReportingFailures(app, argc, argv)) return *exitCode;
  ReportFailuresAs(cli::CommandPath(app), json);
  // Every command but init, remove, loops (which may look at all sandboxes) and the hidden ones works on a sandbox.
  const bool onSandbox = !*init && !*remove && !*loops && !*apiModels && !*deviceRelease;
  if (onSandbox && sandbox.empty()) return UsageFailure("give the sandbox: --sandbox DIR, or set CLOUD_SANDBOX");
  try {
    if (*init) return RunInit(initDir, flavour, bootVolumeMiB, backend, fileLinks, json);
    if (*serve) return RunServe(sandbox, port, pageSize);
    if (*ls) return RunList(sandbox, kind, json);
    if (*faultAdd) return RunFaultAdd(sandbox, faultArgs, json);
    if (*faultLs) return RunFaultList(sandbox, json);
    if (*faultClear) return RunFaultClear(sandbox, clearOp, json);
    if (*calls) return RunCalls(sandbox, json, reset);
    if (*configSet) return EndWithoutData(RunConfigSet(sandbox, key, value), json);
    if (*configLs) return RunConfigList(sandbox, json);
    if (*snapshotAdd) return RunSnapshotAdd(sandbox, snapshotArgs, json);
    if (*snapshotRm) return EndWithoutData(RunSnapshotRemove(sandbox, snapshotId), json);
    if (*snapshotSetState) return EndWithoutData(RunSnapshotState(sandbox, snapshotId, snapshotState), json);
    if (*checksum) return RunVolumeChecksum(sandbox, volumeId, checksumBytes, json);
    if (*volumeWrite) {
      if (!*text && !*file) return UsageFailure("give the bytes to write: --text TEXT or --file FILE");
      return EndWithoutData(RunVolumeWrite(sandbox, writeArgs), json);
    }
    if (*volumeAdd) return RunVolumeAdd(sandbox, instance, addBytes, json);
    if (*volumeDetach) return EndWithoutData(RunVolumeDetach(sandbox, volumeId), json);
    if (*leaks) return RunLeaks(sandbox, json, keep);
    if (*populate) return RunPopulate(sandbox, compartments, instancesEach, json);
    if (*toolCall) return RunToolCall(sandbox, toolOp);
    if (*apiModels) return RunApiModels();
    if (*deviceBind) return RunDeviceBind(sandbox, deviceFile);
    if (*deviceRelease) return RunDeviceRelease(deviceName, deviceFile);
    if (*loops) return RunLoops(sandbox, allLoops, json);
    if (*remove) return EndWithoutData(RunRemove(removeDir), json);
  } catch (const std::exception& e) {
    return Failure(e.what());
  }
  return UsageFailure("give a command: " + cli::CommandList(app));
}
