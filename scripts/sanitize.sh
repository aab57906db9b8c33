#!/usr/bin/env bash
# Builds Vellora and every test with AddressSanitizer and UndefinedBehaviorSanitizer
# into ${VELLORA_ASAN_BUILD_DIR:-build-asan} and runs the whole test suite there, leak
# checking on. The suite includes the bad-picture corpus and the replay of every kept
# fuzz finding (tests/fuzz-regressions) through the fuzz targets, so this is the run
# that proves hostile input neither overflows nor leaks, in the program, the
# command-line tool and the image library alike. Any sanitizer report, in a test or in
# a process a test started, fails the script.
#
#   scripts/sanitize.sh [CTEST ARGUMENTS...]     e.g. -R 'FuzzReplay|Bmp'
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELLORA_ASAN_BUILD_DIR:-$root/build-asan}
jobs=${VELLORA_JOBS:-2}

launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# RelWithDebInfo keeps the run fast and the reports readable.
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELLORA_SANITIZE=ON -DVELLORA_BUILD_TESTS=ON -DVELLORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs"

# Every process writes its reports into one folder, so a report from a helper process
# (the program or vellora-cli started by a test, a child running as another user) is
# seen even when that process's exit status is not. The folder is writable by all: some
# tests drop privileges.
logs=$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
chmod 1777 "$logs"
common=halt_on_error=1:log_path=$logs/report
export ASAN_OPTIONS=$common:detect_leaks=1:exitcode=23:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=$common:print_stacktrace=1:exitcode=24
export LSAN_OPTIONS=suppressions=$root/scripts/lsan-suppressions.txt:print_suppressions=0
export QT_QPA_PLATFORM=offscreen

status=0
(cd "$build" && ctest --output-on-failure --no-tests=error -j "$jobs" --timeout 900 "$@") || status=1
# LeakSanitizer's tracer writes "Unable to get registers from thread N." when a thread
# of the process it is stopping exits under it (tests that kill the program mid-run do
# this); the leak check itself goes on and writes any leak after that line. A report
# made of nothing but that notice is not a finding; anything else in it is.
tracer_notice='^(==[0-9]+==)?Unable to get registers from thread [0-9]+\.$'
reports=$(find "$logs" -type f | sort)
findings=()
for report in $reports; do
    if [[ ! -s $report ]] || grep -Evq "$tracer_notice" "$report"; then
        findings+=("$report")
    else
        echo "ignored LeakSanitizer tracer notice: $(head -1 "$report")" >&2
    fi
done
if [[ ${#findings[@]} -gt 0 ]]; then
    echo "sanitizer reports:" >&2
    for report in "${findings[@]}"; do
        echo "== $report" >&2
        head -60 "$report" >&2
    done
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitizer run FAILED" >&2
fi
exit "$status"
