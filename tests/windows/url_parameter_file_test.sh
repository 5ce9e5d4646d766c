#!/usr/bin/env bash
# A parameter file given as a URL, read by the Windows build (WinINet) under
# Wine from a web server on this machine's loopback address: the same values
# as from the file itself, and an HTTP error is an error, said as the Linux
# build (libcurl) says it. Exit 77 (skipped) without python3 or Wine.
#   url_parameter_file_test.sh WINDOWS_EXE
set -uo pipefail
exe="${1:?Windows executable}"
wine_run="$(cd "$(dirname "$0")/../.." && pwd)/cmake/wine-run.sh"
command -v python3 >/dev/null || { echo "no python3 for the web server (skipped)" >&2; exit 77; }

work="$(mktemp -d)"
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX="${WINEPREFIX:-$work/wineprefix}"
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$work/site"
"$wine_run" "$exe" synth "Z:$work/exp" --events 2 --samples 1024 --sensors 4 --templates 1 \
  >"$work/synth.out" 2>&1
rc=$?
[ "$rc" -eq 77 ] && { cat "$work/synth.out" >&2; exit 77; }
[ "$rc" -eq 0 ] || { echo "synth failed:" >&2; cat "$work/synth.out" >&2; exit 1; }
cp "$work/exp/ML_CC_AE_pars.txt" "$work/site/pars.txt"

# A free port on the loopback address, chosen by the system; the server
# stops by itself after two minutes at most.
port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
(cd "$work/site" && exec timeout 120 python3 -m http.server "$port" --bind 127.0.0.1) \
  >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 50); do
  python3 -c "import urllib.request; urllib.request.urlopen('http://127.0.0.1:$port/pars.txt')" \
    2>/dev/null && break
  sleep 0.1
done

failed=0
"$wine_run" "$exe" params "Z:$work/site/pars.txt" >"$work/file.json" 2>&1 || failed=1
"$wine_run" "$exe" params "http://127.0.0.1:$port/pars.txt" >"$work/url.json" 2>"$work/url.err" ||
  { echo "reading the URL failed:" >&2; cat "$work/url.err" >&2; failed=1; }
if ! cmp -s "$work/file.json" "$work/url.json"; then
  echo "the URL gave other values than the file:" >&2
  diff "$work/file.json" "$work/url.json" >&2
  failed=1
fi
"$wine_run" "$exe" params "http://127.0.0.1:$port/missing.txt" >/dev/null 2>"$work/missing.err"
rc=$?
if [ "$rc" -ne 2 ] || ! grep -q "The requested URL returned error: 404" "$work/missing.err"; then
  echo "a missing page gave exit $rc and:" >&2
  cat "$work/missing.err" >&2
  failed=1
fi
[ "$failed" -eq 0 ] && echo "url parameter file: read as the file; 404 refused"
exit "$failed"
