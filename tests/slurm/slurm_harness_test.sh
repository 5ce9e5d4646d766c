#!/usr/bin/env bash
# End-to-end check of the local Slurm the job-array tests run on: its
# start/stop life cycle, plain and array batch jobs, the array throttle,
# cancellation, and that nothing of it outlives a stop.
# Exits 77 (CTest: skipped) when slurm/munge are missing or the cluster does
# not come up.
# The checks hand their arguments to `bash -c '...' _ ARGS` on purpose:
# shellcheck disable=SC2016
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=slurm_lib.sh
. "$HERE/slurm_lib.sh"

PASSED=0
FAILED=0
WORK=""

pass() { PASSED=$((PASSED + 1)); echo "ok: $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
check() { # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

finish() {
  local rc=$?
  trap - EXIT
  slurm_down
  if [ "$rc" -eq 77 ]; then
    slurm_forget
    exit 77
  fi
  local left
  left=$("$QAE_SLURM_LOCAL" pids)
  if [ -n "$left" ]; then
    fail "daemons or job processes left after stop: $(echo "$left" | tr '\n' ' ')"
    ps -o pid,ppid,stat,args -p "$(echo "$left" | paste -sd,)" || true
  fi
  if [ "$FAILED" -gt 0 ] && [ -n "${QAE_SLURM_DIR:-}" ]; then
    for f in "$QAE_SLURM_DIR"/log/slurmctld.log "$QAE_SLURM_DIR"/log/slurmd.log; do
      [ -f "$f" ] && { echo "----- tail of $f"; tail -n 30 "$f"; }
    done
  fi
  slurm_forget
  [ -n "$WORK" ] && rm -rf "$WORK"
  echo "$PASSED passed, $FAILED failed"
  if [ "$FAILED" -gt 0 ] || [ "$rc" -ne 0 ]; then exit 1; fi
  exit 0
}
trap finish EXIT

t0=$SECONDS
slurm_up
echo "cluster up in $((SECONDS - t0))s"
WORK=$(mktemp -d /tmp/qae-slurm-harness.XXXXXX)
cd "$WORK" || exit 1

# True once every PID has exited (zombies count as exited); waits up to 5 s
# for the kill to land.
procs_gone() {
  local p st deadline=$((SECONDS + 5))
  for p in "$@"; do
    [[ $p =~ ^[0-9]+$ ]] || return 1
    while :; do
      st=$(ps -o stat= -p "$p" 2>/dev/null | cut -c1)
      [ -z "$st" ] || [ "$st" = Z ] && break
      [ $SECONDS -lt $deadline ] || return 1
      sleep 0.2
    done
  done
}

# ------------------------------------------------------------ life cycle
test_life_cycle() {
  check "start on a running cluster reports success" "$QAE_SLURM_LOCAL" start
  check "status is 0 while up" "$QAE_SLURM_LOCAL" status
  check "env points SLURM_CONF at the generated config" \
    test "$SLURM_CONF" = "$QAE_SLURM_DIR/etc/slurm.conf" -a -f "$SLURM_CONF"
  check "the config uses its own munge socket" \
    grep -qx "AuthInfo=socket=$QAE_SLURM_DIR/munge/munge.socket" "$SLURM_CONF"
  check "the config keeps every path inside the state directory" \
    bash -c '! grep -E "^(StateSaveLocation|SlurmdSpoolDir|Slurm.*(PidFile|LogFile)|PlugStackConfig)=" "$1" | grep -v "=$2/"' _ "$SLURM_CONF" "$QAE_SLURM_DIR"
  local key_mode
  key_mode=$(stat -c %a "$QAE_SLURM_DIR/munge/munge.key")
  check "the munge key is readable by its owner only (mode $key_mode)" test "$key_mode" = 400
  local cpus
  cpus=$(sinfo -h -N -o %c | head -n1)
  check "the node offers the machine's CPUs ($cpus)" test "$cpus" -ge 1 -a "$cpus" -le "$(nproc)"
  NODE_CPUS=$cpus
}

# ------------------------------------------------------------ single job
test_single_job() {
  local id
  id=$(slurm_sbatch -J single -o "$WORK/single.out" --wrap "echo \$SLURM_JOB_ID > '$WORK/single.id'")
  check "sbatch --wrap returns a numeric job id ($id)" bash -c '[[ $1 =~ ^[0-9]+$ ]]' _ "$id"
  check "the job leaves the queue" slurm_wait_job "$id" 60
  check "the job ran with its own SLURM_JOB_ID" test "$(cat "$WORK/single.id" 2>/dev/null)" = "$id"
  check "the job is reported COMPLETED 0:0" test "$(slurm_job_report "$id")" = "$id COMPLETED 0:0"

  id=$(slurm_sbatch -J failing -o /dev/null --wrap "exit 3")
  check "a failing job leaves the queue" slurm_wait_job "$id" 60
  check "a failing job is reported FAILED with its exit code" \
    test "$(slurm_job_report "$id")" = "$id FAILED 3:0"
}

# ------------------------------------------------------------ job array
test_job_array() {
  cat >"$WORK/task.sh" <<'EOF'
#!/bin/bash
# Records when it ran so the test can see how many tasks overlapped.
out="$1/task_${SLURM_ARRAY_TASK_ID}"
start=$(date +%s.%N)
sleep 2
printf '%s %s %s %s %s\n' "$SLURM_ARRAY_TASK_ID" "$SLURM_ARRAY_JOB_ID" \
  "${SLURM_ARRAY_TASK_COUNT:-?}" "$start" "$(date +%s.%N)" >"$out.tmp"
mv "$out.tmp" "$out"
EOF
  local id t ok=1
  id=$(slurm_sbatch -J array --array=0-3%2 --cpus-per-task=1 -o "$WORK/array_%a.out" \
    "$WORK/task.sh" "$WORK")
  check "sbatch --array returns the array's job id ($id)" bash -c '[[ $1 =~ ^[0-9]+$ ]]' _ "$id"
  check "the array and all its tasks leave the queue" slurm_wait_job "$id" 120
  for t in 0 1 2 3; do
    [ -f "$WORK/task_$t" ] || { ok=0; echo "missing task_$t"; }
  done
  check "every task 0-3 wrote its file" test "$ok" = 1
  check "no task beyond the range ran" bash -c '! ls "$1"/task_* | grep -Ev "/task_[0-3]$"' _ "$WORK"
  ok=1
  for t in 0 1 2 3; do
    read -r tid aid count _ <"$WORK/task_$t" 2>/dev/null || { ok=0; continue; }
    if [ "$tid" != "$t" ] || [ "$aid" != "$id" ] || [ "$count" != 4 ]; then
      ok=0
      echo "task_$t: $tid $aid $count"
    fi
  done
  check "tasks see SLURM_ARRAY_TASK_ID, SLURM_ARRAY_JOB_ID and SLURM_ARRAY_TASK_COUNT" test "$ok" = 1
  local report expected
  report=$(slurm_job_report "$id")
  expected=$(printf '%s\n' "${id}_0 COMPLETED 0:0" "${id}_1 COMPLETED 0:0" "${id}_2 COMPLETED 0:0" "${id}_3 COMPLETED 0:0")
  check "every task is reported COMPLETED 0:0" test "$report" = "$expected"

  local peak
  peak=$(peak_concurrency "$WORK"/task_[0-3])
  check "the %2 throttle holds: at most 2 tasks at once (saw $peak)" test "${peak:-9}" -le 2
  if [ "${NODE_CPUS:-1}" -ge 2 ]; then
    check "tasks share the node: 2 ran at once (saw $peak)" test "${peak:-0}" -eq 2
  fi

  # With 2 CPUs the %2 throttle cannot be told from the CPU limit; %1 can.
  mkdir -p "$WORK/serial"
  sed 's/sleep 2/sleep 1/' "$WORK/task.sh" >"$WORK/serial/task.sh"
  id=$(slurm_sbatch -J serial --array=0-2%1 -o /dev/null "$WORK/serial/task.sh" "$WORK/serial")
  check "a %1 array leaves the queue" slurm_wait_job "$id" 120
  check "a %1 array ran all its tasks" test -f "$WORK/serial/task_0" -a -f "$WORK/serial/task_1" -a -f "$WORK/serial/task_2"
  peak=$(peak_concurrency "$WORK"/serial/task_[0-2])
  check "the %1 throttle runs one task at a time (saw $peak)" test "${peak:-9}" -eq 1
}

# Most tasks running at any one moment, from the start/end stamps in FILES.
peak_concurrency() {
  cat "$@" | awk '
    { s[NR] = $4; e[NR] = $5 }
    END {
      best = 0
      for (i = 1; i <= NR; i++) {
        n = 0
        for (j = 1; j <= NR; j++) if (s[j] <= s[i] && s[i] < e[j]) n++
        if (n > best) best = n
      }
      print best
    }'
}

# ------------------------------------------------------------ cancellation
test_cancel() {
  cat >"$WORK/long.sh" <<'EOF'
#!/bin/bash
out="$1/long_${SLURM_ARRAY_TASK_ID}"
sleep 300 &
echo "begin $$ $!" >"$out"
wait
echo end >>"$out"
EOF
  local id out="$WORK/long_7"
  id=$(slurm_sbatch -J long --array=7 -o /dev/null "$WORK/long.sh" "$WORK")
  check "the long task starts running" slurm_wait_running "$id" 60
  local deadline=$((SECONDS + 20))
  until [ -s "$out" ] || [ $SECONDS -ge $deadline ]; do sleep 0.2; done
  local word shell_pid sleep_pid
  read -r word shell_pid sleep_pid <"$out" 2>/dev/null
  check "the long task wrote its first line" test "${word:-}" = begin
  check "scancel accepts the array id" scancel "$id"
  check "the cancelled task leaves the queue" slurm_wait_job "$id" 30
  check "the cancelled task is reported CANCELLED" \
    bash -c '[[ $(cut -d" " -f1,2 <<<"$1") == "$2_7 CANCELLED" ]]' _ "$(slurm_job_report "$id")" "$id"
  check "the cancelled task's output stops before its end" bash -c '! grep -qx end "$1"' _ "$out"
  check "the cancelled task's processes are gone" procs_gone "${shell_pid:-x}" "${sleep_pid:-x}"
}

# ------------------------------------------------------------ stop and restart
test_restart() {
  # A job still running when the cluster stops must die with it.
  local id out="$WORK/long_1"
  id=$(slurm_sbatch -J orphan --array=1 -o /dev/null "$WORK/long.sh" "$WORK")
  slurm_wait_running "$id" 60
  local deadline=$((SECONDS + 20))
  until [ -s "$out" ] || [ $SECONDS -ge $deadline ]; do sleep 0.2; done
  local word shell_pid sleep_pid
  read -r word shell_pid sleep_pid <"$out" 2>/dev/null

  local t=$SECONDS
  slurm_down
  echo "cluster stopped in $((SECONDS - t))s"
  check "stop leaves no daemon or job process" test -z "$("$QAE_SLURM_LOCAL" pids)"
  check "status is non-zero once stopped" bash -c '! "$1" status >/dev/null' _ "$QAE_SLURM_LOCAL"
  check "the job running at stop had started" test "${word:-}" = begin
  check "a job running at stop is killed" procs_gone "${shell_pid:-x}" "${sleep_pid:-x}"
  check "stop on a stopped cluster succeeds" "$QAE_SLURM_LOCAL" stop

  t=$SECONDS
  check "the cluster starts again" "$QAE_SLURM_LOCAL" start
  echo "cluster restarted in $((SECONDS - t))s"
  check "the restarted cluster has forgotten the old jobs" test -z "$(slurm_job_report "$id")"
  id=$(slurm_sbatch -J again -o /dev/null --wrap "true")
  check "the restarted cluster runs jobs" slurm_wait_job "$id" 60
  check "... to completion" test "$(slurm_job_report "$id")" = "$id COMPLETED 0:0"
}

test_life_cycle
test_single_job
test_job_array
test_cancel
test_restart
