#!/usr/bin/env bash
# Runs a Windows program under Wine for the Windows build's tests: quietly,
# in a Wine prefix of the build's own (WINEPREFIX, default
# <current folder>/wineprefix; CTest runs tests in the build folder),
# initialised on first use. Exits 77, CTest's "skipped", with the reason on
# stderr when Wine is missing or cannot start.
set -u
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEPREFIX="${WINEPREFIX:-$PWD/wineprefix}"
# No "install Mono/Gecko?" dialogs, no desktop integration.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"

wine_bin="$(command -v wine64 || command -v wine || true)"
if [ -z "$wine_bin" ]; then
  echo "wine-run: Wine is not installed; the Windows program cannot run here (skipped)" >&2
  exit 77
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # Several tests may start at once; one of them sets the prefix up.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    if ! timeout 300 "$wine_bin" wineboot -i >/dev/null 2>&1; then
      echo "wine-run: Wine cannot start (wineboot failed in $WINEPREFIX); skipped" >&2
      exit 77
    fi
  fi
  flock -u 9
fi
# A program that starts just as the prefix's server ends (it stays a few
# seconds after its last client) can lose its connection before it runs at
# all ("wine client error"); it is started once more then.
err="$(mktemp)"
trap 'rm -f "$err"' EXIT
for attempt in 1 2; do
  "$wine_bin" "$@" 2>"$err"
  status=$?
  if [ "$status" -eq 0 ] || [ "$attempt" -eq 2 ] || ! grep -q '^wine client error' "$err"; then
    break
  fi
done
cat "$err" >&2
exit "$status"
