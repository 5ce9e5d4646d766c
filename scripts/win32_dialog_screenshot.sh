#!/bin/bash
# The Windows dialog's picture for the README (docs/dialog-windows.png):
# runs tests/win32/dialog_screenshot_test.sh on a Windows build under Wine
# and Xvfb and keeps its cut-out of the dialog after a run.
#
#   scripts/win32_dialog_screenshot.sh [BUILD_DIR] [OUTPUT.png]
#
# BUILD_DIR defaults to build-windows (cmake/toolchain-mingw64.cmake). With
# Quorvex_AE.exe in it the run is a real detection on a synthetic
# experiment; otherwise the dialog harness is used. All screenshots of the
# test (start, after the run, About box) are left in a temporary folder
# that is printed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
target=${2:-$root/docs/dialog-windows.png}

find_exe() { find "$build" -name "$1" -type f -print -quit 2>/dev/null; }
driver=$(find_exe qae_win32_dialog_driver.exe)
app=$(find_exe Quorvex_AE.exe)
mode=(--real)
if [ -z "$app" ]; then
  app=$(find_exe qae_win32_dialog_harness.exe)
  mode=()
fi
if [ -z "$driver" ] || [ -z "$app" ]; then
  echo "win32_dialog_screenshot: no Windows build of the dialog in $build" \
       "(qae_win32_dialog_driver.exe and Quorvex_AE.exe or qae_win32_dialog_harness.exe)" >&2
  exit 1
fi

shots=$(mktemp -d)
rc=0
bash "$root/tests/win32/dialog_screenshot_test.sh" "${mode[@]}" "$app" "$driver" "$shots" || rc=$?
if [ "$rc" -ne 0 ]; then
  echo "win32_dialog_screenshot: the screenshot test did not pass (exit $rc); screenshots in $shots" >&2
  exit "$rc"
fi
cp "$shots/dialog.png" "$target"
echo "wrote $target (all screenshots: $shots)"
