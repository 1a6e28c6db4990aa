#!/usr/bin/env bash
# Prints the lines of tests/ against the C++ lines of every other folder (bench/ included).
# --check fails when tests/ exceeds a third of the rest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
count() { find "$@" \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l; }
tests=$(count tests)
code=$(count $(ls -d */ | grep -v -e '^tests/' -e '^build' -e '^docs/' -e '^scripts/' -e '^cmake/'))
echo "tests/: $tests lines; other C++: $code lines; ratio $(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }') (target <= 0.333)"
if [ "${1:-}" = "--check" ] && [ $((tests * 3)) -gt "$code" ]; then
  echo "tests/ exceeds a third of the code" >&2
  exit 1
fi
