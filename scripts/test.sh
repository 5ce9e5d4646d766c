#!/usr/bin/env bash
# Sets up, builds and runs every test. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The dialog's tests must run, never silently drop out: a missing Qt fails
# the configuration.
bash scripts/build.sh -DQAE_REQUIRE_QT=ON "$@"
ctest --test-dir "${QAE_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
