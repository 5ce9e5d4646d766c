#!/usr/bin/env bash
# A throw-away single-node Slurm on localhost (munged + slurmctld + slurmd) for
# the job-array tests. Everything it creates lives under one directory; a
# system Slurm, /etc/slurm and the default munge socket are never touched.
#
#   local_slurm.sh start    start (or keep) the cluster, wait until the node is idle
#   local_slurm.sh stop     cancel its jobs, stop its daemons; always exits 0
#   local_slurm.sh status   exit 0 when up, 1 when not
#   local_slurm.sh env      print the exports clients need (eval "$(... env)")
#   local_slurm.sh pids     list the processes that belong to this cluster
#
# Environment:
#   QAE_SLURM_DIR            state directory (default /tmp/qae-slurm); keep it
#                            short, unix socket paths are limited to 107 bytes
#   QAE_SLURM_CTLD_PORT      slurmctld port (default: first free pair from 16817)
#   QAE_SLURM_SLURMD_PORT    slurmd port (default: slurmctld port + 1)
#   QAE_SLURM_START_TIMEOUT  seconds to wait for the node to become idle (30)
#
# Exit codes of start: 0 up, 1 failed to come up, 2 slurm/munge not installed.
set -uo pipefail

PATH="$PATH:/usr/sbin:/sbin"

DIR="${QAE_SLURM_DIR:-/tmp/qae-slurm}"
DIR="${DIR%/}"
case "$DIR" in
  /?*) ;;
  *) echo "local_slurm: QAE_SLURM_DIR must be an absolute path other than /: '$DIR'" >&2; exit 1 ;;
esac

CONF="$DIR/etc/slurm.conf"
MUNGE_DIR="$DIR/munge"
MUNGE_SOCK="$MUNGE_DIR/munge.socket"
MUNGE_KEY="$MUNGE_DIR/munge.key"
MUNGE_PID="$MUNGE_DIR/munged.pid"
MUNGE_LOG="$MUNGE_DIR/munged.log"
MUNGE_SEED="$MUNGE_DIR/munged.seed"
RUN_DIR="$DIR/run"
LOG_DIR="$DIR/log"
CTLD_PID="$RUN_DIR/slurmctld.pid"
SLURMD_PID="$RUN_DIR/slurmd.pid"
CTLD_LOG="$LOG_DIR/slurmctld.log"
SLURMD_LOG="$LOG_DIR/slurmd.log"
CTLD_STATE="$DIR/state/ctld"
SLURMD_SPOOL="$DIR/state/slurmd"
START_TIMEOUT="${QAE_SLURM_START_TIMEOUT:-30}"

say() { echo "local_slurm: $*" >&2; }

missing_tools() {
  local t out=()
  for t in munged munge unmunge slurmctld slurmd sinfo squeue sbatch scancel scontrol; do
    command -v "$t" >/dev/null 2>&1 || out+=("$t")
  done
  echo "${out[*]}"
}

# ---------------------------------------------------------------- processes

# Is PID one of this cluster's processes? Decided from what the process
# points at (our config, our munge socket, our log directory), never from its
# name alone, so that another Slurm on the machine is left alone.
belongs_here() {
  local p=$1 comm
  { read -r comm <"/proc/$p/comm"; } 2>/dev/null || return 1
  case "$comm" in
    munged)
      tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null | grep -qxF -- "--socket=$MUNGE_SOCK" ;;
    slurmctld|slurmd)
      tr '\0' '\n' <"/proc/$p/cmdline" 2>/dev/null | grep -qxF -- "$CONF" ;;
    slurmstepd)
      # slurmd's children run in its log directory and keep its log open.
      [ "$(readlink "/proc/$p/cwd" 2>/dev/null)" = "$LOG_DIR" ] && return 0
      local fd
      for fd in /proc/"$p"/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$SLURMD_LOG" ] && return 0
      done
      return 1 ;;
    *) return 1 ;;
  esac
}

# Sets STAT_STATE and STAT_PPID of PID from /proc without forking (a sweep
# over /proc must stay cheap); fails when the process is gone.
read_stat() {
  local line rest
  { read -r line <"/proc/$1/stat"; } 2>/dev/null || return 1
  rest=${line##*) }
  read -r STAT_STATE STAT_PPID _ <<<"$rest"
  [ -n "$STAT_PPID" ]
}

is_alive() { # zombies count as gone: whoever reaps them is not our business
  read_stat "$1" && [ "$STAT_STATE" != Z ]
}

# Our daemons and slurmsteps plus all their descendants (job scripts, the
# slurmctld script helper), one pid a line.
cluster_pids() {
  local p roots=() all=()
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    belongs_here "$p" && is_alive "$p" && roots+=("$p")
  done
  [ "${#roots[@]}" -eq 0 ] && return 0
  # ppid table once, then a transitive closure over it.
  local -A parent=()
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    read_stat "$p" && parent[$p]=$STAT_PPID
  done
  local -A seen=()
  for p in "${roots[@]}"; do seen[$p]=1; done
  local changed=1
  while [ "$changed" -eq 1 ]; do
    changed=0
    for p in "${!parent[@]}"; do
      if [ -z "${seen[$p]:-}" ] && [ -n "${seen[${parent[$p]}]:-}" ]; then
        seen[$p]=1
        changed=1
      fi
    done
  done
  for p in "${!seen[@]}"; do is_alive "$p" && all+=("$p"); done
  [ "${#all[@]}" -gt 0 ] && printf '%s\n' "${all[@]}" | sort -n
}

pidfile_pid() { # prints the pid from FILE when that process is ours and alive
  local pid
  [ -r "$1" ] || return 1
  pid=$(tr -dc '0-9' <"$1")
  [ -n "$pid" ] && is_alive "$pid" && belongs_here "$pid" && echo "$pid"
}

# ---------------------------------------------------------------- clients

client() { # bounded client call against our cluster
  SLURM_CONF="$CONF" timeout 10 "$@"
}

node_state() { # a healthy slurmctld answers in milliseconds
  SLURM_CONF="$CONF" timeout 3 sinfo -h -N -n "$NODE" -o '%t' 2>/dev/null | head -n1
}

daemons_up() {
  pidfile_pid "$MUNGE_PID" >/dev/null && pidfile_pid "$CTLD_PID" >/dev/null \
    && pidfile_pid "$SLURMD_PID" >/dev/null
}

conf_node() { # node name from the generated config
  sed -n 's/^NodeName=\([^ ]*\).*/\1/p' "$CONF" 2>/dev/null | head -n1
}

# ---------------------------------------------------------------- stop

do_stop() {
  local pids p deadline
  if [ -f "$CONF" ] && pidfile_pid "$CTLD_PID" >/dev/null; then
    # Cancel first so that slurmstepd kills the job processes it tracks;
    # killing the daemons alone would orphan running batch scripts.
    local jobs
    jobs=$(client squeue -h -o '%A' 2>/dev/null | sort -u | tr '\n' ' ')
    if [ -n "${jobs// /}" ]; then
      # shellcheck disable=SC2086
      client scancel $jobs >/dev/null 2>&1
      deadline=$((SECONDS + 15))
      while [ $SECONDS -lt $deadline ]; do
        [ -z "$(client squeue -h -o '%A' 2>/dev/null)" ] && break
        sleep 0.3
      done
    fi
  fi

  pids=$(cluster_pids)
  [ -z "$pids" ] && return 0
  local all_pids=$pids
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null
  deadline=$((SECONDS + 10))
  while [ $SECONDS -lt $deadline ]; do
    pids=$(for p in $pids; do is_alive "$p" && echo "$p"; done)
    [ -z "$pids" ] && break
    sleep 0.2
  done
  # Anything that forked after the first sweep or ignored TERM.
  pids=$( (for p in $pids; do is_alive "$p" && echo "$p"; done; cluster_pids) | sort -u)
  if [ -n "$pids" ]; then
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null
    deadline=$((SECONDS + 5))
    while [ $SECONDS -lt $deadline ]; do
      pids=$(for p in $pids; do is_alive "$p" && echo "$p"; done)
      [ -z "$pids" ] && break
      sleep 0.2
    done
    [ -n "$pids" ] && say "could not stop: $(echo "$pids" | tr '\n' ' ')"
  fi
  # Give init a moment to reap them, so that a pgrep right after stop is clean.
  deadline=$((SECONDS + 3))
  for p in $all_pids; do
    while [ -e "/proc/$p" ] && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  done
  return 0
}

# ---------------------------------------------------------------- start

port_busy() {
  local p=$1
  if command -v ss >/dev/null 2>&1; then
    # Listeners only: slurm binds with SO_REUSEADDR, TIME_WAIT does not matter.
    [ -n "$(ss -Hltn "sport = :$p" 2>/dev/null)" ]
  else
    timeout 1 bash -c "exec 3<>/dev/tcp/127.0.0.1/$p" 2>/dev/null
  fi
}

pick_ports() {
  if [ -n "${QAE_SLURM_CTLD_PORT:-}" ]; then
    CTLD_PORT=$QAE_SLURM_CTLD_PORT
    SLURMD_PORT=${QAE_SLURM_SLURMD_PORT:-$((CTLD_PORT + 1))}
    return 0
  fi
  local base
  for base in $(seq 16817 2 16917); do
    if ! port_busy "$base" && ! port_busy $((base + 1)); then
      CTLD_PORT=$base
      SLURMD_PORT=${QAE_SLURM_SLURMD_PORT:-$((base + 1))}
      return 0
    fi
  done
  say "no free port pair in 16817-16918"
  return 1
}

detect_hardware() {
  # slurmd -C reports the layout slurmd itself will register with; a config
  # that promises more than that would get the node drained.
  local line kv
  CPUS="" BOARDS="" SOCKETS="" CORES="" THREADS="" MEMORY=""
  line=$(slurmd -C 2>/dev/null | head -n1)
  for kv in $line; do
    case "$kv" in
      CPUs=*) CPUS=${kv#*=} ;;
      Boards=*) BOARDS=${kv#*=} ;;
      SocketsPerBoard=*) SOCKETS=${kv#*=} ;;
      CoresPerSocket=*) CORES=${kv#*=} ;;
      ThreadsPerCore=*) THREADS=${kv#*=} ;;
      RealMemory=*) MEMORY=${kv#*=} ;;
    esac
  done
  if [ -z "$CPUS" ] || [ -z "$MEMORY" ]; then
    CPUS=$(nproc)
    BOARDS="" SOCKETS="" CORES="" THREADS=""
    MEMORY=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
  fi
}

write_config() {
  local layout="CPUs=$CPUS"
  if [ -n "$BOARDS" ] && [ -n "$SOCKETS" ] && [ -n "$CORES" ] && [ -n "$THREADS" ]; then
    layout="$layout Boards=$BOARDS SocketsPerBoard=$SOCKETS CoresPerSocket=$CORES ThreadsPerCore=$THREADS"
  fi
  local user
  user=$(id -un)
  # Keep a sliver of memory back so a slightly smaller reading at
  # registration never drains the node.
  local mem=$((MEMORY * 95 / 100))
  [ "$mem" -lt 1 ] && mem=1

  : >"$DIR/etc/plugstack.conf"
  cat >"$CONF" <<EOF
# Generated by local_slurm.sh; rewritten on every start.
ClusterName=qae-local
SlurmctldHost=$NODE(127.0.0.1)
SlurmctldPort=$CTLD_PORT
SlurmdPort=$SLURMD_PORT
SlurmUser=$user
SlurmdUser=$user

AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$MUNGE_SOCK

StateSaveLocation=$CTLD_STATE
SlurmdSpoolDir=$SLURMD_SPOOL
SlurmctldPidFile=$CTLD_PID
SlurmdPidFile=$SLURMD_PID
SlurmctldLogFile=$CTLD_LOG
SlurmdLogFile=$SLURMD_LOG
SlurmctldDebug=info
SlurmdDebug=info
PlugStackConfig=$DIR/etc/plugstack.conf

# No cgroups inside a container: plain process tracking, no task binding.
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none

# One job per CPU, so array tasks share the node.
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerParameters=batch_sched_delay=0

ReturnToService=2
SlurmdTimeout=30
SlurmctldTimeout=30
SlurmdParameters=config_overrides
InactiveLimit=0
KillWait=5
MinJobAge=600
MaxArraySize=100001
MaxJobCount=200000

NodeName=$NODE NodeAddr=127.0.0.1 NodeHostname=$NODE $layout RealMemory=$mem State=UNKNOWN
PartitionName=debug Nodes=$NODE Default=YES MaxTime=INFINITE State=UP
EOF
}

start_fail() {
  say "$1"
  local f
  for f in "$MUNGE_LOG" "$CTLD_LOG" "$SLURMD_LOG"; do
    [ -f "$f" ] || continue
    echo "----- tail of $f" >&2
    tail -n 25 "$f" >&2
  done
  do_stop
  exit 1
}

do_start() {
  local miss
  miss=$(missing_tools)
  if [ -n "$miss" ]; then
    say "not installed: $miss (run scripts/slurm/setup_slurm.sh)"
    exit 2
  fi

  if [ -f "$CONF" ] && daemons_up; then
    NODE=$(conf_node)
    case "$(node_state)" in
      idle|mix|alloc) say "already running in $DIR"; return 0 ;;
    esac
  fi

  # Leftovers of a crashed run would confuse the new daemons: start clean.
  do_stop
  rm -rf "${DIR:?}/etc" "${DIR:?}/munge" "${DIR:?}/run" "${DIR:?}/log" "${DIR:?}/state"
  mkdir -p "$DIR" "$DIR/etc" "$RUN_DIR" "$LOG_DIR" "$CTLD_STATE" "$SLURMD_SPOOL" "$MUNGE_DIR" \
    || start_fail "cannot create $DIR"
  # munged insists on a socket directory everyone may traverse and a key only
  # its owner can read.
  chmod 0755 "$DIR" "$MUNGE_DIR"

  # The short host name is what slurmd calls itself.
  NODE=$(uname -n)
  NODE=${NODE%%.*}
  [ -n "$NODE" ] || NODE=localhost
  pick_ports || start_fail "no ports"
  detect_hardware
  write_config

  if command -v mungekey >/dev/null 2>&1; then
    mungekey --create --keyfile="$MUNGE_KEY" --bits=1024 2>/dev/null
  fi
  [ -s "$MUNGE_KEY" ] || head -c 128 /dev/urandom >"$MUNGE_KEY"
  chmod 0400 "$MUNGE_KEY"

  munged --force --key-file="$MUNGE_KEY" --socket="$MUNGE_SOCK" --pid-file="$MUNGE_PID" \
    --log-file="$MUNGE_LOG" --seed-file="$MUNGE_SEED" >>"$MUNGE_LOG" 2>&1 9>&- \
    || start_fail "munged did not start"
  local deadline=$((SECONDS + 10))
  until munge -n -S "$MUNGE_SOCK" 2>/dev/null | unmunge -S "$MUNGE_SOCK" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || start_fail "munged does not answer on $MUNGE_SOCK"
    sleep 0.1
  done

  export SLURM_CONF="$CONF"
  # The daemons fork into the background once they have read the config.
  # fd 9 is the start/stop lock; daemons must not inherit it.
  slurmctld -f "$CONF" >>"$CTLD_LOG" 2>&1 9>&- || start_fail "slurmctld did not start"
  slurmd -f "$CONF" -N "$NODE" >>"$SLURMD_LOG" 2>&1 9>&- || start_fail "slurmd did not start"

  local st resumed=0 started=$SECONDS
  deadline=$((SECONDS + START_TIMEOUT))
  while :; do
    st=$(node_state)
    [ "$st" = idle ] && break
    # A daemon that died (port taken, bad config) will not come back:
    # report it now rather than after the whole timeout.
    if [ $((SECONDS - started)) -ge 2 ] && ! daemons_up; then
      start_fail "a daemon exited during start-up"
    fi
    case "$st" in
      down*|drain*|drng*|fail*)
        if [ "$resumed" -eq 0 ]; then
          client scontrol update NodeName="$NODE" State=RESUME >/dev/null 2>&1
          resumed=1
        fi ;;
    esac
    [ $SECONDS -lt $deadline ] || start_fail "node $NODE not idle after ${START_TIMEOUT}s (state '${st:-none}')"
    sleep 0.2
  done
  say "up in $DIR (node $NODE, $CPUS CPUs, ports $CTLD_PORT/$SLURMD_PORT)"
}

do_status() {
  if [ -f "$CONF" ] && daemons_up; then
    NODE=$(conf_node)
    local st
    st=$(node_state)
    if [ -n "$st" ]; then
      echo "up: $DIR (node $NODE $st)"
      return 0
    fi
    echo "daemons running in $DIR but slurmctld does not answer"
    return 1
  fi
  local left
  left=$(cluster_pids | tr '\n' ' ')
  if [ -n "$left" ]; then
    echo "down: $DIR (stray processes: $left)"
  else
    echo "down: $DIR"
  fi
  return 1
}

with_lock() {
  # Serialise start/stop of the same directory.
  if command -v flock >/dev/null 2>&1; then
    exec 9>"$DIR.lock"
    flock -w 120 9 || { say "could not lock $DIR.lock"; exit 1; }
  fi
}

case "${1:-}" in
  start) with_lock; do_start ;;
  stop) with_lock; do_stop; exit 0 ;;
  status) do_status ;;
  env)
    printf "export QAE_SLURM_DIR='%s'\n" "$DIR"
    printf "export SLURM_CONF='%s'\n" "$CONF"
    ;;
  pids) cluster_pids ;;
  *)
    echo "usage: $0 start|stop|status|env|pids" >&2
    exit 64 ;;
esac
