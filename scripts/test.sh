#!/usr/bin/env bash
# Sets up, builds and runs every test. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The dialog's and the Python package's tests must run, never silently drop
# out: a missing Qt or pybind11/NumPy fails the configuration.
bash scripts/build.sh -DQAE_REQUIRE_QT=ON -DQAE_REQUIRE_PYTHON=ON "$@"
ctest --test-dir "${QAE_BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
# The Windows build, cross-compiled and tested under Wine; its outputs are
# compared with this Linux build's. QAE_SKIP_WINDOWS=1 leaves it out.
if [ "${QAE_SKIP_WINDOWS:-0}" != 1 ]; then
  bash scripts/windows/test-windows.sh
fi
