# Sourced by the sandbox's tools (bin/iscsiadm, the VDDK kit's vmware-vdiskmanager), never run: the
# call log, the fault rules of the simulated cloud and the kill of the job process that ran the tool.

# Appends one line for this call to the log file $1: each further argument shell-quoted, so that a
# newline inside an argument stays on the line.
sim_log_call() {
  local log=$1 line="" arg quoted
  shift
  for arg in "$@"; do
    printf -v quoted '%q' "$arg"
    line="$line${line:+ }$quoted"
  done
  printf '%s\n' "$line" >> "$log"
}

# Counts one call of the tool operation $2 in the sandbox $1 through the sandbox's cloud-sim (linked
# into bin/ when the sandbox was made) and sets what the fault rules ask: delay_ms, kill_before,
# failing with fail_text, faulty, kill_after. Fails when the simulated cloud cannot be reached;
# without a cloud-sim nothing is counted and no rule applies.
sim_tool_faults() {
  local sandbox=$1 op=$2 faults rule
  delay_ms=0 kill_before=0 failing=0 fail_text="" faulty=0 kill_after=0
  [[ -x "$sandbox/bin/cloud-sim" ]] || return 0
  faults=$("$sandbox/bin/cloud-sim" --sandbox "$sandbox" tool-call "$op") || return 1
  while IFS= read -r rule; do
    case "$rule" in
      "delay "*) delay_ms=${rule#delay } ;;
      kill-before) kill_before=1 ;;
      "fail "*) failing=1; fail_text=${rule#fail } ;;
      faulty) faulty=1 ;;
      kill-after) kill_after=1 ;;
    esac
  done <<< "$faults"
}

# The job process is the parent of the process-group leader of this call: the plug-in's command runner
# starts every command in a group of its own, led by the shell it runs or by the tool itself.
kill_job() {
  local stat fields group
  stat=$(< /proc/$$/stat) || return 0
  read -r -a fields <<< "${stat##*) }"
  group=${fields[2]}
  stat=$(< "/proc/$group/stat") || return 0
  read -r -a fields <<< "${stat##*) }"
  # A leader whose job already died belongs to init (or a subreaper): nothing to kill then.
  if [[ "${fields[1]}" =~ ^[0-9]+$ ]] && ((fields[1] > 1)); then
    kill -KILL "${fields[1]}"
  fi
}

# What the rules ask before the call does anything: the delay, then kill-before, which ends the job
# and this process group, so that neither this call nor any command chained after it runs.
sim_faults_before_call() {
  if [[ "$delay_ms" =~ ^[0-9]+$ ]] && ((delay_ms > 0)); then
    sleep "$((delay_ms / 1000)).$(printf '%03d' $((delay_ms % 1000)))"
  fi
  if ((kill_before)); then
    kill_job
    kill -KILL 0
  fi
}

# Once a failing rule had its say: a kill-after ends the job when the tool exits, its work done.
sim_arm_kill_after() {
  if ((kill_after)); then
    trap kill_job EXIT
  fi
}
