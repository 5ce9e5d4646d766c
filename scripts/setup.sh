#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run Quorvex_AE.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libcurl4-openssl-dev
  qt6-base-dev
  python3-dev pybind11-dev python3-numpy python3-matplotlib libxml2-dev libxml2-utils
)
# The Windows build: MinGW-w64 with the POSIX thread model (std::thread),
# GoogleTest's sources to build for it, Wine (and Xvfb for a window under
# it, ImageMagick for its screenshots, Wine's fonts for its frames) to run
# it, dpkg-dev to unpack libxml2's source package. Left out with
# QAE_SKIP_WINDOWS=1.
if [ "${QAE_SKIP_WINDOWS:-0}" != 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64 xvfb dpkg-dev zip
             imagemagick fonts-wine x11-utils)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# libxml2 for the Windows build, from Debian's source package of the version
# the Linux build links (Debian has no MinGW build of it); kept in
# /opt/qae-mingw64 for later runs.
if [ "${QAE_SKIP_WINDOWS:-0}" != 1 ]; then
  bash "$(dirname "$0")/windows/build-libxml2.sh"
fi

# Slurm and munge for the tests of cluster runs (a single-node cluster on
# this machine); optional: without them those tests say so and skip.
bash "$(dirname "$0")/slurm/setup_slurm.sh"
