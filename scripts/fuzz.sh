#!/usr/bin/env bash
# Runs one fuzz target with libFuzzer for a while, on one core, and keeps what it
# finds as regression inputs.
#
#   scripts/fuzz.sh TARGET SECONDS      TARGET: jpeg_read bmp_read round_trip options crop_rules
#                                       display_decode lossless
#
# Builds the target with clang, AddressSanitizer and UndefinedBehaviorSanitizer into
# ${VELLORA_FUZZ_BUILD_DIR:-build-fuzz}. The working corpus stays in that folder
# (corpus/TARGET) between runs, seeded from tests/fuzz-regressions/TARGET and the bad
# pictures in ../shared/testdata. Any crash, leak, timeout or out-of-memory input is
# copied to tests/fuzz-regressions/TARGET/ (the tests replay that folder) and the
# script exits 1. Prints executions per second, coverage and the run's length.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
targets=(jpeg_read bmp_read round_trip options crop_rules display_decode lossless)
if [[ $# -ne 2 || ! " ${targets[*]} " =~ " $1 " || ! $2 =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh TARGET SECONDS   (TARGET: ${targets[*]})" >&2
    exit 2
fi
target=$1
seconds=$2
build=${VELLORA_FUZZ_BUILD_DIR:-$root/build-fuzz}
testdata=$root/../shared/testdata

"$root/scripts/install-deps.sh" --fuzz
if ! command -v clang++ >/dev/null || [[ ! -e $(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a) ]]; then
    echo "fuzz.sh needs clang and its runtime: apt-get install clang libclang-rt-14-dev" >&2
    exit 2
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELLORA_FUZZ=ON -DVELLORA_BUILD_TESTS=OFF -DVELLORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "${VELLORA_JOBS:-2}" --target "fuzz_$target" imgdll

corpus=$build/corpus/$target
findings=$build/findings/$target
regressions=$root/tests/fuzz-regressions/$target
mkdir -p "$corpus" "$findings" "$regressions"

# Seeds: the kept regressions, and for the readers the bad pictures; the round trip
# gets a few small pictures behind a parameter block (whole picture, quality 75).
seed_dirs=("$regressions")
case $target in
    jpeg_read | bmp_read)
        seed_dirs+=("$testdata/bad/jpeg" "$testdata/bad/bmp")
        ;;
    display_decode | lossless)
        seed_dirs+=("$testdata/bad/jpeg")
        ;;
    round_trip)
        seeds=$build/seeds/round_trip
        mkdir -p "$seeds"
        i=0
        while IFS= read -r -d '' file; do
            [[ $(stat -c %s "$file") -le 65536 ]] || continue
            format=0
            [[ $file == *.bmp ]] && format=1
            # format+flags, quality+10, left, top, width, height (int16 LE), whole-picture flag
            printf "\\x$(printf %02x $((format | 2)))\\x55\\x02\\x00\\x03\\x00\\x20\\x00\\x18\\x00\\x$(printf %02x $((i % 2)))" \
                >"$seeds/seed-$i"
            cat "$file" >>"$seeds/seed-$i"
            i=$((i + 1))
            [[ $i -lt 40 ]] || break
        done < <(find "$testdata/bad/jpeg/ljt-testimages" "$testdata/bad/bmp/bmpsuite-g" -type f -print0 | sort -z)
        seed_dirs+=("$seeds")
        ;;
    options)
        seeds=$build/seeds/options
        mkdir -p "$seeds"
        printf -- '-q\00080\000-r\000-d\000out\000in' >"$seeds/a"
        printf -- '--target-size\0001.5M\000--crop\00010,20,300,400\000x.jpg' >"$seeds/b"
        printf -- '--in-place\000-f\000--strip\000--json\000-j\0004\000--suffix\000_s\000a.bmp' >"$seeds/c"
        seed_dirs+=("$seeds")
        ;;
esac
existing=()
for dir in "${seed_dirs[@]}"; do
    [[ -d $dir ]] && existing+=("$dir")
done

log=$build/logs/$target-$(date -u +%Y%m%dT%H%M%SZ).log
mkdir -p "$(dirname "$log")"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan-suppressions.txt}
export QT_QPA_PLATFORM=offscreen
# The sanitizer runtime is a shared library here (the module needs it at link time);
# it must come before libstdc++ so that it, not libstdc++, provides operator new.
runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
# Files the targets write go to a private folder in memory, removed afterwards.
scratch=$(mktemp -d "$( [[ -w /dev/shm ]] && echo /dev/shm || echo /tmp)/vellora-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch
echo "fuzzing $target for $seconds s (log: $log)"
status=0
(cd "$findings" && LD_PRELOAD=$runtime "$build/bin/fuzz_$target" "$corpus" "${existing[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -max_len=262144 \
    -print_final_stats=1 -artifact_prefix="$findings/") >"$log" 2>&1 || status=$?

new=0
for finding in "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* "$findings"/oom-*; do
    [[ -e $finding ]] || continue
    name=$(basename "$finding")
    if [[ ! -e $regressions/$name ]]; then
        cp "$finding" "$regressions/$name"
        new=$((new + 1))
    fi
    rm -f "$finding"
done

# The figures: speed, coverage and the run's length from libFuzzer's own report.
last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
echo "last status: ${last:-none}"
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|slowest_unit_time_sec|peak_rss_mb)' "$log" || true
grep -E 'Done [0-9]+ runs in [0-9]+ second' "$log" || true
echo "corpus: $(find "$corpus" -type f | wc -l) inputs"
if [[ $new -gt 0 || $status -ne 0 ]]; then
    grep -E 'ERROR|runtime error|property broken' "$log" | head -5 >&2 || true
    echo "fuzz.sh: $new new finding(s) kept in tests/fuzz-regressions/$target (libFuzzer exit $status)" >&2
    exit 1
fi
