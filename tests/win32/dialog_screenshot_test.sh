#!/bin/bash
# The Win32 dialog on screen: starts it under Wine on a virtual X display,
# drives it with dialog_driver.exe as a user would (types a range, presses
# Go, picks the parameter file in the chooser, waits for the run to end,
# opens the About box from the window menu, closes it all), reads the
# controls back at each stage and takes screenshots.
#
#   dialog_screenshot_test.sh [--real] APP.exe DRIVER.exe [OUT_DIR]
#
# --real: APP is Quorvex_AE.exe; a synthetic experiment (`synth`) gives the
# parameter file, the run is a real detection, and a launched instance
# ("PARFILE;1;7;") is checked too. Without it APP is dialog_harness.exe.
# Screenshots go to OUT_DIR (default: a temporary folder): start.png,
# ended.png, about.png (the whole screen) and dialog.png (the dialog after
# its run, cut out). Exit 0 passed, 1 failed, 77 skipped (no Wine, Xvfb or
# ImageMagick).
set -u -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_display.sh"

real=0
if [ "${1:-}" = "--real" ]; then
  real=1
  shift
fi
[ $# -ge 2 ] || { echo "usage: $0 [--real] APP.exe DRIVER.exe [OUT_DIR]" >&2; exit 2; }
app=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
driver=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
out=${3:-}
[ -f "$app" ] && [ -f "$driver" ] || { echo "no $1 or $2" >&2; exit 2; }
command -v import >/dev/null 2>&1 && command -v convert >/dev/null 2>&1 ||
  qae_skip "ImageMagick (import, convert) is not installed (Debian: imagemagick)"

# A prefix (and so a wineserver) of its own per mode: windows of another
# test's dialog would otherwise be found by title.
if [ "$real" = 1 ]; then qae_wine_display dialog-screenshot-real; else qae_wine_display dialog-screenshot; fi
work=$(mktemp -d)
[ -n "$out" ] || out="$work/shots"
mkdir -p "$out"
out=$(cd "$out" && pwd)
trap 'qae_cleanup_display; rm -rf "$work" "${exp_unix:-}"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Its output has Windows line ends.
drive() {
  "$WINE" "$driver" "$@" 2>/dev/null | tr -d '\r'
}

# "control ID CLASS ENABLED CHECKED TEXT" lines: the text of control ID.
text_of() {
  awk -v id="$2" '$1 == "control" && $2 == id { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print; exit }' "$1"
}
field_of() {
  awk -v id="$2" -v n="$3" '$1 == "control" && $2 == id { print $n; exit }' "$1"
}
expect_text() {
  local got
  got=$(text_of "$1" "$2")
  [ "$got" = "$3" ] || fail "$(basename "$1"): control $2 shows '$got', expected '$3'"
}

# The screen is not blank and the dialog's region holds drawn text and
# controls, not one flat colour; `rect` lines give the region.
check_screenshot() {
  local shot=$1 rect_file=$2 crop=$3
  [ -s "$shot" ] || { fail "no screenshot $shot"; return; }
  local colours
  colours=$(convert "$shot" -format '%k' info:)
  [ "${colours:-0}" -gt 8 ] || fail "$(basename "$shot") is blank ($colours colours)"
  local x y w h
  read -r _ x y w h < <(grep '^rect ' "$rect_file" | tail -1)
  [ -n "${h:-}" ] || { fail "no window rectangle in $(basename "$rect_file")"; return; }
  [ "$x" -lt 0 ] && { w=$((w + x)); x=0; }
  [ $((x + w)) -gt 1024 ] && w=$((1024 - x))
  convert "$shot" -crop "${w}x${h}+${x}+${y}" +repage "$crop"
  colours=$(convert "$crop" -format '%k' info:)
  [ "${colours:-0}" -gt 16 ] || fail "$(basename "$crop"): the dialog's region is nearly flat ($colours colours)"
}

# The parameter file, and how the program is started. The experiment is
# on drive C: of the prefix (the prefix is this test's alone), so the
# dialog shows a Windows path.
exp_unix="$WINEPREFIX/drive_c/qae-experiment"
rm -rf "$exp_unix"
mkdir -p "$exp_unix"
if [ "$real" = 1 ]; then
  "$WINE" "$app" synth "$(winepath -w "$exp_unix")" --templates 1 --events 2 --samples 1024 \
    >"$work/synth.out" 2>&1 || { cat "$work/synth.out" >&2; fail "synth failed"; exit 1; }
  par_unix="$exp_unix/ML_CC_AE_pars.txt"
  range="1,7,+=0"
  start_args=(dialog)
else
  par_unix="$exp_unix/ML_CC_AE_pars.txt"
  echo "harness" >"$par_unix"
  range="0,3,+=0"
  start_args=()
fi
par_win=$(winepath -w "$par_unix")

(cd "$work" && "$WINE" "$app" "${start_args[@]}" >"$work/app.out" 2>"$work/app.err"; echo $? >"$work/app.rc") &

# 1. As it opens.
drive window Quorvex_AE front controls rect >"$work/start.txt" ||
  { cat "$work/start.txt" "$work/app.err" >&2; fail "the dialog did not open"; exit 1; }
sleep 0.5
import -window root "$out/start.png"
grep -qx 'title Quorvex_AE' "$work/start.txt" || fail "window title is not Quorvex_AE"
if command -v xwininfo >/dev/null 2>&1; then
  xwininfo -root -tree | grep -q '"Quorvex_AE"' || fail "no X window named Quorvex_AE"
fi
expect_text "$work/start.txt" 1000 "Input file..."
expect_text "$work/start.txt" 1001 ""
expect_text "$work/start.txt" 1052 "0,2500,+=250"
expect_text "$work/start.txt" 1004 "Go"
expect_text "$work/start.txt" 1005 "Auto close"
expect_text "$work/start.txt" 1003 '"0,1500,+=500" for multiple runs or "0,1500,+=0" for a single run!'
[ "$(field_of "$work/start.txt" 1005 5)" = 0 ] || fail "Auto close is checked in an interactive dialog"
check_screenshot "$out/start.png" "$work/start.txt" "$work/start-dialog.png"

# 2. A single run: range typed, Go pressed, the file picked in the chooser.
drive window Quorvex_AE type 1052 "$range" click 1004 choose-file "$par_win" \
  wait-text 1003 "Ended!" sleep 300 controls rect >"$work/ended.txt" ||
  { cat "$work/ended.txt" >&2; fail "the run did not end in the dialog"; }
import -window root "$out/ended.png"
expect_text "$work/ended.txt" 1001 "$par_win"
expect_text "$work/ended.txt" 1052 "$range"
status=$(text_of "$work/ended.txt" 1003)
case "$status" in
  "Ended!") ;;
  *) fail "status after the run: '$status'" ;;
esac
check_screenshot "$out/ended.png" "$work/ended.txt" "$out/dialog.png"

# 3. About from the window menu.
drive window Quorvex_AE sysmenu 0x10 window "About Quorvex_AE" sleep 300 controls rect \
  >"$work/about.txt" || fail "no About box from the window menu"
import -window root "$out/about.png"
expect_text "$work/about.txt" 1101 "Quorvex_AE, Version 1.0"
check_screenshot "$out/about.png" "$work/about.txt" "$work/about-box.png"

# 4. Closed by the user: exit status 0 after a complete run.
drive window "About Quorvex_AE" click 1 wait-gone "About Quorvex_AE" window Quorvex_AE close \
  wait-gone Quorvex_AE >/dev/null || fail "the dialog did not close"
for _ in $(seq 100); do [ -e "$work/app.rc" ] && break; sleep 0.1; done
[ "$(cat "$work/app.rc" 2>/dev/null)" = 0 ] || fail "exit status $(cat "$work/app.rc" 2>/dev/null) after closing"

# 5. A launched instance shows its run with the controls locked and closes
# itself when the run ends.
if [ "$real" = 1 ]; then
  rm -f "$work/app.rc"
  (cd "$work" && "$WINE" "$app" "$par_win;1;7;" >"$work/launched.out" 2>"$work/launched.err"
   echo $? >"$work/app.rc") &
  drive window Quorvex_AE controls >"$work/launched.txt" || fail "the launched instance showed no dialog"
  [ "$(field_of "$work/launched.txt" 1004 4)" = 0 ] || fail "Go is enabled in a launched instance"
  [ "$(field_of "$work/launched.txt" 1005 5)" = 1 ] || fail "Auto close is not checked in a launched instance"
  expect_text "$work/launched.txt" 1052 "1,7;"
  drive wait-gone Quorvex_AE >/dev/null || fail "the launched instance did not close itself"
  for _ in $(seq 100); do [ -e "$work/app.rc" ] && break; sleep 0.1; done
  [ "$(cat "$work/app.rc" 2>/dev/null)" = 0 ] ||
    fail "launched instance: exit status $(cat "$work/app.rc" 2>/dev/null)"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed; screenshots in $out" >&2
  [ -n "${3:-}" ] || cp -r "$out" "${TMPDIR:-/tmp}/qae-dialog-screenshots-failed"
  exit 1
fi
if [ -n "${3:-}" ]; then
  echo "dialog screenshot test passed; screenshots in $out"
else
  echo "dialog screenshot test passed"
fi
exit 0
