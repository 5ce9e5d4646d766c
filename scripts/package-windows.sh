#!/usr/bin/env bash
# Builds the Windows program (cross-compiled, Release, without the tests)
# and packs dist/Quorvex_AE-windows-x86_64.zip: Quorvex_AE.exe, linked
# statically so it needs no DLL beyond Windows' own, and a README.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${QAE_WINDOWS_PACKAGE_DIR:-build-windows-release}"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DQAE_BUILD_TESTS=OFF -DQAE_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target Quorvex_AE

version="$(sed -n 's/^project(Quorvex_AE VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/Quorvex_AE"
x86_64-w64-mingw32-strip -o "$stage/Quorvex_AE/Quorvex_AE.exe" "$build_dir/Quorvex_AE.exe"

# Only system DLLs may be imported: the package holds nothing else.
unexpected="$(x86_64-w64-mingw32-objdump -p "$stage/Quorvex_AE/Quorvex_AE.exe" |
  sed -n 's/^\s*DLL Name: //p' |
  grep -viE '^(kernel32|msvcrt|shell32|wininet|user32|gdi32|comctl32|comdlg32|advapi32)\.dll$' |
  grep -viE '^(ws2_32|ole32|shlwapi|uxtheme|bcrypt)\.dll$' || true)"
if [ -n "$unexpected" ]; then
  echo "package-windows: Quorvex_AE.exe needs DLLs that Windows does not have: $unexpected" >&2
  exit 1
fi

sed "s/@VERSION@/$version/" >"$stage/Quorvex_AE/README.txt" <<'TEXT'
Quorvex_AE @VERSION@ for Windows (64-bit)

Finds acoustic-emission events in SEG-2 waveform recordings by template
matching. Quorvex_AE.exe is a single program: it needs no installation and
no other files; copy it anywhere.

Started without arguments it opens its dialog, where this build has one.
From a command prompt or PowerShell it runs any of its commands, for
example:

  Quorvex_AE.exe --help
  Quorvex_AE.exe demo C:\Temp\qae_demo
  Quorvex_AE.exe params D:\campaign\ML_CC_AE_pars.txt
  Quorvex_AE.exe run D:\campaign\ML_CC_AE_pars.txt 1,1500,+=0

Paths may hold any characters, including letters outside the system's code
page. The result table (ML_detect.ps0), the logs and the other text files
are written with "\n" line ends, the same bytes as the Linux program writes;
files written by older Windows programs with "\r\n" are read as well.

A parameter file may also be given as an http://, https:// or ftp:// URL;
it is fetched with the system's own internet client and proxy settings.
TEXT
# Windows' Notepad before 2018 shows "\n" alone as no line break.
sed -i 's/$/\r/' "$stage/Quorvex_AE/README.txt"

mkdir -p dist
out="$(pwd)/dist/Quorvex_AE-windows-x86_64.zip"
rm -f "$out"
(cd "$stage" && zip -q -r -X "$out" Quorvex_AE)
echo "$out"
