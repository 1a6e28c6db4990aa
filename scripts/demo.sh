#!/usr/bin/env bash
# The main job: builds, makes a fresh sandbox with a simulated cloud, and connects to it through
# the plug-in the way the agent does. SANDBOX names the sandbox folder (default: a new temp folder).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh"
sandbox=${SANDBOX:-$(mktemp -d /tmp/oci-sandbox.XXXXXX)}
[ -e "$sandbox/sandbox.ini" ] || { rmdir "$sandbox" 2>/dev/null || true; "$BUILD_DIR/cloud-sim" init "$sandbox"; }
echo "== Sandbox: $sandbox"
"$BUILD_DIR/cloud-sim" --sandbox "$sandbox" ls instances
echo "== Connecting through the plug-in"
"$BUILD_DIR/backup-agent" --sandbox "$sandbox" connect
