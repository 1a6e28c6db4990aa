// cloud-sim: creates a sandbox and inspects or configures its simulated cloud.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "CloudSimCommands.h"
#include "bridge/sim/CloudSeeder.h"
#include "bridge/sim/SimPopulate.h"
#include "cli/CommandLine.h"

using namespace cloudsim;

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

// What the command line collects: the sandbox, --json, and each command with what it runs.
struct SCommandLine {
  struct SCommand {
    CLI::App* command;
    bool onSandbox;  // works on the sandbox of --sandbox (or CLOUD_SANDBOX)
    std::function<int()> run;
  };
  std::string sandbox;
  bool json = false;
  std::vector<SCommand> commands;

  // Registers what runs when `command` is chosen; adds its --json unless it prints nothing to a script.
  void Add(CLI::App* command, bool onSandbox, std::function<int()> run, bool takesJson = true) {
    if (takesJson)
      command->add_flag("--json", json,
                        "Print JSON on stdout; a failure prints {\"ok\": false, \"command\", \"code\": null, "
                        "\"exit_code\", \"message\"}");
    commands.push_back({command, onSandbox, std::move(run)});
  }
};

void AddInit(CLI::App& app, SCommandLine& line) {
  struct SArgs {
    std::string dir, flavour = "infrastructure", backend = "sim";
    uint64_t bootVolumeMiB = sim::kDefaultBootVolumeMiB;
    bool fileLinks = false;
  };
  auto args = std::make_shared<SArgs>();
  auto* init = app.add_subcommand("init", "Create a sandbox in DIR, a new or empty folder whose parent exists");
  init->add_option("DIR", args->dir, "Folder of the new sandbox (init makes no parent folders)")->required();
  init->add_option("--flavour", args->flavour, "infrastructure or classic")->capture_default_str();
  init->add_option("--backend", args->backend, "sim (jobs call the simulator in-process) or rest (over `serve`)")
      ->capture_default_str();
  init->add_option("--volume-mib", args->bootVolumeMiB,
                   "Size of the instances' boot volumes in MiB; data volumes are half")
      ->capture_default_str()
      ->check(WholeNumber(sim::kMinBootVolumeMiB, sim::kMaxBootVolumeMiB));
  init->add_flag("--file-links", args->fileLinks,
                 "Attach volumes to the proxy as links to their files, not as loop devices (a machine without them)");
  line.Add(init, false, [args, &line] {
    return RunInit(args->dir, args->flavour, args->bootVolumeMiB, args->backend, args->fileLinks, line.json);
  });
}

void AddInspection(CLI::App& app, SCommandLine& line) {
  auto kind = std::make_shared<std::string>();
  auto* ls = app.add_subcommand("ls", "List the cloud's resources of one KIND, or a summary");
  ls->add_option("KIND", *kind,
                 "regions, compartments, ads, shapes, images, instances, volumes, snapshots, attachments, vnics, "
                 "subnets, buckets, objects, keys, security-lists");
  line.Add(ls, true, [kind, &line] { return RunList(line.sandbox, *kind, line.json); });

  auto reset = std::make_shared<bool>(false);
  auto* calls = app.add_subcommand("calls", "Show the calls counted per operation");
  calls->add_flag("--reset", *reset, "Set every counter back to zero");
  line.Add(calls, true, [reset, &line] { return RunCalls(line.sandbox, line.json, *reset); });

  auto keep = std::make_shared<std::vector<std::string>>();
  auto* leaks = app.add_subcommand("leaks",
                                   "List what jobs left in the cloud; exit 1 when anything is left (a "
                                   "failure exits 1 too: under --json it prints {\"ok\": false, ...}, not the list)");
  leaks->add_option("--keep", *keep, "An instance a job made as its result: it and what belongs to it are no leak")
      ->allow_extra_args(false);
  line.Add(leaks, true, [keep, &line] { return RunLeaks(line.sandbox, line.json, *keep); });
}

void AddFaults(CLI::App& app, SCommandLine& line) {
  auto* fault = app.add_subcommand("fault", "Manage fault rules");
  fault->require_subcommand(1);
  auto args = std::make_shared<SFaultAddArgs>();
  auto* add = fault->add_subcommand("add", "Add a fault rule");
  add->add_option("--op", args->op,
                  "Bridge operation, e.g. GetVMInfo, or iscsiadm:new|login|logout|delete, vmware-vdiskmanager")
      ->required();
  auto* nth = add->add_option("--nth", args->nth, "Act on the Nth call from now")->check(WholeNumber(1));
  auto* every = add->add_flag("--every", args->every, "Act on every call");
  nth->excludes(every);
  add->add_option("--action", args->action,
                  "fail, faulty, noslot, delay, kill-before, kill-after; over REST only (the in-process backend "
                  "ignores them): http-429, http-500, http-503 (first request answered so), reset (first request "
                  "dropped), lost-response (first change made, its answer lost), stale-read (the created "
                  "resource reads as missing)")
      ->required();
  add->add_option("--text", args->text, "Failure text (fail)");
  add->add_option("--delay-ms", args->delayMs, "Delay in milliseconds (delay)")->check(WholeNumber(1));
  add->add_option("--retry-after", args->retryAfter, "Seconds of the answer's retry-after header (http-*)")
      ->check(WholeNumber(0));
  add->add_flag("--drop", args->drop, "Drop the connection instead of answering 500 (lost-response)");
  add->add_option("--count", args->count, "Reads by id that answer 404 (stale-read)")->check(WholeNumber(1));
  line.Add(add, true, [args, &line] { return RunFaultAdd(line.sandbox, *args, line.json); });

  line.Add(fault->add_subcommand("ls", "List the fault rules"), true,
           [&line] { return RunFaultList(line.sandbox, line.json); });
  auto op = std::make_shared<std::string>();
  auto* clear = fault->add_subcommand("clear", "Remove fault rules");
  clear->add_option("--op", *op, "Only the rules of this operation");
  line.Add(clear, true, [op, &line] { return RunFaultClear(line.sandbox, *op, line.json); });
}

void AddConfig(CLI::App& app, SCommandLine& line) {
  auto* config = app.add_subcommand("config", "Cloud settings");
  config->require_subcommand(1);
  auto setting = std::make_shared<std::pair<std::string, std::string>>();
  auto* set = config->add_subcommand("set", "Change a setting");
  set->add_option("KEY", setting->first, "slot_limit or provision_seconds.<kind>")->required();
  set->add_option("VALUE", setting->second, "Whole number")->required();
  line.Add(set, true, [setting, &line] {
    return EndWithoutData(RunConfigSet(line.sandbox, setting->first, setting->second), line.json);
  });
  line.Add(config->add_subcommand("ls", "Show the settings"), true,
           [&line] { return RunConfigList(line.sandbox, line.json); });
}

void AddSnapshots(CLI::App& app, SCommandLine& line) {
  auto* snapshot = app.add_subcommand("snapshot", "Snapshots made outside of jobs");
  snapshot->require_subcommand(1);
  auto args = std::make_shared<SSnapshotAddArgs>();
  auto* add = snapshot->add_subcommand("add", "Snapshot a volume with a chosen description and time");
  add->add_option("VOLUME_ID", args->volumeId, "Volume to snapshot")->required();
  add->add_option("--description", args->description, "Description of the snapshot")->required();
  add->add_option("--created", args->created, "Creation time, seconds since the epoch")
      ->required()
      ->check(WholeNumber(0));
  add->add_option("--name", args->name, "Display name");
  line.Add(add, true, [args, &line] { return RunSnapshotAdd(line.sandbox, *args, line.json); });

  auto id = std::make_shared<std::string>(), state = std::make_shared<std::string>();
  auto* rm = snapshot->add_subcommand("rm", "Delete a snapshot");
  rm->add_option("ID", *id, "Snapshot to delete")->required();
  line.Add(rm, true, [id, &line] { return EndWithoutData(RunSnapshotRemove(line.sandbox, *id), line.json); });
  auto* setState = snapshot->add_subcommand("state", "Set a snapshot's lifecycle state");
  setState->add_option("ID", *id, "Snapshot")->required();
  setState->add_option("STATE", *state, "The flavour's available or faulty word, e.g. FAULTY")->required();
  line.Add(setState, true,
           [id, state, &line] { return EndWithoutData(RunSnapshotState(line.sandbox, *id, *state), line.json); });
}

void AddVolumes(CLI::App& app, SCommandLine& line) {
  auto* volume = app.add_subcommand("volume", "Volume bytes and an instance's data volumes");
  volume->require_subcommand(1);
  struct SArgs {
    std::string volumeId, instance;
    uint64_t checksumBytes = 0, addBytes = 0;
    SVolumeWriteArgs write;
  };
  auto args = std::make_shared<SArgs>();
  auto* checksum = volume->add_subcommand(
      "checksum",
      "checksum of a volume's (or snapshot's) bytes, holes as zeros: SHA-256 of its 1 MiB chunks' SHA-256 digests");
  checksum->add_option("ID", args->volumeId, "Volume or snapshot id")->required();
  checksum->add_option("--bytes", args->checksumBytes, "Only the first N bytes (N >= 1, at most the volume's size)")
      ->check(WholeNumber(1, std::numeric_limits<uint64_t>::max()));
  line.Add(checksum, true,
           [args, &line] { return RunVolumeChecksum(line.sandbox, args->volumeId, args->checksumBytes, line.json); });

  auto* write = volume->add_subcommand("write", "Write bytes into a volume at an offset");
  write->add_option("ID", args->write.volumeId, "Volume id")->required();
  write->add_option("--offset", args->write.offset, "Byte offset (0 or more)")->required()->check(WholeNumber(0));
  auto* text = write->add_option("--text", args->write.text, "The bytes to write");
  auto* file = write->add_option("--file", args->write.file, "A file holding the bytes to write");
  text->excludes(file);
  line.Add(write, true, [args, text, file, &line] {
    if (!*text && !*file) return UsageFailure("give the bytes to write: --text TEXT or --file FILE");
    return EndWithoutData(RunVolumeWrite(line.sandbox, args->write), line.json);
  });

  auto* add = volume->add_subcommand("add", "Add an empty data volume to an instance and print its id");
  add->add_option("INSTANCE", args->instance, "Instance id (or uri)")->required();
  add->add_option("--size", args->addBytes, "Size in bytes")
      ->required()
      ->check(WholeNumber(1, std::numeric_limits<uint64_t>::max()));
  line.Add(add, true, [args, &line] { return RunVolumeAdd(line.sandbox, args->instance, args->addBytes, line.json); });
  auto* detach = volume->add_subcommand("detach", "Detach a volume from its instance (the volume stays)");
  detach->add_option("ID", args->volumeId, "Volume id")->required();
  line.Add(detach, true,
           [args, &line] { return EndWithoutData(RunVolumeDetach(line.sandbox, args->volumeId), line.json); });
}

void AddDevicesAndScale(CLI::App& app, SCommandLine& line) {
  auto all = std::make_shared<bool>(false);
  auto* loops = app.add_subcommand("loops",
                                   "List the loop devices bound to the sandbox's files; exit 1 when any (a "
                                   "failure exits 1 too: under --json it prints {\"ok\": false, ...}, not the list)");
  loops->add_flag("--all", *all, "Those bound to any sandbox's volume files");
  line.Add(loops, false, [all, &line] { return RunLoops(line.sandbox, *all, line.json); });
  auto dir = std::make_shared<std::string>();
  auto* remove = app.add_subcommand("remove", "Release the sandbox's loop devices and remove its folder DIR");
  remove->add_option("DIR", *dir, "Folder of the sandbox")->required();
  line.Add(remove, false, [dir, &line] { return EndWithoutData(RunRemove(*dir), line.json); });

  auto counts = std::make_shared<std::pair<long long, long long>>(0, 0);
  auto* populate = app.add_subcommand("populate", "Add compartments of running instances (scale tests)");
  populate->add_option("--compartments", counts->first, "Compartments to add")
      ->required()
      ->check(WholeNumber(1, sim::kPopulateMaxInstances));
  populate->add_option("--instances", counts->second, "Running instances in each")
      ->required()
      ->check(WholeNumber(0, sim::kPopulateMaxInstances));
  line.Add(populate, true,
           [counts, &line] { return RunPopulate(line.sandbox, counts->first, counts->second, line.json); });
}

void AddServe(CLI::App& app, SCommandLine& line) {
  auto settings = std::make_shared<std::pair<int, int>>(0, 4);  // port, page size
  auto* serve = app.add_subcommand("serve", "Serve the cloud's REST API on 127.0.0.1 until stopped");
  serve->add_option("--port", settings->first, "Port (0: any free one); the address goes to <sandbox>/api/endpoint")
      ->check(CLI::Range(0, 65535));
  serve
      ->add_option("--page-size", settings->second,
                   "Items a list page holds when the client asks for no limit (small, so that every list pages)")
      ->check(CLI::Range(1, 1000));
  line.Add(
      serve, true, [settings, &line] { return RunServe(line.sandbox, settings->first, settings->second); }, false);
}

// Not listed in the help: the sandbox's own tools call them.
void AddHidden(CLI::App& app, SCommandLine& line) {
  struct SArgs {
    std::string op, file, device;
  };
  auto args = std::make_shared<SArgs>();
  auto* toolCall = app.add_subcommand("tool-call", "Count a call of a sandbox tool and print its faults")->group("");
  toolCall->add_option("OP", args->op, "Tool operation, e.g. iscsiadm:login, vmware-vdiskmanager")->required();
  line.Add(
      toolCall, true, [args, &line] { return RunToolCall(line.sandbox, args->op); }, false);
  auto* bind = app.add_subcommand("device-bind", "Bind a volume's file to a loop device; print it")->group("");
  bind->add_option("FILE", args->file, "The volume's file")->required();
  line.Add(
      bind, true, [args, &line] { return RunDeviceBind(line.sandbox, args->file); }, false);
  auto* release = app.add_subcommand("device-release", "Release a loop device bound to FILE")->group("");
  release->add_option("DEVICE", args->device, "/dev/loopN")->required();
  release->add_option("FILE", args->file, "The volume's file")->required();
  line.Add(
      release, false, [args] { return RunDeviceRelease(args->device, args->file); }, false);
  line.Add(
      app.add_subcommand("api-models", "Print the request bodies the REST API accepts, as JSON")->group(""), false,
      [] { return RunApiModels(); }, false);
}

}  // namespace

// Outside each command's try only the command line is set up and parsed: a throw there is a fault in
// the tool's own options, which every run shows at once.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  CLI::App app{"Creates a sandbox and inspects or configures its simulated cloud"};
  cli::PrepareCommandLine(app, "cloud-sim");
  app.require_subcommand(1);
  SCommandLine line;
  app.add_option("--sandbox", line.sandbox, "Sandbox folder")->envname("CLOUD_SANDBOX");
  for (auto add : {AddInit, AddInspection, AddFaults, AddConfig, AddSnapshots, AddVolumes, AddDevicesAndScale, AddServe,
                   AddHidden})
    add(app, line);

  if (auto exitCode = ParseReportingFailures(app, argc, argv)) return *exitCode;
  ReportFailuresAs(cli::CommandPath(app), line.json);
  for (const auto& chosen : line.commands) {
    if (!*chosen.command) continue;
    if (chosen.onSandbox && line.sandbox.empty())
      return UsageFailure("give the sandbox: --sandbox DIR, or set CLOUD_SANDBOX");
    try {
      return chosen.run();
    } catch (const std::exception& e) {
      return Failure(e.what());
    }
  }
  return UsageFailure("give a command: " + cli::CommandList(app));
}
