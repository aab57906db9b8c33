#!/usr/bin/env bash
# Installs what is missing, builds Vellora with its tests and runs every test headless.
# Extra arguments go to the CMake configure step.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELLORA_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
VELLORA_BUILD_DIR=$build "$root/scripts/build.sh" -DVELLORA_BUILD_TESTS=ON "$@"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure --no-tests=error -j "$(nproc)"
