#!/usr/bin/env bash
# End-to-end check of `slurm` and `status` on a local Slurm: a job array over
# the sub-ranges of a split run must leave the same results as running those
# sub-ranges one after another, also when a task is cancelled part-way and
# the unfinished sub-range is resubmitted, and for a continuous recording;
# a sub-range past the end of a recording must count as nothing to scan.
#
#   slurm_array_test.sh [QUORVEX_AE]     (or QAE_EXECUTABLE=...)
#
# Exit 0 pass, 1 fail, 77 (CTest: skipped) when slurm/munge are missing or
# the cluster does not come up. QAE_SLURM_KEEP_WORK=1 keeps the work folder.
#
# Result rows carry a dither from the process's random generator. That
# generator starts from the same state in every process, so a task over a
# sub-range must write the same bytes as a fresh `run` over it; after a resume
# only the columns without dither (AE#, t0, CC, SNR1, SNR2, #_T) can agree.
#
# Some checks hand their arguments to `bash -c '...' _ ARGS` on purpose, and
# sed over multi-line texts reads better than parameter expansion:
# shellcheck disable=SC2016,SC2001
set -uo pipefail
export LC_ALL=C
# Inherited by the tasks through sbatch; a crash point would break every run.
unset QAE_CRASH_AT

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source-path=SCRIPTDIR source=slurm_lib.sh
. "$HERE/slurm_lib.sh"

PASSED=0
FAILED=0
WORK=""
T_START=$SECONDS

pass() { PASSED=$((PASSED + 1)); echo "PASS: $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL: $*"; }
check() { # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
# DESCRIPTION EXPECTED GOT: passes when the texts are equal, else shows a diff.
same_text() {
  if [ "$2" == "$3" ]; then
    pass "$1"
  else
    fail "$1"
    diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | head -n 20 | sed 's/^/    /'
  fi
}
phase() { echo "== $* (at $((SECONDS - T_START))s)"; }

finish() {
  local rc=$?
  trap - EXIT
  slurm_down
  [ "$rc" -eq 77 ] && { slurm_forget; exit 77; }
  if [ "$FAILED" -gt 0 ] && [ -n "${QAE_SLURM_DIR:-}" ]; then
    local f
    for f in "$QAE_SLURM_DIR"/log/slurmctld.log "$QAE_SLURM_DIR"/log/slurmd.log; do
      [ -f "$f" ] && { echo "----- tail of $f"; tail -n 20 "$f"; }
    done
  fi
  if [ -n "$WORK" ]; then
    if [ "${QAE_SLURM_KEEP_WORK:-0}" = 1 ]; then echo "work folder kept: $WORK"; else rm -rf "$WORK"; fi
  fi
  slurm_forget
  echo "$PASSED passed, $FAILED failed in $((SECONDS - T_START))s"
  if [ "$FAILED" -gt 0 ] || [ "$rc" -ne 0 ]; then exit 1; fi
  exit 0
}
trap finish EXIT
trap 'echo "interrupted"; exit 1' INT TERM

# ------------------------------------------------------------ set-up

EXE_IN=${1:-${QAE_EXECUTABLE:-}}
if [ -z "$EXE_IN" ]; then
  echo "usage: $0 QUORVEX_AE (or set QAE_EXECUTABLE)"
  exit 1
fi
# A rebuild may replace the executable while the test starts.
deadline=$((SECONDS + 60))
until [ -x "$EXE_IN" ]; do
  if [ $SECONDS -ge $deadline ]; then
    echo "FAIL: no executable at $EXE_IN"
    exit 1
  fi
  sleep 1
done

slurm_up
phase "cluster up"
NODE_CPUS=$(sinfo -h -N -o %c | head -n1)

WORK=$(mktemp -d /tmp/qae-slurm-array.XXXXXX)
cd "$WORK" || exit 1
# The tasks run the executable long after submission; a private copy keeps
# a concurrent rebuild from swapping it under them.
mkdir -p "$WORK/bin"
cp "$EXE_IN" "$WORK/bin/Quorvex_AE" || exit 1
QAE="$WORK/bin/Quorvex_AE"

# The experiment's AE (or segment) range, "FIRST LAST", from its ground truth.
truth_range() {
  sed -n 's/^#.* first=\([0-9]*\) last=\([0-9]*\).*/\1 \2/p' "$1/ground_truth.tsv" | head -n1
}

# Copies experiment SRC to DST and points DST's parameter file at DST.
copy_experiment() {
  local src=$1 dst=$2
  cp -a "$src" "$dst" || return 1
  sed -i "s|\"$src/|\"$dst/|g" "$dst/ML_CC_AE_pars.txt"
  [ "$(grep -c "\"$dst/" "$dst/ML_CC_AE_pars.txt")" -eq 3 ] && ! grep -q "\"$src/" "$dst/ML_CC_AE_pars.txt"
}

# Sub-ranges "A B" of FIRST,END,+=STEP, split as run/slurm/status do:
# FIRST..END-1 in pieces of STEP numbers.
split_range() {
  local a b
  for ((a = $1; a < $2; a += $3)); do
    b=$((a + $3 - 1))
    [ $b -ge "$2" ] && b=$(($2 - 1))
    echo "$a $b"
  done
}

# Runs each sub-range of RANGES (lines "A B") in experiment DIR, one after
# another; keeps each run's stdout as DIR.ref/A_B.
run_sequential() {
  local dir=$1 ranges=$2 a b rc ok=0
  mkdir -p "$dir.ref"
  while read -r a b; do
    "$QAE" run "$dir/ML_CC_AE_pars.txt" "$a,$b,+=0" >"$dir.ref/${a}_$b" 2>"$dir.ref/${a}_$b.err"
    rc=$?
    if [ $rc -ne 0 ]; then
      echo "    sequential run $a,$b in $dir: exit $rc"
      ok=1
    fi
  done <<<"$ranges"
  return $ok
}

# The rows of a result table (after its 7 header lines).
table_rows() { tail -n +8 "$1"; }
# The columns of the rows that do not depend on the dither, sorted.
row_keys() { table_rows "$1" | cut -f1,2,7,8,9,14 | sort; }
# Rows whose AE# lies in A..B, in table order.
rows_in() { table_rows "$1" | awk -F'\t' -v a="$2" -v b="$3" '$1 >= a && $1 <= b'; }

# "NAME AE#=.. t0=.. CC=.. Tpl=.." for each detection line of each *.sg2 in
# DIR ("NAME -" for a file without one): the fields the dither cannot touch.
detection_keys() {
  local f lines
  for f in "$1"/*.sg2; do
    [ -e "$f" ] || continue
    lines=$(grep -ao 'detected: AE#=[^[:cntrl:]]*' "$f" \
      | sed -E 's/^detected: (AE#=[^,]*),.* (t0=[^,]*),.* (CC=[^,]*),.* (Tpl=[0-9]+).*$/\1 \2 \3 \4/')
    if [ -z "$lines" ]; then echo "${f##*/} -"; else printf '%s\n' "$lines" | sed "s|^|${f##*/} |"; fi
  done
}

# "A B STATE" per sub-range line of `status` output.
status_states() {
  sed -nE 's/^([0-9]+) ([0-9]+) (done|nothing to scan|failed|stopped or running|not started)( .*)?$/\1 \2 \3/p' <<<"$1"
}

# RANGES with STATE appended to each line.
with_state() { sed "s/\$/ $2/" <<<"$1"; }

# Waits like slurm_wait_job; PEAK is the most tasks of ID seen running at once.
wait_job_peak() {
  local id=$1 deadline=$((SECONDS + $2)) running
  PEAK=0
  while :; do
    running=$(timeout 15 squeue -h --jobs="$id" -t RUNNING -o '%i' 2>/dev/null | grep -c .)
    [ "$running" -gt "$PEAK" ] && PEAK=$running
    slurm_wait_job "$id" 0 2>/dev/null && return 0
    if [ $SECONDS -ge "$deadline" ]; then
      slurm_wait_job "$id" 0
      return 1
    fi
    sleep 0.25
  done
}

# Sets JOB (and SCRIPT, TASKS) from the output of `slurm --submit` or
# `status --resubmit`.
parse_submission() {
  JOB=$(sed -n 's/^submitted job=\([0-9][0-9]*\)$/\1/p' <<<"$1" | tail -n1)
  SCRIPT=$(sed -n 's/^script=\(.*\) tasks=[0-9]*$/\1/p' <<<"$1" | tail -n1)
  TASKS=$(sed -n 's/^script=.* tasks=\([0-9]*\)$/\1/p' <<<"$1" | tail -n1)
}

# Task report lines "JOB_I STATE EXIT" expected for every task of RANGES.
all_completed() {
  local i=0 a b
  while read -r a b; do
    echo "${1}_$i COMPLETED 0:0"
    i=$((i + 1))
  done <<<"$2"
}

# ------------------------------------------------------------ shared checks

# The result table TABLE of a split run against REF, the table of the same
# sub-ranges run one after another.
check_table() {
  local what=$1 table=$2 ref=$3
  if [ ! -s "$table" ]; then
    fail "$what: $table exists"
    return
  fi
  same_text "$what: the table starts with the 7 header lines" "$(head -n 7 "$ref")" "$(head -n 7 "$table")"
  check "$what: the table has one header (PSDATA02 once)" test "$(grep -c PSDATA02 "$table")" -eq 1
  local cols
  cols=$(sed -n 4p "$ref" | awk -F'\t' '{ print NF }')
  check "$what: every row is whole ($cols tab-separated fields)" \
    test "$(table_rows "$table" | awk -F'\t' -v n="$cols" 'NF != n' | wc -l)" -eq 0
  check "$what: as many rows as the sequential runs ($(table_rows "$ref" | wc -l))" \
    test "$(table_rows "$table" | wc -l)" -eq "$(table_rows "$ref" | wc -l)"
  same_text "$what: rows equal the sequential runs' (AE#, t0, CC, SNR1, SNR2, #_T as multisets)" \
    "$(row_keys "$ref")" "$(row_keys "$table")"
  check "$what: no row is written twice" test -z "$(row_keys "$table" | uniq -d)"
  # A record's rows are appended in one piece under the lock, so concurrent
  # tasks may interleave records but never the rows of one record.
  check "$what: the rows of each record stay together" \
    test -z "$(table_rows "$table" | cut -f1 | uniq | sort | uniq -d)"
}

# Every sub-range of RANGES has its _OK log and no other log is there.
check_logs() {
  local what=$1 out=$2 ranges=$3 a b missing="" expected got f
  while read -r a b; do
    [ -f "$(printf '%sLog_%06d_%06d_OK.txt' "$out/" "$a" "$b")" ] || missing="$missing $a-$b"
  done <<<"$ranges"
  check "$what: every sub-range has its _OK log${missing:+ (missing:$missing)}" test -z "$missing"
  expected=$(while read -r a b; do printf 'Log_%06d_%06d_OK.txt\n' "$a" "$b"; done <<<"$ranges")
  got=$(for f in "$out"/Log_*.txt; do
    [ -e "$f" ] && [[ ! $f =~ \.bak[0-9]+\.txt$ ]] && echo "${f##*/}"
  done)
  same_text "$what: no log of another range" "$expected" "$got"
}

# No journal, staged file or temporary file left in DIRS.
check_no_leftovers() {
  local what=$1
  shift
  local left
  left=$(find "$@" \( -name '*.qae-pending' -o -name '*.qae-staged' -o -name '*.tmp.*' \) 2>/dev/null)
  check "$what: no unfinished write left behind${left:+ ($left)}" test -z "$left"
}

# The task outputs of JOB report what the sequential run of the same sub-range
# printed (detected, scanned, missing, unwritten).
check_task_outputs() {
  local what=$1 job=$2 out=$3 refdir=$4 ranges=$5 i=0 a b bad=""
  while read -r a b; do
    local got want
    got=$(grep '^detected=' "$out/slurm_${job}_$i.out" 2>/dev/null | tail -n1 | sed 's/ log=.*//')
    want=$(grep '^detected=' "$refdir/${a}_$b" | tail -n1 | sed 's/ log=.*//')
    if [ -z "$want" ] || [ "$got" != "$want" ]; then
      bad="$bad $a-$b:[${got:-no summary}]!=[$want]"
    fi
    i=$((i + 1))
  done <<<"$ranges"
  check "$what: each task printed the counts of its sequential run${bad:+ ($bad)}" test -z "$bad"
}

# ------------------------------------------------------------ experiments

phase "writing the experiments"
# 16 records a sub-range at 65536 samples: about two seconds a task, so two
# tasks append to the table at the same time.
"$QAE" synth "$WORK/events" --events 60 --samples 65536 >"$WORK/synth_events.out" \
  || { fail "synth of the event-file experiment"; exit 1; }
"$QAE" synth "$WORK/stream" --continuous --events 40 --quiet-segments 4 >"$WORK/synth_stream.out" \
  || { fail "synth of the continuous experiment"; exit 1; }

read -r EV_FIRST EV_LAST <<<"$(truth_range "$WORK/events")"
read -r CT_FIRST CT_LAST <<<"$(truth_range "$WORK/stream")"
if [ -z "${EV_LAST:-}" ] || [ -z "${CT_LAST:-}" ]; then
  fail "the ground truth names the experiments' ranges"
  exit 1
fi
# Four sub-ranges over each range: FIRST,LAST+1,+=STEP.
EV_END=$((EV_LAST + 1))
EV_STEP=$(((EV_END - EV_FIRST + 3) / 4))
EV_RANGE="$EV_FIRST,$EV_END,+=$EV_STEP"
EV_RANGES=$(split_range "$EV_FIRST" "$EV_END" "$EV_STEP")
CT_END=$((CT_LAST + 1))
CT_STEP=$(((CT_END - CT_FIRST + 3) / 4))
CT_RANGE="$CT_FIRST,$CT_END,+=$CT_STEP"
CT_RANGES=$(split_range "$CT_FIRST" "$CT_END" "$CT_STEP")
echo "event files: $EV_RANGE ($(tr '\n' ' ' <<<"$EV_RANGES")); continuous: $CT_RANGE ($(tr '\n' ' ' <<<"$CT_RANGES"))"


ok=1
for d in ev_seq ev_array ev_cancel; do copy_experiment "$WORK/events" "$WORK/$d" || ok=0; done
for d in ct_seq ct_array; do copy_experiment "$WORK/stream" "$WORK/$d" || ok=0; done
check "each copy's parameter file points at the copy" test "$ok" = 1

phase "sequential runs of the sub-ranges"
check "sequential runs of the event-file sub-ranges succeed" run_sequential "$WORK/ev_seq" "$EV_RANGES"
check "sequential runs of the continuous sub-ranges succeed" run_sequential "$WORK/ct_seq" "$CT_RANGES"
EV_REF_STATUS=$("$QAE" status "$WORK/ev_seq/ML_CC_AE_pars.txt" "$EV_RANGE")
CT_REF_STATUS=$("$QAE" status "$WORK/ct_seq/ML_CC_AE_pars.txt" "$CT_RANGE")
# The comparisons below rely on the reference being sound.
check "the sequential event-file runs detected something, no row twice" \
  test "$(table_rows "$WORK/ev_seq/out/ML_detect.ps0" | wc -l)" -gt 0 -a \
  -z "$(row_keys "$WORK/ev_seq/out/ML_detect.ps0" | uniq -d)"
check "the sequential continuous runs detected something, no row twice" \
  test "$(table_rows "$WORK/ct_seq/out/ML_detect.ps0" | wc -l)" -gt 0 -a \
  -z "$(row_keys "$WORK/ct_seq/out/ML_detect.ps0" | uniq -d)"

# Submits `slurm PARFILE RANGE OPTIONS...` for experiment DIR; sets JOB.
submit_array() {
  local what=$1 dir=$2 range=$3 tasks=$4 out rc
  shift 4
  out=$("$QAE" slurm "$dir/ML_CC_AE_pars.txt" "$range" "$@" --submit 2>&1)
  rc=$?
  parse_submission "$out"
  check "$what: slurm --submit exits 0 and names the job (${JOB:-none})" test "$rc" -eq 0 -a -n "$JOB"
  check "$what: the script has $tasks tasks (${TASKS:-?})" test "${TASKS:-0}" -eq "$tasks" -a -f "$SCRIPT"
  [ -n "$JOB" ] || echo "$out" | sed 's/^/    /'
  [ -n "$JOB" ]
}

# Waits for an array that should finish on its own and checks how it ended
# and what `status` says of it, against the sequential runs in REFDIR.
check_finished_array() {
  local what=$1 dir=$2 range=$3 ranges=$4 refdir=$5 ref_status=$6
  check "$what: the array leaves the queue" wait_job_peak "$JOB" 90
  same_text "$what: every task COMPLETED 0:0" "$(all_completed "$JOB" "$ranges")" "$(slurm_job_report "$JOB")"
  local st rc
  st=$("$QAE" status "$dir/ML_CC_AE_pars.txt" "$range")
  rc=$?
  check "$what: status exits 0" test "$rc" -eq 0
  same_text "$what: status says every sub-range is done" "$(with_state "$ranges" "done")" "$(status_states "$st")"
  same_text "$what: status reports the counts of the sequential runs" \
    "$(sed "s|$refdir/|DIR/|g" <<<"$ref_status")" "$(sed "s|$dir/|DIR/|g" <<<"$st")"
  check_logs "$what" "$dir/out" "$ranges"
  check_task_outputs "$what" "$JOB" "$dir/out" "$refdir.ref" "$ranges"
  check_table "$what" "$dir/out/ML_detect.ps0" "$refdir/out/ML_detect.ps0"
  # Each task is a fresh process over the same records as its sequential run,
  # so even the dithered columns must agree, in order.
  local a b bad=""
  while read -r a b; do
    [ "$(rows_in "$dir/out/ML_detect.ps0" "$a" "$b")" == "$(rows_in "$refdir/out/ML_detect.ps0" "$a" "$b")" ] \
      || bad="$bad $a-$b"
  done <<<"$ranges"
  check "$what: each sub-range's rows are, in order, byte for byte the sequential run's${bad:+ (differ:$bad)}" \
    test -z "$bad"
}

# Same file names, detection lines (dither-free fields) and, with "bytes",
# the same bytes in DIR as in REFDIR.
check_detected_files() {
  local what=$1 dir=$2 refdir=$3 bytes=${4:-}
  same_text "$what: the same files as the sequential runs" \
    "$(cd "$refdir" && ls -- *.sg2)" "$(cd "$dir" && ls -- *.sg2)"
  local keys
  keys=$(detection_keys "$refdir")
  check "$what: the sequential runs marked files with detection lines" \
    test "$(grep -c ' AE#=[0-9]* t0=[0-9.]* CC=[0-9.]* Tpl=[0-9]*$' <<<"$keys")" -gt 0
  same_text "$what: each file's detection lines (AE#, t0, CC, Tpl) equal the sequential runs'" \
    "$keys" "$(detection_keys "$dir")"
  if [ "$bytes" = bytes ]; then
    local f differ=""
    for f in "$refdir"/*.sg2; do
      cmp -s "$f" "$dir/${f##*/}" || differ="$differ ${f##*/}"
    done
    check "$what: each file is byte for byte the sequential runs'${differ:+ (differ:$differ)}" test -z "$differ"
  fi
}

# ------------------------------------------------------------ 1. an array over event files
test_event_array() {
  phase "1. job array over event files"
  local dir=$WORK/ev_array what="events"
  submit_array "$what" "$dir" "$EV_RANGE" 4 --cpus-per-task 1 || return
  check_finished_array "$what" "$dir" "$EV_RANGE" "$EV_RANGES" "$WORK/ev_seq" "$EV_REF_STATUS"
  if [ "${NODE_CPUS:-1}" -ge 2 ]; then
    check "$what: tasks ran side by side, sharing the table (at most $PEAK at once)" test "$PEAK" -ge 2
  fi
  check_detected_files "$what" "$dir/events" "$WORK/ev_seq/events" bytes
  check_no_leftovers "$what" "$dir/events" "$dir/out"
}

# ------------------------------------------------------------ 2. cancel and resubmit
test_cancel_resubmit() {
  phase "2. cancel a task part-way, resubmit"
  local dir=$WORK/ev_cancel what="cancel"
  # The second sub-range is the one cancelled. Its third record with an event
  # is replaced by a FIFO: opening it blocks, so the task is held part-way
  # through its sub-range, after two records with events, for as long as
  # the test needs, and cannot end before it is cancelled.
  local ca cb
  read -r ca cb <<<"$(sed -n 2p <<<"$EV_RANGES")"
  local -a det
  mapfile -t det < <(awk -F'\t' -v a="$ca" -v b="$cb" \
    '$1 ~ /^[0-9]+$/ && $1 >= a && $1 <= b && $12 == "detect" { print $1 }' "$dir/ground_truth.tsv" | uniq)
  if [ "${#det[@]}" -lt 3 ]; then
    fail "$what: sub-range $ca-$cb has three records with events (${det[*]:-none})"
    return
  fi
  local stall prev first_det
  first_det=${det[0]}
  prev=$(printf '%s/events/%06d.sg2' "$dir" "${det[1]}")
  stall=$(printf '%s/events/%06d.sg2' "$dir" "${det[2]}")
  if ! rm -f "$stall" || ! mkfifo "$stall"; then
    fail "$what: cannot make a FIFO at $stall"
    return
  fi
  local log
  log=$(printf '%s/out/Log_%06d_%06d.txt' "$dir" "$ca" "$cb")

  submit_array "$what" "$dir" "$EV_RANGE" 4 --cpus-per-task 1 --max-running 1 || return
  local job1=$JOB deadline=$((SECONDS + 90)) held=0
  while [ $SECONDS -lt $deadline ]; do
    if grep -qF "Loading $prev" "$log" 2>/dev/null \
      && table_rows "$dir/out/ML_detect.ps0" 2>/dev/null | cut -f1 | grep -qx "$first_det"; then
      held=1
      break
    fi
    sleep 0.2
  done
  check "$what: task 1 reached the held record (it scanned ${det[0]} and loaded ${det[1]})" test "$held" = 1
  if [ "$held" != 1 ]; then
    squeue -h --jobs="$job1" -o '%i %T' | sed 's/^/    /'
    return
  fi
  check "$what: task 1 is running" test "$(squeue -h --jobs="${job1}_1" -o %T 2>/dev/null)" = RUNNING
  check "$what: its log has Loading lines and no end" \
    bash -c 'grep -q "Loading" "$1" && ! grep -q "^ Ended:" "$1"' _ "$log"

  local st rc expected
  st=$("$QAE" status "$dir/ML_CC_AE_pars.txt" "$EV_RANGE")
  rc=$?
  check "$what: status exits 1 while task 1 is held" test "$rc" -eq 1
  expected=$(paste -d' ' <(echo "$EV_RANGES") <(printf '%s\n' "done" "stopped or running" "not started" "not started"))
  same_text "$what: status while held: done, stopped or running, not started (throttled)" \
    "$expected" "$(status_states "$st")"

  check "$what: scancel ${job1}_1" scancel "${job1}_1"
  check "$what: the rest of the array leaves the queue" slurm_wait_job "$job1" 90
  local report
  report=$(slurm_job_report "$job1" | awk -v c="${job1}_1" '$1 == c { print $1, $2; next } { print }')
  expected=$(printf '%s\n' "${job1}_0 COMPLETED 0:0" "${job1}_1 CANCELLED" "${job1}_2 COMPLETED 0:0" "${job1}_3 COMPLETED 0:0")
  same_text "$what: task 1 CANCELLED, the others COMPLETED 0:0" "$expected" "$report"
  st=$("$QAE" status "$dir/ML_CC_AE_pars.txt" "$EV_RANGE")
  rc=$?
  check "$what: status exits 1 after the cancellation" test "$rc" -eq 1
  expected=$(paste -d' ' <(echo "$EV_RANGES") <(printf '%s\n' "done" "stopped or running" "done" "done"))
  same_text "$what: status after it: only the cancelled sub-range is stopped" "$expected" "$(status_states "$st")"
  check "$what: the summary line counts it" \
    grep -qx 'sub-ranges=4 done=3 nothing-to-scan=0 failed=0 stopped-or-running=1 not-started=0' <<<"$st"
  check "$what: the cancelled run's log has no end" bash -c '! grep -q "^ Ended:" "$1"' _ "$log"
  local part ref_part
  part=$(rows_in "$dir/out/ML_detect.ps0" "$ca" "$cb" | cut -f1,2,7,8,9,14 | sort)
  ref_part=$(rows_in "$WORK/ev_seq/out/ML_detect.ps0" "$ca" "$cb" | cut -f1,2,7,8,9,14 | sort)
  check "$what: the cancelled task wrote some rows of its sub-range, all of them right, not all" \
    test -n "$part" -a -z "$(comm -23 <(echo "$part") <(echo "$ref_part"))" \
    -a "$(echo "$part" | wc -l)" -lt "$(echo "$ref_part" | wc -l)"

  rm -f "$stall" && cp -p "$WORK/events/events/${stall##*/}" "$stall"
  local out
  out=$("$QAE" status "$dir/ML_CC_AE_pars.txt" "$EV_RANGE" --resubmit --cpus-per-task 1 2>&1)
  parse_submission "$out"
  check "$what: status --resubmit submits a job (${JOB:-none})" test -n "$JOB" -a "$JOB" != "$job1"
  check "$what: ... of the one unfinished sub-range (tasks=${TASKS:-?})" test "${TASKS:-0}" -eq 1
  [ -n "$JOB" ] || { echo "$out" | sed 's/^/    /'; return; }
  check "$what: the resubmitted array leaves the queue" slurm_wait_job "$JOB" 90
  same_text "$what: the resubmitted task COMPLETED 0:0" "${JOB}_0 COMPLETED 0:0" "$(slurm_job_report "$JOB")"

  st=$("$QAE" status "$dir/ML_CC_AE_pars.txt" "$EV_RANGE")
  rc=$?
  check "$what: status exits 0 after the resubmission" test "$rc" -eq 0
  same_text "$what: every sub-range is done" "$(with_state "$EV_RANGES" "done")" "$(status_states "$st")"
  check_logs "$what" "$dir/out" "$EV_RANGES"
  local baks
  baks=$(cd "$dir/out" && ls Log_*.bak*.txt 2>/dev/null)
  check "$what: only the cancelled sub-range ran again, its stopped log kept (${baks:-no backup})" \
    bash -c '[[ $1 =~ ^Log_0*$2_0*$3\.bak[0-9]+\.txt$ ]]' _ "$baks" "$ca" "$cb"
  local scanned ref_scanned
  scanned=$(sed -n "s/^$ca $cb done scanned=\([0-9]*\) .*/\1/p" <<<"$st")
  ref_scanned=$(sed -n "s/^$ca $cb done scanned=\([0-9]*\) .*/\1/p" <<<"$EV_REF_STATUS")
  check "$what: the rerun skipped the records the cancelled task had finished (scanned ${scanned:-?} < ${ref_scanned:-?})" \
    test -n "$scanned" -a -n "$ref_scanned" -a "${scanned:-0}" -lt "${ref_scanned:-0}"
  check_table "$what" "$dir/out/ML_detect.ps0" "$WORK/ev_seq/out/ML_detect.ps0"
  check_detected_files "$what" "$dir/events" "$WORK/ev_seq/events"
  check_no_leftovers "$what" "$dir/events" "$dir/out"
}

# ------------------------------------------------------------ 3. continuous recording
test_continuous_array() {
  phase "3. job array over a continuous recording"
  local dir=$WORK/ct_array what="continuous"
  submit_array "$what" "$dir" "$CT_RANGE" 4 --cpus-per-task 1 || return
  check_finished_array "$what" "$dir" "$CT_RANGE" "$CT_RANGES" "$WORK/ct_seq" "$CT_REF_STATUS"
  check_detected_files "$what" "$dir/out" "$WORK/ct_seq/out" bytes
  local ledger=$dir/out/ML_detect_segments.txt ref_ledger=$WORK/ct_seq/out/ML_detect_segments.txt
  same_text "$what: the done segments and their numbers equal the sequential runs'" \
    "$(cut -f2,3 "$ref_ledger" | sort)" "$(cut -f2,3 "$ledger" 2>/dev/null | sort)"
  check "$what: no segment is recorded twice" test -z "$(cut -f2 "$ledger" | sort | uniq -d)"
  check "$what: the ledger names this experiment's recording" \
    test -z "$(cut -f1 "$ledger" | grep -vxF "$(sed -n 's/^dataPath = "\(.*\)"$/\1/p' "$dir/ML_CC_AE_pars.txt")")"
  local f differ=""
  for f in "$WORK/stream/recording"/*; do
    cmp -s "$f" "$dir/recording/${f##*/}" || differ="$differ ${f##*/}"
  done
  check "$what: the recording is left as it was${differ:+ (changed:$differ)}" test -z "$differ"
  check_no_leftovers "$what" "$dir/recording" "$dir/out"
}

# ------------------------------------------------------------ 4. nothing to scan
test_nothing_to_scan() {
  phase "4. a sub-range past the end of the recording"
  local dir=$WORK/ct_array what="past the end"
  local a=$((CT_LAST + 1)) b=$((CT_LAST + 8))
  local table=$dir/out/ML_detect.ps0 ledger=$dir/out/ML_detect_segments.txt
  local rows_before ledger_before
  rows_before=$(cat "$table")
  ledger_before=$(cat "$ledger")
  submit_array "$what" "$dir" "$a,$b,+=0" 1 --cpus-per-task 1 || return
  check "$what: the task leaves the queue" slurm_wait_job "$JOB" 60
  # `run` exits 3 here; the script tells Slurm the task did all it could.
  same_text "$what: Slurm books the task as completed" "COMPLETED 0:0" \
    "$(slurm_job_report "$JOB" | cut -d' ' -f2-)"
  local st rc
  st=$("$QAE" status "$dir/ML_CC_AE_pars.txt" "$a,$b,+=0")
  rc=$?
  check "$what: status exits 0" test "$rc" -eq 0
  same_text "$what: status says nothing to scan" "$a $b nothing to scan" "$(status_states "$st")"
  check "$what: its log is renamed _OK" test -f "$(printf '%s/out/Log_%06d_%06d_OK.txt' "$dir" "$a" "$b")"
  check "$what: the table is untouched" test "$rows_before" == "$(cat "$table")"
  check "$what: the segment ledger is untouched" test "$ledger_before" == "$(cat "$ledger")"
}

test_event_array
test_cancel_resubmit
test_continuous_array
test_nothing_to_scan
phase "done"
