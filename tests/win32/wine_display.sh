# Sourced by the Win32 dialog tests: what a Win32 window needs on a Linux
# machine. qae_wine_display NAME starts Xvfb on a free display and points
# Wine at a prefix of its own for NAME (made on first use, ~15 s; kept in
# ${QAE_WINE_PREFIX_ROOT:-$TMPDIR} for later runs, one per NAME so that
# tests running side by side never share a wineserver). Windows get Wine's
# own frames in a 1024x768 virtual desktop, as on Windows. Everything it
# started is stopped when the shell exits. A missing tool skips the test
# (exit 77). WINE names the wine command (default: wine64, else wine).

qae_skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

qae_cleanup_display() {
  if [ -n "${WINEPREFIX:-}" ] && command -v wineserver >/dev/null 2>&1; then
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "${QAE_XVFB_PID:-}" ]; then
    kill "$QAE_XVFB_PID" 2>/dev/null || true
    wait "$QAE_XVFB_PID" 2>/dev/null || true
  fi
}

qae_wine_display() {
  local name=$1
  WINE=${WINE:-$(command -v wine64 || command -v wine || echo wine)}
  command -v "$WINE" >/dev/null 2>&1 || qae_skip "Wine is not installed (Debian: wine wine64)"
  command -v Xvfb >/dev/null 2>&1 || qae_skip "Xvfb is not installed (Debian: xvfb)"

  local n
  for n in $(seq 90 190); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  QAE_XVFB_PID=$!
  trap qae_cleanup_display EXIT
  local tries=0
  until [ -e "/tmp/.X11-unix/X$n" ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || qae_skip "Xvfb did not start on :$n"
    kill -0 "$QAE_XVFB_PID" 2>/dev/null || qae_skip "Xvfb did not start on :$n"
    sleep 0.1
  done
  export DISPLAY=":$n"

  local root=${QAE_WINE_PREFIX_ROOT:-${TMPDIR:-/tmp}}
  export WINEPREFIX="$root/qae-wine-$(id -u)-$name"
  export WINEDEBUG=-all
  # No offers to install Mono or Gecko (nothing here needs them), no menu
  # entries on the host.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ ! -e "$WINEPREFIX/.qae-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || qae_skip "wineboot could not make a prefix in $WINEPREFIX"
    # Debian keeps Wine's own fonts (Marlett draws the caption buttons)
    # where this Wine does not look for them.
    local fonts
    for fonts in /usr/share/wine/fonts /usr/share/fonts/truetype/wine; do
      [ -d "$fonts" ] && cp -n "$fonts"/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
    done
    "$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.qae-ready"
  fi
}
