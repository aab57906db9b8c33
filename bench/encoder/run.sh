#!/usr/bin/env bash
# BD-rate benchmark of the tuned JPEG encoder against cjpeg (plain and
# -optimize -progressive) and guetzli. One command:
#
#   bash bench/encoder/run.sh            # full: 24 Kodak + 11 photos, q 30..95 (~20 min on 2 cores)
#   bash bench/encoder/run.sh --quick    # 6 Kodak + 3 photos, guetzli on one (a few minutes)
#
# Further options go to bdrate.py (--jobs N, --variant NAME:k=v,..., --no-guetzli,
# --no-speed, --qualities 30,50,...). BUILD_DIR chooses the build tree (default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$root/build}

if ! command -v butteraugli >/dev/null || ! command -v guetzli >/dev/null ||
   ! command -v cjpeg >/dev/null || ! /usr/bin/python3 -c "import skimage, scipy" 2>/dev/null; then
    "$root/scripts/install-deps.sh" --bench
fi
if [[ ! -f "$build/build.ninja" && ! -f "$build/Makefile" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target vellora-encode-bench -j2 >/dev/null
# Debian's Python has the scientific packages; a python3 earlier on PATH may not.
exec /usr/bin/python3 "$root/bench/encoder/bdrate.py" --driver "$build/bin/vellora-encode-bench" "$@"
