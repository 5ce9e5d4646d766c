#!/usr/bin/env bash
# Sets up, builds and runs every test. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh "$@"
ctest --test-dir "${QAE_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
