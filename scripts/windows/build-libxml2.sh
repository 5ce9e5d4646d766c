#!/usr/bin/env bash
# Cross-builds libxml2 for the Windows build into a prefix (default
# /opt/qae-mingw64): a static library from Debian's source package of the
# very version the Linux build links (libxml2-dev), with Debian's patches,
# so the QuakeML both builds write is the same bytes. Debian ships no
# MinGW build of libxml2. Only what the program uses is built: the tree,
# the serializer and the parser; no iconv (UTF-8 needs none), no zlib, lzma,
# HTTP, FTP, Python or programs.
# Idempotent: does nothing when that version is installed there already.
set -euo pipefail

prefix="${1:-/opt/qae-mingw64}"
version="$(dpkg-query -W -f='${Version}' libxml2-dev 2>/dev/null || true)"
if [ -z "$version" ]; then
  echo "build-libxml2: libxml2-dev is not installed (its version is the one built)" >&2
  exit 1
fi
stamp="$prefix/share/qae/libxml2.version"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ] && [ -f "$prefix/lib/libxml2.a" ]; then
  exit 0
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

# Source packages need deb-src entries; add Debian's own archive's when
# missing (the same mirror and suites as the binary packages).
if ! apt-get source --print-uris -qq "libxml2=$version" >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  src_list=/etc/apt/sources.list.d/qae-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee "$src_list" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list 2>/dev/null | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/qae-deb-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
fi
# dpkg-source applies Debian's patches; it is in dpkg-dev.
apt-get source -qq "libxml2=$version" >/dev/null 2>&1 || {
  echo "build-libxml2: apt-get source libxml2=$version failed" >&2
  exit 1
}
src="$(find . -maxdepth 1 -type d -name 'libxml2-*' | head -n 1)"

cmake -S "$src" -B build -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$(dirname "$(readlink -f "$0")")/../../cmake/toolchain-mingw64.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR= \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DBUILD_SHARED_LIBS=OFF \
  -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF \
  -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_PYTHON=OFF -DLIBXML2_WITH_PROGRAMS=OFF \
  -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
  -DLIBXML2_WITH_MODULES=OFF -DLIBXML2_WITH_CATALOG=OFF -DLIBXML2_WITH_DOCB=OFF \
  -DLIBXML2_WITH_LEGACY=OFF -DLIBXML2_WITH_DEBUG=OFF \
  >build.log 2>&1 || { cat build.log >&2; exit 1; }
cmake --build build -j "$(nproc)" >>build.log 2>&1 || { tail -n 40 build.log >&2; exit 1; }
mkdir -p "$prefix" 2>/dev/null || sudo mkdir -p "$prefix"
if [ -w "$prefix" ]; then
  cmake --install build >>build.log 2>&1
else
  sudo cmake --install build >>build.log 2>&1
fi
mkdir -p "$prefix/share/qae" 2>/dev/null || sudo mkdir -p "$prefix/share/qae"
echo "$version" | { [ -w "$prefix/share/qae" ] && cat >"$stamp" || sudo tee "$stamp" >/dev/null; }
echo "build-libxml2: libxml2 $version installed in $prefix" >&2
