#!/usr/bin/env bash
# Runs the same demos with the Linux and the Windows (under Wine) builds and
# checks that they write the same bytes: the result table, the event files
# (SEG-2, with the detections marked in them), the logs, the ground truth,
# the parameter file and the exported catalogues (CSV, JSON, QuakeML).
# Differences allowed: time stamps of the logs, and the experiment's own
# folder where a file names it ("/tmp/x/lin/" and "Z:/tmp/x/win/").
#   compare-outputs.sh LINUX_EXE WINDOWS_EXE
# Exit 0 when all are the same, 1 when any differs, 77 (skipped) when one
# of the programs is missing or Wine cannot start.
set -uo pipefail

linux_exe="${1:?Linux executable}"
windows_exe="${2:?Windows executable}"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../cmake/wine-run.sh"

if [ ! -x "$linux_exe" ]; then
  echo "compare-outputs: no Linux build at $linux_exe (skipped)" >&2
  exit 77
fi
if [ ! -f "$windows_exe" ]; then
  echo "compare-outputs: no Windows build at $windows_exe (skipped)" >&2
  exit 77
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export WINEPREFIX="${WINEPREFIX:-$work/wineprefix}"
# Headless: a launched instance must not look for a window.
unset DISPLAY WAYLAND_DISPLAY

run_linux() { "$linux_exe" "$@"; }
run_windows() { "$wine_run" "$windows_exe" "$@"; }
# Wine's view of a Linux path.
winpath() { printf 'Z:%s' "$1"; }

failed=0
compare_tree() {
  local name="$1" lin="$2" win="$3" lin_prefix="$4" win_prefix="$5"
  local f rel a b
  (cd "$lin" && find . -type f | sort) >"$work/lin.list"
  (cd "$win" && find . -type f | sort) >"$work/win.list"
  if ! cmp -s "$work/lin.list" "$work/win.list"; then
    echo "compare-outputs: $name: the two builds wrote different files:" >&2
    diff "$work/lin.list" "$work/win.list" >&2
    failed=1
  fi
  while IFS= read -r rel; do
    [ -f "$win/$rel" ] || continue
    a="$work/a.bin"
    b="$work/b.bin"
    # The experiment's folder, then the time stamps of logs.
    LC_ALL=C sed -e "s|$lin_prefix|<dir>/|g" "$lin/$rel" >"$a"
    LC_ALL=C sed -e "s|$win_prefix|<dir>/|g" "$win/$rel" >"$b"
    case "$rel" in
      *Log_*)
        LC_ALL=C sed -i -E 's#[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}#<time>#g' "$a" "$b"
        ;;
    esac
    if ! cmp -s "$a" "$b"; then
      echo "compare-outputs: $name: $rel differs between the Linux and the Windows build" >&2
      cmp "$a" "$b" >&2
      failed=1
    fi
  done <"$work/lin.list"
  echo "compare-outputs: $name: $(wc -l <"$work/lin.list") files compared" >&2
}

demo() {
  local name="$1"
  shift
  local lin="$work/$name/lin" win="$work/$name/win"
  mkdir -p "$work/$name"
  if ! run_linux demo "$lin" "$@" >"$work/$name/lin.out" 2>&1; then
    echo "compare-outputs: $name: the Linux demo failed:" >&2
    cat "$work/$name/lin.out" >&2
    failed=1
    return
  fi
  run_windows demo "$(winpath "$win")" "$@" >"$work/$name/win.out" 2>&1
  local rc=$?
  if [ "$rc" -eq 77 ]; then
    cat "$work/$name/win.out" >&2
    exit 77
  fi
  if [ "$rc" -ne 0 ]; then
    echo "compare-outputs: $name: the Windows demo failed ($rc):" >&2
    cat "$work/$name/win.out" >&2
    failed=1
    return
  fi
  # The catalogues of both runs, each exported by its own build.
  local fmt
  for fmt in csv json quakeml; do
    run_linux export "$lin/out" --format "$fmt" -o "$lin/out/catalogue.$fmt" >/dev/null 2>&1 ||
      { echo "compare-outputs: $name: Linux export $fmt failed" >&2; failed=1; }
    run_windows export "$(winpath "$win")/out" --format "$fmt" \
      -o "$(winpath "$win")/out/catalogue.$fmt" >/dev/null 2>&1 ||
      { echo "compare-outputs: $name: Windows export $fmt failed" >&2; failed=1; }
  done
  compare_tree "$name" "$lin" "$win" "$lin/" "$(winpath "$win")/"
}

demo events --seed 11
demo continuous --seed 5 --continuous

if [ "$failed" -ne 0 ]; then
  echo "compare-outputs: the Linux and Windows builds wrote different outputs" >&2
  exit 1
fi
echo "compare-outputs: the Linux and Windows builds wrote the same bytes"
