#!/usr/bin/env bash
# Runs the job matrices and prints, per job kind, the cases tried and those that came out clean:
# every operation that changes something killed before and after its first and last call, and every
# operation failed at each of its calls. Fails when a case did not come out clean.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
"$root/scripts/build.sh" >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$BUILD_DIR/oci_tests" --gtest_filter='AgentKillMatrix.*:AgentFailureMatrix.*' >"$log" 2>&1 || status=$?
grep '^\[matrix\]' "$log" | sed 's/^\[matrix\] //'
grep -E '^\[  (PASSED|FAILED)  \]' "$log" || true
exit $status
