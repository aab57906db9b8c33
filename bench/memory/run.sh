#!/usr/bin/env bash
# Peak memory of one compression pass on a 100-megapixel photo (11552 x 8672), beside
# libjpeg-turbo's `djpeg | cjpeg -optimize -progressive` at the same quality, measured
# in the same run. Target: the pass peaks within three RGB copies of the picture
# (3 x 3 bytes a pixel) plus a fixed allowance of 128 MiB for the program itself (Qt,
# the libraries, the encoder's tables and row buffers).
#
#   bash bench/memory/run.sh [WIDTH HEIGHT]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${VELLORA_BUILD_DIR:-$root/build}
width=${1:-11552}
height=${2:-8672}
if ! [[ $width =~ ^[1-9][0-9]*$ && $height =~ ^[1-9][0-9]*$ ]]; then
    echo "bench/memory: WIDTH and HEIGHT are whole numbers of pixels, not '$width' '$height'" >&2
    echo "usage: bash bench/memory/run.sh [WIDTH HEIGHT]" >&2
    exit 2
fi
"$root/scripts/install-deps.sh"
VELLORA_BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
bench=$build/bin/vellora-pass-memory-bench
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch  # the pass's own temporary folder goes with ours (see bench/pass)
picture=$scratch/big.jpg

"$bench" --make "$picture" "$width" "$height"
read -r w h startKb peakKb < <(QT_QPA_PLATFORM=offscreen "$bench" --pass "$picture")
refKb=$("$bench" --reference "$picture" 41)

awk -v w="$w" -v h="$h" -v start="$startKb" -v peak="$peakKb" -v ref="$refKb" \
    -v file="$(stat -c %s "$picture")" 'BEGIN {
    mib = 1024 * 1024
    copy = w * h * 3
    allowance = 128 * mib
    limit = 3 * copy + allowance
    printf "picture              %d x %d (%.1f MP), %.1f MiB JPEG\n", w, h, w * h / 1e6, file / mib
    printf "one RGB copy         %8.1f MiB\n", copy / mib
    printf "pass peak (ours)     %8.1f MiB  (%.2f RGB copies; %.1f MiB before the pass)\n",
        peak * 1024 / mib, peak * 1024 / copy, start * 1024 / mib
    printf "djpeg|cjpeg peak     %8.1f MiB  (largest process of the pipeline)\n", ref * 1024 / mib
    printf "target               %8.1f MiB  (3 RGB copies + 128 MiB)  %s\n", limit / mib,
        (peak * 1024 <= limit ? "met" : "NOT MET")
    exit (peak * 1024 <= limit ? 0 : 1)
}'
