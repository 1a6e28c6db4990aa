#!/usr/bin/env bash
# Builds everything and runs all tests. --sanitize builds with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--sanitize" ]; then
  export BUILD_DIR=${BUILD_DIR:-$root/build-asan} BUILD_TYPE=Debug
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  "$root/scripts/build.sh" -DOCI_SANITIZE=ON -DOCI_BUILD_BENCH=OFF
else
  export BUILD_DIR=${BUILD_DIR:-$root/build}
  "$root/scripts/build.sh"
fi
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)"
