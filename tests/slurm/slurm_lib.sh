# Helpers for bash tests that run jobs on a real, local Slurm.
# Source it, then:
#
#   slurm_up                     # fresh cluster, or exit 77 (SKIP) when none can be had
#   trap slurm_down EXIT
#   id=$(slurm_sbatch --array=0-3%2 -o "$dir/%a.out" job.sh)
#   slurm_wait_job "$id" 120 || fail
#   slurm_job_report "$id"       # "2_0 COMPLETED 0:0" per job / array task
#
# Each test process uses a state directory of its own (QAE_SLURM_DIR, default
# /tmp/qae-slurm-test.<pid>, removed by slurm_forget), so a cluster started by
# hand in /tmp/qae-slurm, or by a test suite running beside this one, is left
# alone. With QAE_SLURM_REQUIRED=1 a missing or broken Slurm fails the test
# instead of skipping it (for machines where it is known to be installed).
# shellcheck shell=bash

QAE_SLURM_LOCAL="${QAE_SLURM_LOCAL:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts/slurm" && pwd)/local_slurm.sh}"
if [ -z "${QAE_SLURM_DIR:-}" ]; then
  QAE_SLURM_DIR=/tmp/qae-slurm-test.$$
  QAE_SLURM_DIR_OWNED=1
fi
export QAE_SLURM_DIR

# States after which a job or array task never runs again.
QAE_SLURM_FINAL_STATES='COMPLETED|CANCELLED|FAILED|TIMEOUT|NODE_FAIL|PREEMPTED|OUT_OF_MEMORY|BOOT_FAIL|DEADLINE|SPECIAL_EXIT'

slurm_skip() {
  if [ "${QAE_SLURM_REQUIRED:-0}" = 1 ]; then
    echo "FAIL: $* (QAE_SLURM_REQUIRED=1)"
    exit 1
  fi
  echo "SKIP: $*"
  exit 77
}

# Exports SLURM_CONF (and QAE_SLURM_DIR) of the local cluster.
slurm_env() {
  eval "$("$QAE_SLURM_LOCAL" env)"
}

# Starts a fresh cluster (whatever a crashed earlier test left is cleared
# first) and exports its environment.
slurm_up() {
  "$QAE_SLURM_LOCAL" stop
  "$QAE_SLURM_LOCAL" start
  case $? in
    0) slurm_env ;;
    2) slurm_skip "slurm or munge is not installed (scripts/slurm/setup_slurm.sh installs them)" ;;
    *) slurm_skip "the local slurm cluster did not come up (logs above)" ;;
  esac
}

slurm_down() {
  "$QAE_SLURM_LOCAL" stop
}

# Removes the state directory this process made (call after its logs are
# no longer needed).
slurm_forget() {
  if [ "${QAE_SLURM_DIR_OWNED:-0}" = 1 ]; then rm -rf "$QAE_SLURM_DIR" "$QAE_SLURM_DIR.lock"; fi
}

# sbatch --parsable ARGS...; prints the job id alone.
slurm_sbatch() {
  local out
  out=$(sbatch --parsable "$@") || return 1
  echo "${out%%;*}"
}

# Prints the states of JOBID (an array's tasks: one line each) that are not
# final yet; fails when slurmctld cannot be asked.
_slurm_live_states() {
  local out rc
  out=$(timeout 15 squeue -h --jobs="$1" -o '%i %T' 2>&1)
  rc=$?
  if [ $rc -ne 0 ]; then
    # A job purged from slurmctld's memory is over as well.
    case "$out" in *"Invalid job id"*) return 0 ;; esac
    return 1
  fi
  printf '%s\n' "$out" | grep -Ev " ($QAE_SLURM_FINAL_STATES)\$" | grep -v '^$'
  return 0
}

# Waits until JOBID and all its array tasks have left the queue.
# Fails after TIMEOUT seconds (default 120) and shows what is still there.
slurm_wait_job() {
  local id=$1 timeout=${2:-120} deadline live
  deadline=$((SECONDS + timeout))
  while :; do
    if live=$(_slurm_live_states "$id") && [ -z "$live" ]; then
      return 0
    fi
    if [ $SECONDS -ge $deadline ]; then
      echo "slurm_wait_job: job $id still queued after ${timeout}s:" >&2
      printf '%s\n' "$live" >&2
      return 1
    fi
    sleep 0.3
  done
}

# Waits until at least one task of JOBID is RUNNING.
slurm_wait_running() {
  local id=$1 timeout=${2:-60} deadline
  deadline=$((SECONDS + timeout))
  until _slurm_live_states "$id" | grep -q ' RUNNING$'; do
    if [ $SECONDS -ge $deadline ]; then
      echo "slurm_wait_running: job $id not running after ${timeout}s" >&2
      return 1
    fi
    sleep 0.2
  done
}

# One line per job or array task still known to slurmctld (finished ones stay
# for MinJobAge): "ID STATE EXITCODE", ID as JOB or JOB_TASK, sorted.
slurm_job_report() {
  timeout 15 scontrol -o show job "$1" 2>/dev/null | awk '
    {
      id = ""; arr = ""; task = ""; st = ""; ec = ""
      for (i = 1; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == "JobId") id = kv[2]
        else if (kv[1] == "ArrayJobId") arr = kv[2]
        else if (kv[1] == "ArrayTaskId") task = substr($i, 13)
        else if (kv[1] == "JobState") st = kv[2]
        else if (kv[1] == "ExitCode") ec = kv[2]
      }
      print (arr != "" ? arr "_" task : id), st, ec
    }' | sort -V
}
