#!/usr/bin/env bash
# Builds the image library and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into ${VELLORA_ASAN_BUILD_DIR:-build-asan} and runs them.
# The tests read the whole bad corpus (every file under ../shared/testdata/bad), so
# this is the run that proves hostile pictures neither overflow nor leak. Any
# sanitizer report fails the script.
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
tests=(imaging_imgdll_tests imaging_loader_tests)
cmake --build "$build" -j "$jobs" --target "${tests[@]}" imaging_save_helper imgdll \
    imaging_empty_module

export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:exitcode=23:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=24
export QT_QPA_PLATFORM=offscreen

status=0
for test in "${tests[@]}"; do
    echo "== $test (AddressSanitizer + UndefinedBehaviorSanitizer)"
    log=$(mktemp)
    if ! "$build/bin/$test" --gtest_brief=1 2>&1 | tee "$log"; then
        status=1
    fi
    # A report that did not stop the program (a helper process's, say) still fails.
    if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$log"; then
        echo "sanitizer report in $test" >&2
        status=1
    fi
    rm -f "$log"
done
if [ "$status" -ne 0 ]; then
    echo "sanitizer run FAILED" >&2
fi
exit "$status"
