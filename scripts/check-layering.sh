#!/usr/bin/env bash
# Fails when a folder includes one it must not: the layers' one-way rules (docs/ARCHITECTURE.md).
# Each rule names a folder and the folders its files may include (quoted includes only; a name
# without a folder is the including file's own folder). The most specific folder's rule holds.
#   - the plug-in never includes the simulator (bridge/sim, sandbox) or the bridge's backends: only the
#     bridge's facade headers at the top of bridge/;
#   - host/, disk/ and cli/ include nothing of ours but themselves;
#   - the bridge library does not reach disk/ (nor the agent, the plug-in or cloud-sim);
#   - nobody includes a .cpp file: bench/ and fuzz/ link the object libraries instead.
set -euo pipefail
cd "$(dirname "$0")/.."

plugin='plugin infrastructure classic replication cleanup util host bridge/'
declare -A allowed=(
  [host]='host'
  [disk]='disk'
  [cli]='cli'
  [plugin]=$plugin [infrastructure]=$plugin [classic]=$plugin [replication]=$plugin [cleanup]=$plugin
  [util]=$plugin
  [bridge]='bridge bridge/rest bridge/sim host'
  [bridge/rest]='bridge/ bridge/rest host'
  [bridge/sim]='bridge/ bridge/rest bridge/sim host'
  [agent]='agent cli disk host'
  [sandbox]='sandbox bridge bridge/rest bridge/sim cli disk host'
)

# The folder whose rule holds for a path: the longest rule name that is a prefix of its folder.
rule_of() {
  local dir=$1 best=''
  for name in "${!allowed[@]}"; do
    if [[ $dir == "$name" || $dir == "$name"/* ]] && ((${#name} > ${#best})); then best=$name; fi
  done
  echo "$best"
}

# Whether `target` (an included path) lies in one of the allowed entries: "x" is folder x and all
# below it, "x/" is only the files directly in x.
permitted() {
  local target=$1 entry
  for entry in $2; do
    if [[ $entry == */ ]]; then
      [[ $target == "$entry"* && ${target#"$entry"} != */* ]] && return 0
    elif [[ $target == "$entry"/* ]]; then
      return 0
    fi
  done
  return 1
}

status=0
while IFS=: read -r file line text; do
  included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/' <<<"$text")
  dir=$(dirname "$file")
  if [[ $included == *.cpp ]]; then
    echo "$file:$line: includes a source file ($included): link the object library instead" >&2
    status=1
    continue
  fi
  rule=$(rule_of "$dir")
  [ -n "$rule" ] || continue # tests/, bench/, fuzz/: may use every layer
  [[ $included == */* ]] || included=$dir/$included
  if ! permitted "$included" "${allowed[$rule]}"; then
    echo "$file:$line: $rule/ must not include $included (allowed: ${allowed[$rule]})" >&2
    status=1
  fi
done < <(git grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' -- '*.cpp' '*.h' '*.in')

if [ "$status" -ne 0 ]; then
  echo "layering: FAILED (the rules are at the top of scripts/check-layering.sh)" >&2
else
  echo "layering: every include keeps to its layer"
fi
exit "$status"
