#!/usr/bin/env bash
# Builds everything and runs all tests. --sanitize builds with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--sanitize" ]; then
  export BUILD_DIR=${BUILD_DIR:-$root/build-asan} BUILD_TYPE=Debug
  # The runtime guesses where a thread's dynamic TLS block starts from the 16 bytes before it; an
  # allocator chunk header there now and then yields a bogus range and crashes the leak check at exit
  # ("Tracer caught signal 11"). Dynamic TLS holds no heap pointers of ours, so it is not intercepted.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:intercept_tls_get_addr=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  # The load test's twenty rounds run in the plain build; here a few show the same under the sanitizers.
  export OCI_LOAD_ROUNDS=${OCI_LOAD_ROUNDS:-4}
  "$root/scripts/build.sh" -DOCI_SANITIZE=ON -DOCI_BUILD_BENCH=OFF
else
  export BUILD_DIR=${BUILD_DIR:-$root/build}
  "$root/scripts/build.sh"
fi
# The contract tests (ctest label "contract") run on Node.js with the cloud's SDK from the committed lock.
command -v node >/dev/null && command -v npm >/dev/null || "$root/scripts/install-deps.sh" nodejs npm
contract=$root/tests/contract
if [ ! -f "$contract/node_modules/.package-lock.json" ] ||
   [ "$contract/package-lock.json" -nt "$contract/node_modules/.package-lock.json" ]; then
  (cd "$contract" && npm ci --no-audit --no-fund)
fi
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)"
