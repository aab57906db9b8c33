#!/usr/bin/env bash
# Compression pass benchmark: one pass of the desktop program (decode, full-size copy,
# tuned encode, decode for display) on the big photos, beside libjpeg-turbo's own
# `djpeg | cjpeg -optimize -progressive` at the same quality, measured in the same run.
# Target: the pass costs at most 1.5 times the reference.
#
#   bash bench/pass/run.sh [--runs N] [PICTURE...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${VELLORA_BUILD_DIR:-$root/build}
runs=3
if [[ "${1:-}" == "--runs" ]]; then runs=$2; shift 2; fi
pictures=("$@")
if [[ ${#pictures[@]} -eq 0 ]]; then
    pictures=("$root/../shared/testdata/photos/Shell.jpg" "$root/../shared/testdata/photos/Volna.jpg")
fi
"$root/scripts/install-deps.sh"
VELLORA_BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
slider=60
quality=$((101 - slider))
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

reference() {  # best of $runs wall-clock seconds for djpeg | cjpeg
    local picture=$1 best=
    for _ in $(seq "$runs"); do
        local start end t
        start=$(date +%s%N)
        djpeg "$picture" | cjpeg -quality "$quality" -optimize -progressive >"$scratch/ref.jpg"
        end=$(date +%s%N)
        t=$((end - start))
        if [[ -z "$best" ]] || (( t < best )); then best=$t; fi
    done
    awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }'
}

printf '%-14s %7s %10s %10s %12s %12s %7s\n' picture MP "pass s" "ref s" "pass bytes" "ref bytes" ratio
while read -r path megapixels seconds bytes; do
    ref=$(reference "$path")
    refbytes=$(stat -c %s "$scratch/ref.jpg")
    ratio=$(awk -v a="$seconds" -v b="$ref" 'BEGIN { printf "%.3f", a / b }')
    printf '%-14s %7.2f %10.3f %10.3f %12d %12d %7.2f\n' "$(basename "$path")" "$megapixels" \
        "$seconds" "$ref" "$bytes" "$refbytes" "$ratio"
done < <(QT_QPA_PLATFORM=offscreen "$build/bin/vellora-pass-bench" --runs="$runs" --slider=$slider "${pictures[@]}")
echo "quality $quality (slider $slider); times are the best of $runs runs; target ratio <= 1.5"
