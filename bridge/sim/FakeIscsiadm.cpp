#include "bridge/sim/FakeIscsiadm.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

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
    if [[ -e "$iscsi/fail-next-logout" ]]; then
      rm -f -- "$iscsi/fail-next-logout"
      printf 'iscsiadm: Could not logout of [sid: 1, target: %s, portal: %s,%s].\n' "$target" "$portal" "$port" >&2
      printf 'iscsiadm: initiator reported error (8 - connection timed out)\n' >&2
      exit 8
    fi
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

void WriteFakeIscsiadm(const std::string& path) {
  WriteFileAtomically(path, kScript);
  if (::chmod(path.c_str(), 0755) != 0) throw CSimError("Cannot make [" + path + "] executable: " + std::strerror(errno));
}

}  // namespace sim
