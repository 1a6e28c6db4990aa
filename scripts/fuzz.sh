#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan into build-fuzz/ and runs each for SECONDS
# (default 20) from its seed corpus in fuzz/corpus/<target>/, which also holds every input that
# once found a fault. A crash, a leak or a failed property stops the script with the input saved.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
"$root/scripts/install-deps.sh" clang-14 libclang-rt-14-dev libfuzzer-14-dev
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 -DOCI_FUZZ=ON \
  -DOCI_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz -j"$(nproc)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset TZ_BASE_HOME TZ_PLATFORM_ROOT  # no log files
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:intercept_tls_get_addr=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for target in "$build"/fuzz/Fuzz*; do
  name=$(basename "$target")
  mkdir -p "$work/$name" "$root/fuzz/corpus/$name"
  # New inputs go to the scratch folder; the repository's corpus is only read.
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$root/fuzz/" "$work/$name" "$root/fuzz/corpus/$name" >"$work/$name.log" 2>&1; then
    tail -40 "$work/$name.log"
    echo "$name found a fault; its input is in fuzz/ (add it to fuzz/corpus/$name/ once mended)" >&2
    exit 1
  fi
  echo "$name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name.log" | grep -o '[0-9]*$') runs, no fault"
done
