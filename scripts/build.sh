#!/usr/bin/env bash
# Configures and builds Vellora into ${VELLORA_BUILD_DIR:-build} (Ninja, RelWithDebInfo).
# Extra arguments go to the CMake configure step, e.g. -DVELLORA_SANITIZE=ON.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELLORA_BUILD_DIR:-$root/build}
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" "$@" >/dev/null
cmake --build "$build"
