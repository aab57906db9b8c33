#!/usr/bin/env bash
# Compression pass benchmark: one pass of the desktop program (decode, full-size copy,
# tuned encode, decode for display) on the big photos, beside libjpeg-turbo's own
# `djpeg | cjpeg -optimize -progressive` at the same quality, measured in the same run.
# Then reading alone: the library's JPEG and BMP read entries (whole process) beside
# `djpeg -ppm` decoding the same JPEG and `cjpeg` reading the same pixels from a PPM.
# Targets: the pass at most 1.0 times the reference; a JPEG read at most 1.3 times
# djpeg -ppm; a read of the same picture as a 24-bit BMP no slower than djpeg -ppm.
#
#   bash bench/pass/run.sh [--runs N] [PICTURE.jpg...]
set -euo pipefail
# A command that fails inside $(...) fails the script: no figure is printed for it.
shopt -s inherit_errexit
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${VELLORA_BUILD_DIR:-$root/build}
runs=5
if [[ "${1:-}" == "--runs" ]]; then runs=${2:-}; shift $(($# < 2 ? $# : 2)); fi
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
    echo "bench/pass: --runs takes a whole number of at least 1, not '$runs'" >&2
    echo "usage: bash bench/pass/run.sh [--runs N] [PICTURE.jpg...]" >&2
    exit 2
fi
pictures=("$@")
if [[ ${#pictures[@]} -eq 0 ]]; then
    pictures=("$root/../shared/testdata/photos/Shell.jpg" "$root/../shared/testdata/photos/Volna.jpg")
fi
"$root/scripts/install-deps.sh"
for tool in djpeg cjpeg; do
    command -v "$tool" >/dev/null || { echo "bench/pass: $tool not found (libjpeg-turbo-progs)" >&2; exit 1; }
done
for path in "${pictures[@]}"; do
    [[ -r "$path" ]] || { echo "bench/pass: cannot read $path" >&2; exit 1; }
done
VELLORA_BUILD_DIR=$build "$root/scripts/build.sh" >/dev/null
slider=60
quality=$((101 - slider))
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The pass keeps its working file in a temporary folder of its own, removed as it
# ends; inside ours, a Ctrl-C that ends it first leaves nothing behind either.
export TMPDIR=$scratch

best_of() {  # best of $runs wall-clock seconds of the command
    local best=
    for _ in $(seq "$runs"); do
        local start end t
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        t=$((end - start))
        if [[ -z "$best" ]] || (( t < best )); then best=$t; fi
    done
    awk -v ns="$best" 'BEGIN { printf "%.4f", ns / 1e9 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

reference_pass() {
    djpeg "$1" | cjpeg -quality "$quality" -optimize -progressive >"$scratch/ref.jpg"
}

echo "one compression pass (quality $quality, slider $slider)"
# Ours first, each picture's line "PATH MEGAPIXELS SECONDS BYTES"; a pass that fails
# stops the benchmark with its reason.
if ! QT_QPA_PLATFORM=offscreen "$build/bin/vellora-pass-bench" --runs="$runs" --slider=$slider \
    --stages "${pictures[@]}" >"$scratch/passes.txt" 2>"$scratch/stages.txt"; then
    cat "$scratch/stages.txt" >&2
    echo "bench/pass: the pass failed" >&2
    exit 1
fi
printf '%-14s %7s %10s %10s %12s %12s %7s\n' picture MP "pass s" "ref s" "pass bytes" "ref bytes" ratio
while IFS= read -r line; do
    # From the end: the path may hold spaces.
    bytes=${line##* } && line=${line% *}
    seconds=${line##* } && line=${line% *}
    megapixels=${line##* } && path=${line% *}
    ref=$(best_of reference_pass "$path")
    refbytes=$(stat -c %s "$scratch/ref.jpg")
    printf '%-14s %7.2f %10.3f %10.3f %12d %12d %7.2f\n' "$(basename "$path")" "$megapixels" \
        "$seconds" "$ref" "$bytes" "$refbytes" "$(ratio "$seconds" "$ref")"
done <"$scratch/passes.txt"
echo "target ratio <= 1.0"
echo "steps of our pass, each its best of $runs runs:"
grep ' (best s)$' "$scratch/stages.txt" | sed 's/^/  /' || true

echo
echo "reading, whole process (ours: the library's read entry)"
printf '%-14s %10s %10s %6s %10s %6s %12s\n' picture "JPEG s" "djpeg s" ratio "BMP s" ratio "cjpeg PPM s"
for path in "${pictures[@]}"; do
    name=$(basename "$path" .jpg)
    djpeg -bmp -outfile "$scratch/$name.bmp" "$path"
    djpeg -ppm -outfile "$scratch/$name.ppm" "$path"
    # Interleaved so that every tool sees the same machine.
    ours_jpeg= ours_bmp= djpeg_s= cjpeg_s=
    for _ in 1 2; do
        a=$(best_of "$build/bin/vellora-read-bench" "$path")
        b=$(best_of djpeg -ppm -outfile /dev/null "$path")
        c=$(best_of "$build/bin/vellora-read-bench" "$scratch/$name.bmp")
        d=$(best_of cjpeg -quality "$quality" -outfile /dev/null "$scratch/$name.ppm")
        ours_jpeg=$(awk -v x="$a" -v y="${ours_jpeg:-9e9}" 'BEGIN { print (x < y) ? x : y }')
        djpeg_s=$(awk -v x="$b" -v y="${djpeg_s:-9e9}" 'BEGIN { print (x < y) ? x : y }')
        ours_bmp=$(awk -v x="$c" -v y="${ours_bmp:-9e9}" 'BEGIN { print (x < y) ? x : y }')
        cjpeg_s=$(awk -v x="$d" -v y="${cjpeg_s:-9e9}" 'BEGIN { print (x < y) ? x : y }')
    done
    printf '%-14s %10.3f %10.3f %6.2f %10.3f %6.2f %12.3f\n' "$name" "$ours_jpeg" "$djpeg_s" \
        "$(ratio "$ours_jpeg" "$djpeg_s")" "$ours_bmp" "$(ratio "$ours_bmp" "$djpeg_s")" "$cjpeg_s"
    rm -f "$scratch/$name.bmp" "$scratch/$name.ppm"
done
echo "ratios against djpeg -ppm on the same JPEG; targets: JPEG <= 1.3, BMP <= 1.0;"
echo "cjpeg PPM: cjpeg reading the same pixels as PPM and encoding them (quality $quality)"
echo "times are the best of $runs runs (twice, interleaved); the machine's load: $(cut -d' ' -f1-3 /proc/loadavg)"
