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

# Slurm and munge for the tests of cluster runs (a single-node cluster on
# this machine); optional: without them those tests say so and skip.
bash "$(dirname "$0")/slurm/setup_slurm.sh"
