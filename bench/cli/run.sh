#!/usr/bin/env bash
# Throughput of vellora-cli (-j 1, -j 2) beside a djpeg | cjpeg loop, one command:
#
#   bash bench/cli/run.sh                 # corpus photos at half size, 2 copies, best of 3
#   bash bench/cli/run.sh --scale 1/1     # full-size photos
#
# Further options go to cli_bench.py (--copies N, --runs N, --quality Q).
#
#   bash bench/cli/run.sh --modes         # --lossless vs jpegtran, --target-ssim vs a
#                                         # cjpeg quality search (modes_bench.py)
#   bash bench/cli/run.sh --modes --scale 1/1 --runs 2 --targets 0.97,0.985 --per-photo
# BUILD_DIR chooses the build tree (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

modes=0
if [[ "${1:-}" == "--modes" ]]; then
    modes=1
    shift
fi
if ! command -v cjpeg >/dev/null || ! command -v djpeg >/dev/null || ! command -v jpegtran >/dev/null ||
    ! /usr/bin/python3 -c "import numpy, skimage" 2>/dev/null; then
    "$root/scripts/install-deps.sh" --bench
fi
if [[ ! -f "$build/build.ninja" && ! -f "$build/Makefile" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target vellora-cli imgdll -j2 >/dev/null
if [[ $modes -eq 1 ]]; then
    # Debian's python3 (with python3-skimage), whatever python3 comes first on PATH.
    exec /usr/bin/python3 "$root/bench/cli/modes_bench.py" --cli "$build/bin/vellora-cli" "$@"
fi
exec python3 "$root/bench/cli/cli_bench.py" --cli "$build/bin/vellora-cli" "$@"
