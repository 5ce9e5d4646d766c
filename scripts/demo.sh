#!/usr/bin/env bash
# Sets up, builds and runs the main job on the bundled demo data, then
# exports its catalogue and draws its report. The experiment goes to $1, or
# to a new temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
dir="${1:-$(mktemp -d "${TMPDIR:-/tmp}/qae_demo_XXXXXX")}"
./build/Quorvex_AE demo "$dir" --overwrite
./build/Quorvex_AE export "$dir/out" -o "$dir/out/catalogue.csv"
./build/Quorvex_AE export "$dir/out" --format quakeml -o "$dir/out/catalogue.xml"
if [ -d build/python/quorvex_ae ]; then
  PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m quorvex_ae report "$dir/out" \
    --params "$dir/ML_CC_AE_pars.txt"
fi
echo "demo: $dir"
