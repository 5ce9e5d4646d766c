#!/usr/bin/env bash
# Configures and builds into ./build (or $QAE_BUILD_DIR). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${QAE_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${QAE_BUILD_TYPE:-Release}" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"

# Makes the built Python package importable without PYTHONPATH: a
# quorvex_ae.pth naming <build>/python in the site-packages of Debian's
# python3 and of the python3 on PATH. Skipped quietly where that folder is
# not writable; never fails the build.
register_python_package() {
  local package_dir interpreters=() py site
  package_dir="$(cd "$build_dir" && pwd)/python"
  [ -d "$package_dir/quorvex_ae" ] || return 0
  [ -x /usr/bin/python3 ] && interpreters+=(/usr/bin/python3)
  py="$(command -v python3 || true)"
  if [ -n "$py" ] && [ "$(readlink -f "$py")" != "$(readlink -f /usr/bin/python3 2>/dev/null)" ]; then
    # A pyenv shim resolves to the interpreter it runs.
    interpreters+=("$("$py" -c 'import sys; print(sys.executable)' 2>/dev/null || echo "$py")")
  fi
  for py in "${interpreters[@]}"; do
    site="$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])' 2>/dev/null)" || continue
    mkdir -p "$site" 2>/dev/null && [ -w "$site" ] || continue
    printf '%s\n' "$package_dir" >"$site/quorvex_ae.pth" 2>/dev/null || true
  done
}
register_python_package || true
