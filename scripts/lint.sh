#!/usr/bin/env bash
# What a developer runs before committing, and what CI runs first: the format check over every tracked
# *.cpp/*.h, the layering check, then clang-tidy (.clang-tidy) over the product's and the stand-ins' sources.
#   --changed  only the files changed against origin/main (HEAD when there is none), committed or not
#   --fix      let clang-format and clang-tidy mend what they can, then check again
# Exits non-zero on any finding and names each step that failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

changed=0 fix=0
for arg in "$@"; do
  case $arg in
    --changed) changed=1 ;;
    --fix) fix=1 ;;
    -h | --help) sed -n '2,6s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "lint.sh: unknown argument: $arg (see --help)" >&2; exit 2 ;;
  esac
done

# The folders whose sources clang-tidy holds to .clang-tidy (tests/, bench/ and fuzz/ are not among them).
tidy_dirs=(agent bridge classic cleanup cli disk host infrastructure plugin replication sandbox util)
lint_build=${LINT_BUILD_DIR:-$root/build-lint}

missing=()
command -v clang-format >/dev/null || missing+=(clang-format)
command -v clang-tidy >/dev/null || missing+=(clang-tidy)
command -v clang++ >/dev/null || missing+=(clang)
[ "$fix" -eq 0 ] || command -v clang-apply-replacements >/dev/null || missing+=(clang-tools)
[ ${#missing[@]} -eq 0 ] || "$root/scripts/install-deps.sh" "${missing[@]}"

# The files to look at: every tracked one, or with --changed those that differ from the base (added or
# modified, staged or not, and new untracked ones).
format_files=() tidy_files=()
if [ "$changed" -eq 1 ]; then
  base=origin/main
  git rev-parse --verify -q "$base^{commit}" >/dev/null || base=HEAD
  base=$(git merge-base "$base" HEAD)
  mapfile -t touched < <({ git diff --name-only --diff-filter=d "$base" -- '*.cpp' '*.h'
                           git ls-files --others --exclude-standard -- '*.cpp' '*.h'; } | sort -u)
  format_files=("${touched[@]}")
  # A changed header is checked through the sources that include it.
  mapfile -t tidy_files < <(for f in "${touched[@]}"; do
                              case $f in
                                *.cpp) echo "$f" ;;
                                *.h) grep -rlF --include='*.cpp' "#include \"$f\"" "${tidy_dirs[@]}" || true ;;
                              esac
                            done | grep -E "^($(IFS='|'; echo "${tidy_dirs[*]}"))/" | sort -u || true)
  if ! git diff --quiet "$base" -- .clang-tidy; then
    mapfile -t tidy_files < <(git ls-files -- "${tidy_dirs[@]/%//*.cpp}")
  fi
else
  mapfile -t format_files < <(git ls-files -- '*.cpp' '*.h')
  mapfile -t tidy_files < <(git ls-files -- "${tidy_dirs[@]/%//*.cpp}")
fi

failed=()
step() { printf '\n== %s\n' "$1"; }

step "format: ${#format_files[@]} files"
if [ ${#format_files[@]} -gt 0 ]; then
  [ "$fix" -eq 0 ] || printf '%s\0' "${format_files[@]}" | xargs -0 clang-format -i
  printf '%s\0' "${format_files[@]}" | xargs -0 clang-format --dry-run --Werror || failed+=(format)
fi

step "layering"
if [ -f scripts/check-layering.sh ]; then
  bash scripts/check-layering.sh || failed+=(layering)
else
  echo "no scripts/check-layering.sh here: skipped"
fi

step "clang-tidy: ${#tidy_files[@]} files on $(nproc) cores"
if [ ${#tidy_files[@]} -gt 0 ]; then
  # A configure-only Clang tree gives the compile commands; nothing in it is built.
  if [ ! -f "$lint_build/compile_commands.json" ] || [ CMakeLists.txt -nt "$lint_build/compile_commands.json" ]; then
    mkdir -p "$lint_build"
    CC=clang CXX=clang++ cmake -S . -B "$lint_build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
      -DOCI_BUILD_BENCH=OFF >"$lint_build/configure.log" 2>&1 || {
      cat "$lint_build/configure.log" >&2
      echo "lint.sh: cannot configure $lint_build" >&2
      exit 1
    }
  fi
  fixes=$(mktemp -d)
  trap 'rm -rf "$fixes"' EXIT
  # One file per clang-tidy, its output printed whole once it ends, so parallel runs do not interleave.
  tidy_one() {
    local export_fixes=()
    [ -z "$TIDY_FIXES" ] || export_fixes=(--export-fixes="$TIDY_FIXES/${1//\//_}.yaml")
    local out
    if ! out=$(clang-tidy -p "$LINT_BUILD" --quiet "${export_fixes[@]}" "$1" 2>&1); then
      printf '%s\n' "$out" | grep -v -e '^[0-9]* warnings\{0,1\} generated\.$' -e '^Error while processing' >&2
      return 1
    fi
  }
  export -f tidy_one
  export LINT_BUILD=$lint_build TIDY_FIXES=""
  [ "$fix" -eq 0 ] || TIDY_FIXES=$fixes
  if ! printf '%s\0' "${tidy_files[@]}" | xargs -0 -n1 -P"$(nproc)" bash -c 'tidy_one "$1"' tidy; then
    if [ "$fix" -eq 1 ] && clang-apply-replacements --format --style=file "$fixes"; then
      echo "clang-tidy's fixes, for the findings that have one, applied; run lint.sh again to see what is left"
    fi
    failed+=(clang-tidy)
  fi
fi

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "lint.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint.sh: clean"
