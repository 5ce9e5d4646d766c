#!/bin/bash
# Runs a Windows test program under Wine with an X display of its own:
#   run_with_display.sh NAME PROGRAM.exe [ARG...]
# Exit 77 (skipped) when Wine or Xvfb is missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine_display.sh"
name=$1
shift
qae_wine_display "$name"
"$WINE" "$@"
