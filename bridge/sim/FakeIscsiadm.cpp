#include "bridge/sim/FakeIscsiadm.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimSandboxPaths.h"

namespace sim {

namespace {

// Every argument is data: each expansion is quoted, nothing is evaluated, and a value that
// becomes part of a file name must be a plain token (no '/', no '..').
constexpr const char* kScript = R"bash(#!/bin/bash
# Sandbox stand-in for iscsiadm: node records, logins and logouts against the targets that the
# simulated cloud offers for its iSCSI attachments (cloud/iscsi/targets/<iqn>). A login links the
# target's volume bytes into root/dev/disk/by-path, where the proxy's disk mapper finds them.
# Each well-formed call is counted by the simulated cloud as operation iscsiadm-<new|login|logout|
# delete> and meets its fault rules (cloud-sim fault add --op iscsiadm-login ...): fail, delay,
# kill-before and kill-after, where kill means the job process that ran the command dies (SIGKILL).
set -u
export LC_ALL=C

bin_dir=$(cd -P -- "$(dirname -- "$0")" && pwd) || exit 7
sandbox=${bin_dir%/*}
iscsi="$sandbox/cloud/iscsi"
by_path="$sandbox/root/dev/disk/by-path"
mkdir -p -- "$iscsi/nodes" "$iscsi/sessions" "$iscsi/targets" || exit 7

# One line per call, each argument shell-quoted, so that tests can read what was asked.
line=""
for arg in "$@"; do
  printf -v quoted '%q' "$arg"
  line="$line${line:+ }$quoted"
done
printf '%s\n' "$line" >> "$iscsi/iscsiadm.log"

usage() {
  cat <<'EOF'
Usage: iscsiadm -m node -o new -T targetname -p ip:port
       iscsiadm -m node -T targetname -p ip:port -l
       iscsiadm -m node -T targetname -p ip:port -u
       iscsiadm -m node -o delete -T targetname -p ip:port
EOF
  exit 7
}

invalid() {
  printf 'iscsiadm: invalid %s [%s]\n' "$1" "$2" >&2
  exit 7
}

no_records() {
  printf 'iscsiadm: No records found\n' >&2
  exit 21
}

mode="" op="" target="" portal_arg="" action=""
while (($# > 0)); do
  case "$1" in
    -m|--mode) (($# >= 2)) || usage; mode="$2"; shift 2 ;;
    -o|--op) (($# >= 2)) || usage; op="$2"; shift 2 ;;
    -T|--targetname) (($# >= 2)) || usage; target="$2"; shift 2 ;;
    -p|--portal) (($# >= 2)) || usage; portal_arg="$2"; shift 2 ;;
    -l|--login) [[ -z "$action" ]] || usage; action=login; shift ;;
    -u|--logout) [[ -z "$action" ]] || usage; action=logout; shift ;;
    *) usage ;;
  esac
done
[[ "$mode" == node && -n "$target" && -n "$portal_arg" ]] || usage
case "$op/$action" in
  new/) command=new ;;
  delete/) command=delete ;;
  /login) command=login ;;
  /logout) command=logout ;;
  *) usage ;;
esac

portal="${portal_arg%:*}"
port="${portal_arg##*:}"
if [[ "$portal_arg" != *:* ]]; then
  portal="$portal_arg"
  port=3260
fi
# The patterns are the script's own constants, hence unquoted on the right of =~.
name_re='^[A-Za-z0-9][A-Za-z0-9.:_-]*$'
ipv4_re='^[0-9]{1,3}([.][0-9]{1,3}){3}$'
port_re='^[0-9]{1,5}$'
[[ "$target" =~ $name_re && "$target" != *..* ]] || invalid "target name" "$target"
[[ "$portal" =~ $ipv4_re ]] || invalid portal "$portal_arg"
[[ "$port" =~ $port_re ]] || invalid port "$portal_arg"

# The sandbox's cloud-sim (linked into bin/ when the sandbox was made) counts the call and prints
# what the fault rules ask, one line each: "delay MS", "kill-before", "fail TEXT", "kill-after".
delay_ms=0 kill_before=0 fail_text="" failing=0 kill_after=0
if [[ -x "$bin_dir/cloud-sim" ]]; then
  faults=$("$bin_dir/cloud-sim" --sandbox "$sandbox" tool-call "iscsiadm-$command") || {
    printf 'iscsiadm: the simulated cloud cannot be reached\n' >&2
    exit 7
  }
  while IFS= read -r rule; do
    case "$rule" in
      "delay "*) delay_ms=${rule#delay } ;;
      kill-before) kill_before=1 ;;
      "fail "*) failing=1; fail_text=${rule#fail } ;;
      kill-after) kill_after=1 ;;
    esac
  done <<< "$faults"
fi

# The job process is the parent of this command's process-group leader: the plug-in's command
# runner starts every command in a group of its own.
kill_job() {
  local stat fields group
  stat=$(< /proc/$$/stat) || return 0
  read -r -a fields <<< "${stat##*) }"
  group=${fields[2]}
  stat=$(< "/proc/$group/stat") || return 0
  read -r -a fields <<< "${stat##*) }"
  # A leader whose job already died belongs to init (or a subreaper): nothing to kill then.
  if [[ "${fields[1]}" =~ ^[0-9]+$ ]] && ((fields[1] > 1)); then
    kill -KILL "${fields[1]}"
  fi
}

if [[ "$delay_ms" =~ ^[0-9]+$ ]] && ((delay_ms > 0)); then
  sleep "$((delay_ms / 1000)).$(printf '%03d' $((delay_ms % 1000)))"
fi
if ((kill_before)); then
  # Neither this command nor any that the job chained after it runs.
  kill_job
  kill -KILL 0
fi
if ((failing)); then
  printf 'iscsiadm: %s\n' "$fail_text" >&2
  printf 'iscsiadm: initiator reported error (8 - connection timed out)\n' >&2
  exit 8
fi
if ((kill_after)); then
  trap kill_job EXIT
fi

key="$target,$portal,$port"
node="$iscsi/nodes/$key"
session="$iscsi/sessions/$key"
offered="$iscsi/targets/$target"
device="$by_path/ip-$portal:$port-iscsi-$target-lun-1"
where="[iface: default, target: $target, portal: $portal,$port]"

login_failed() {
  printf 'iscsiadm: Could not login to %s.\n' "$where" >&2
  printf 'iscsiadm: initiator reported error (%s - %s)\n' "$1" "$2" >&2
  printf 'iscsiadm: Could not log into all portals\n' >&2
  exit "$1"
}

case "$command" in
  new)
    printf 'node.name = %s\nnode.conn[0].address = %s\nnode.conn[0].port = %s\n' "$target" "$portal" "$port" \
      > "$node.new.$$" && mv -f -- "$node.new.$$" "$node" || exit 7
    printf 'New iSCSI node [tcp:[hw=,ip=,net_if=,iscsi_if=default] %s,%s,-1 %s] added\n' "$portal" "$port" "$target"
    ;;
  login)
    [[ -f "$node" ]] || no_records
    if [[ -e "$session" ]]; then
      printf 'iscsiadm: default: 1 session requested, but 1 already present.\n' >&2
      printf 'iscsiadm: Could not log into all portals\n' >&2
      exit 15
    fi
    printf 'Logging in to %s (multiple)\n' "$where"
    [[ -f "$offered" ]] || login_failed 24 "iSCSI login failed due to authorization failure"
    bytes="" offered_portal="" offered_port=""
    while IFS= read -r entry || [[ -n "$entry" ]]; do
      case "$entry" in
        path=*) bytes="${entry#path=}" ;;
        portal=*) offered_portal="${entry#portal=}" ;;
        port=*) offered_port="${entry#port=}" ;;
      esac
    done < "$offered"
    [[ "$offered_portal" == "$portal" && "$offered_port" == "$port" ]] || login_failed 8 "connection timed out"
    [[ "$bytes" == /* && -f "$bytes" ]] || login_failed 24 "iSCSI login failed due to authorization failure"
    mkdir -p -- "$by_path" && ln -sfn -- "$bytes" "$device" || exit 7
    printf '%s\n' "$device" > "$session" || exit 7
    printf 'Login to %s successful.\n' "$where"
    ;;
  logout)
    if [[ ! -e "$session" ]]; then
      printf 'iscsiadm: No matching sessions found\n' >&2
      exit 21
    fi
    printf 'Logging out of session [sid: 1, target: %s, portal: %s,%s]\n' "$target" "$portal" "$port"
    rm -f -- "$device" "$session"
    printf 'Logout of [sid: 1, target: %s, portal: %s,%s] successful.\n' "$target" "$portal" "$port"
    ;;
  delete)
    [[ -f "$node" ]] || no_records
    # As the real tool: a record that a session still uses is kept.
    if [[ -e "$session" ]]; then
      printf 'iscsiadm: This command will remove the record %s, but a session is using it. Logout session then rerun command to remove record.\n' "$where" >&2
      exit 15
    fi
    rm -f -- "$node"
    ;;
esac
exit 0
)bash";

}  // namespace

std::string FindCloudSim() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && self.filename() == "cloud-sim") return self.string();
  // Built and installed next to the bridge library that holds this code.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&FindCloudSim), &info) != 0 && info.dli_fname) {
    fs::path beside = fs::absolute(fs::path(info.dli_fname), ec).parent_path() / "cloud-sim";
    if (!ec && ::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  return std::string();
}

void LinkCloudSim(const std::string& path) {
  const std::string tool = FindCloudSim();
  if (tool.empty()) return;
  std::error_code ec;
  std::filesystem::create_symlink(tool, path, ec);
  if (ec) throw CSimError("Cannot link [" + path + "] to [" + tool + "]: " + ec.message());
}

void WriteFakeIscsiadm(const std::string& path) {
  WriteFileAtomically(path, kScript);
  if (::chmod(path.c_str(), 0755) != 0) throw CSimError("Cannot make [" + path + "] executable: " + std::strerror(errno));
}

}  // namespace sim
