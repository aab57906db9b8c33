#!/usr/bin/env bash
# Throughput of vellora-cli (-j 1, -j 2) beside a djpeg | cjpeg loop, one command:
#
#   bash bench/cli/run.sh                 # corpus photos at half size, 2 copies, best of 3
#   bash bench/cli/run.sh --scale 1/1     # full-size photos
#
# Further options go to cli_bench.py (--copies N, --runs N, --quality Q).
# BUILD_DIR chooses the build tree (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

if ! command -v cjpeg >/dev/null || ! command -v djpeg >/dev/null; then
    "$root/scripts/install-deps.sh" --bench
fi
if [[ ! -f "$build/build.ninja" && ! -f "$build/Makefile" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target vellora-cli imgdll -j2 >/dev/null
exec python3 "$root/bench/cli/cli_bench.py" --cli "$build/bin/vellora-cli" "$@"
