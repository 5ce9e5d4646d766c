#!/usr/bin/env bash
# Cross-builds Quorvex_AE and its tests for Windows (MinGW-w64) into
# build-windows/ (or $QAE_WINDOWS_BUILD_DIR) and runs the test suite under
# Wine, together with the comparison of its outputs with the Linux build's
# ($QAE_BUILD_DIR, default build/). Where Wine cannot start, the Windows
# tests are reported as skipped, not failed. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/../.."

build_dir="${QAE_WINDOWS_BUILD_DIR:-build-windows}"
linux_build="${QAE_BUILD_DIR:-build}"
case "$linux_build" in /*) ;; *) linux_build="$(pwd)/$linux_build" ;; esac
linux_exe="$linux_build/Quorvex_AE"
start=$SECONDS

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "windows: MinGW-w64 (g++-mingw-w64-x86-64-posix) is not installed; run scripts/setup.sh" >&2
  exit 1
fi
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
  -DCMAKE_BUILD_TYPE="${QAE_BUILD_TYPE:-Release}" -DQAE_LINUX_EXECUTABLE="$linux_exe" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
echo "windows: built in $((SECONDS - start)) s" >&2

# One Wine prefix for the build's tests, set up once and quietly.
export WINEPREFIX="$(cd "$build_dir" && pwd)/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Launched instances run headless; Wine then needs no X display either.
unset DISPLAY WAYLAND_DISPLAY
wine_bin="$(command -v wine64 || command -v wine || true)"
why=""
if [ -z "$wine_bin" ]; then
  why="Wine is not installed"
elif [ ! -f "$WINEPREFIX/system.reg" ] && ! timeout 300 "$wine_bin" wineboot -i >/dev/null 2>&1; then
  why="wineboot failed in $WINEPREFIX"
elif ! timeout 120 "$wine_bin" "$build_dir/Quorvex_AE.exe" --version >/dev/null 2>&1; then
  why="Quorvex_AE.exe does not start under Wine"
fi
if [ -n "$why" ]; then
  echo "windows: the Windows tests are skipped: Wine cannot start ($why)" >&2
  exit 0
fi
# The prefix's server (and any program left running in it) ends with us.
trap 'wineserver -k 2>/dev/null || true' EXIT

status=0
ctest --test-dir "$build_dir" --output-on-failure -j "${QAE_WINDOWS_TEST_JOBS:-$(( $(nproc) + 1 ))}" ||
  status=$?
echo "windows: built and tested in $((SECONDS - start)) s" >&2
exit "$status"
