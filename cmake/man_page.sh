#!/usr/bin/env bash
# Writes the manual page of Quorvex_AE from its own --help texts:
#   man_page.sh EXECUTABLE VERSION OUTPUT
# so the page never says something the program does not.
set -euo pipefail
exe="$1"
version="$2"
out="$3"

# Troff: backslashes doubled, and a line starting with . or ' made literal.
escape() { sed -e "s|$exe|Quorvex_AE|g" -e 's/\\/\\e/g' -e "s/^\([.']\)/\\\\\&\1/"; }

commands=$("$exe" --help | awk '/^Subcommands:/{on=1; next} on && /^  [a-z]/{print $1}')
{
  printf '.TH QUORVEX_AE 1 "" "Quorvex_AE %s" "User Commands"\n' "$version"
  printf '.SH NAME\nQuorvex_AE \\- find acoustic-emission events in waveform recordings by template matching\n'
  printf '.SH SYNOPSIS\n.B Quorvex_AE\n.I COMMAND\n[\\fIOPTIONS\\fR]\n'
  printf '.SH DESCRIPTION\n.nf\n'
  "$exe" --help | escape
  printf '.fi\n'
  for c in $commands; do
    printf '.SH COMMAND %s\n.nf\n' "$(printf '%s' "$c" | tr '[:lower:]' '[:upper:]')"
    "$exe" "$c" --help 2>&1 | escape
    printf '.fi\n'
  done
  printf '.SH FILES\n.TP\n.I <outDir>ML_detect.ps0\nthe result table shared by every process of a run\n'
  printf '.TP\n.I <outDir>Log_FIRST_LAST.txt\nthe log of a run, renamed _OK.txt when it completed\n'
} >"$out.tmp"
mv "$out.tmp" "$out"
