#!/usr/bin/env bash
# Sets up, builds and runs the main job on the bundled demo data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
./build/Quorvex_AE demo
