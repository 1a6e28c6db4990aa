#!/usr/bin/env bash
# The main job: builds, makes a fresh sandbox with a simulated cloud, connects to it through the
# plug-in the way the agent does, backs a sample instance up into the sandbox's store, checks the
# stored checksums against the cloud's volumes, restores the backup as a new instance, checks the
# restored volumes against the stored disks, restores it once more as a machine from another hypervisor
# would be (a temporary image, an automatic shape), replicates it to a destination instance (a full
# sync, then after a change of the source and a second backup an incremental one, checked against
# that backup; infrastructure flavour), and shows that the jobs left nothing behind but the
# restored and replicated instances. SANDBOX names the sandbox folder (default: a new temp folder); INSTANCE the
# instance to back up; RESTORE_AS the restored instance's name (default: <instance>-restored);
# FLAVOUR the cloud of a new sandbox (infrastructure, the default, or classic); BACKEND how the jobs reach
# a new sandbox's cloud: sim (the default: the simulator in the job's process) or rest (the cloud's REST API,
# served by `cloud-sim serve`, which the script starts and stops; infrastructure flavour only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
sim="$BUILD_DIR/cloud-sim"
agent="$BUILD_DIR/backup-agent"
sandbox=${SANDBOX:-$(mktemp -d /tmp/oci-sandbox.XXXXXX)}
instance=${INSTANCE:-sample-web}
restored=${RESTORE_AS:-$instance-restored}
[ -e "$sandbox/sandbox.ini" ] || {
  rmdir "$sandbox" 2>/dev/null || true
  "$sim" init "$sandbox" --flavour "${FLAVOUR:-infrastructure}" --backend "${BACKEND:-sim}"
}
echo "== Sandbox: $sandbox"
if grep -qx "backend=rest" "$sandbox/sandbox.ini"; then
  "$sim" --sandbox "$sandbox" calls --reset >/dev/null
  rm -f "$sandbox/api/requests.log"
  "$sim" --sandbox "$sandbox" serve > "$sandbox/api/serve.log" 2>&1 &
  server=$!
  trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
  for _ in $(seq 200); do [ -s "$sandbox/api/endpoint" ] && break; sleep 0.05; done
  [ -s "$sandbox/api/endpoint" ] || { cat "$sandbox/api/serve.log"; exit 1; }
  echo "== The cloud's REST API is served at $(cat "$sandbox/api/endpoint") (log: $sandbox/api/requests.log)"
fi
"$sim" --sandbox "$sandbox" ls instances
echo "== Connecting through the plug-in"
"$agent" --sandbox "$sandbox" connect
# Backs up the instance with --json (its progress lines go to stderr, shown as they come) and sets
# $manifest from the backup folder the result names.
backup_json() {
  "$agent" --sandbox "$sandbox" backup "$instance" --store "$sandbox/store" --json > "$sandbox/backup.json"
  cat "$sandbox/backup.json"
  manifest=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["backup_folder"])' "$sandbox/backup.json")/manifest.json
}
echo "== Backing up $instance (progress on stderr, the result as JSON on stdout)"
backup_json
echo "== The store's backups, and the backup verified against its manifest without the cloud"
"$agent" backups --store "$sandbox/store"
"$agent" verify "$(dirname "$manifest")"
echo "== Checking the stored disks against the cloud's volumes ($manifest)"
python3 - "$manifest" "$sim" "$sandbox" <<'PY'
import json, subprocess, sys
manifest, sim, sandbox = sys.argv[1:4]
ok = True
for disk in json.load(open(manifest))["disks"]:
    cloud = subprocess.run([sim, "--sandbox", sandbox, "volume", "checksum", disk["volume_id"]],
                           check=True, capture_output=True, text=True).stdout.split()[0]
    same = cloud == disk["chunked_sha256"]
    ok &= same
    print(f"  {disk['index_name']}: {'match' if same else 'MISMATCH'} {disk['chunked_sha256']}")
sys.exit(0 if ok else 1)
PY
# Compares each volume of a job's JSON result ($2) over the stored size with the disks of a manifest ($1).
check_volumes() {
  python3 - "$1" "$2" "$sim" "$sandbox" <<'PY'
import json, subprocess, sys
manifest, result, sim, sandbox = sys.argv[1:5]
disks = json.load(open(manifest))["disks"]
volumes = json.load(open(result))["volumes"]
ok = len(disks) == len(volumes)
for disk, volume in zip(disks, volumes):
    cloud = subprocess.run([sim, "--sandbox", sandbox, "volume", "checksum", volume["id"], "--bytes", str(disk["size"])],
                           check=True, capture_output=True, text=True).stdout.split()[0]
    same = cloud == disk["chunked_sha256"]
    ok &= same
    print(f"  {disk['index_name']} -> {volume['id']}: {'match' if same else 'MISMATCH'} {cloud}")
sys.exit(0 if ok else 1)
PY
}
# Restores the backup as $1 (further arguments: options of the restore) and checks its volumes.
restore_and_check() {
  local name=$1 result="$sandbox/restore-$1.json"
  shift
  "$agent" --sandbox "$sandbox" restore "$(dirname "$manifest")" --as "$name" --json "$@" > "$result"
  cat "$result"
  echo "== Checking the volumes of [$name] against the stored disks"
  check_volumes "$manifest" "$result"
}
echo "== Restoring the backup as [$restored] (progress on stderr)"
restore_and_check "$restored"
converted=$instance-converted
# Restored volumes are named after their source and the second of the restore.
sleep 1
echo "== Restoring it as [$converted], a machine from another hypervisor: temporary image, automatic shape"
restore_and_check "$converted" --conversion --guest-os "Oracle Linux 8" --bucket image-import \
  --shape "Auto Select" --cpus 2 --memory-mb 30000
kept=(--keep "$restored" --keep "$converted")
if ! grep -qx "flavour=classic" "$sandbox/sandbox.ini"; then
  replica=$instance-dr
  echo "== Replicating the backup to [$replica]: a full sync"
  "$agent" --sandbox "$sandbox" replicate "$(dirname "$manifest")" --to "$replica"
  data=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["disks"][-1]["volume_id"])' "$manifest")
  echo "== Changing the source's volume $data, backing it up again and syncing only the change"
  "$sim" --sandbox "$sandbox" volume write "$data" --offset 1048576 --text "changed after the first sync"
  sleep 1
  backup_json
  "$agent" --sandbox "$sandbox" replicate "$(dirname "$manifest")" --to "$replica" --json > "$sandbox/replicate.json"
  cat "$sandbox/replicate.json"
  echo "== Checking the volumes of [$replica] against the second backup"
  check_volumes "$manifest" "$sandbox/replicate.json"
  kept+=(--keep "$replica")
fi
echo "== Loop devices still bound to the sandbox's files (each attached volume was one while a job ran)"
"$sim" --sandbox "$sandbox" loops && echo "  none"
echo "== What the jobs left in the cloud, the restored and replicated instances aside"
"$sim" --sandbox "$sandbox" leaks "${kept[@]}"
"$agent" --sandbox "$sandbox" registry
if [ -n "${server:-}" ]; then
  echo "== Every cloud call of the jobs went over HTTP to the emulator"
  python3 - "$sandbox/api/requests.log" "$sim" "$sandbox" <<'PY'
import json, subprocess, sys
log, sim, sandbox = sys.argv[1:4]
lines = [line.split() for line in open(log)]
operations = {fields[4] for fields in lines if len(fields) > 4 and fields[4] != "-"}
counted = json.loads(subprocess.run([sim, "--sandbox", sandbox, "calls", "--json"], check=True,
                                    capture_output=True, text=True).stdout)
tools = sum(n for op, n in counted.items() if ":" in op or op == "vmware-vdiskmanager")
bridge = sum(counted.values()) - tools
print(f"  {len(lines)} requests for {len(operations)} bridge operations; the cloud counted {bridge}")
sys.exit(0 if bridge == len(operations) else 1)
PY
fi
