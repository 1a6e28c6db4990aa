#!/usr/bin/env bash
# Builds with ThreadSanitizer into build-tsan/ (BUILD_DIR overrides) and runs the concurrent tests
# under it: the disks of one instance opened on several threads at once, a restore's volume
# workers, the disk mapper's concurrent brackets, and the agent's chunk pipeline (reads in flight, digests on
# several threads). Any report fails the run (halt_on_error); extra arguments go to the test
# binary (e.g. --gtest_repeat=3).
# The build is Clang's, with every warning an error: it checks the locks' annotations
# (-Wthread-safety, host/ThreadAnnotations.h) as well, so a member read without the lock that guards
# it fails here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-tsan}
"$root/scripts/install-deps.sh" clang libclang-rt-14-dev
export CC=clang CXX=clang++
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOCI_TSAN=ON -DOCI_WERROR=ON -DOCI_BUILD_BENCH=OFF \
  >/dev/null
# The tests run the built cloud-sim and backup-agent as well: oci_tests depends on them.
cmake --build "$build" -j"$(nproc)" --target oci_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# The sanitizer's shadow memory needs a fixed layout: without address randomisation it cannot
# collide with a randomised mapping on kernels with many random bits.
prefix=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  prefix=(setarch "$(uname -m)" -R)
fi
# One run per group, so that a report in one (which halts its run) does not hide the other.
status=0
for filter in 'PluginThreads.*' 'HostDiskMapper.*' 'PluginRestore.InitAttaches*' 'RestRetry.*' 'AgentDatapath.*'; do
  echo "== ThreadSanitizer: $filter"
  "${prefix[@]}" "$build/oci_tests" "--gtest_filter=$filter" "$@" || { status=$?; echo "== FAILED: $filter ($status)"; }
done
exit "$status"
