#!/usr/bin/env bash
# The layering check on a small made-up tree: a clean tree passes; an upward include,
# a sideways one and a bare name from another folder each fail, named by file and line.
set -euo pipefail
check=${1:?usage: check_layers_test.sh path/to/check-layers.sh}
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{platform,imaging,common,passes,about,app}
printf '#pragma once\n' >"$tree/platform/platform.h"
printf '#include "platform/platform.h"\n' >"$tree/imaging/reader.cpp"
printf '#include "imaging/reader.h"\n#include "common/twips.h"\n' >"$tree/passes/pass.cpp"
printf '#include "about/frmabout.h"\n#include "passes/pass.h"\n' >"$tree/app/main.cpp"

failures=0
expect() {  # expect STATUS PATTERN: run the check, compare its status and output
    local status=0 output
    output=$(bash "$check" "$tree" 2>&1) || status=$?
    if [[ $status -ne $1 || $output != *"$2"* ]]; then
        echo "FAIL: wanted status $1 and \"$2\"; got $status:"
        echo "$output"
        failures=$((failures + 1))
    fi
}

expect 0 "every include points down"
printf '#include "platform/platform.h"\n#include "app/mdiform1.h"\n' >"$tree/common/twips.cpp"
expect 1 'common/twips.cpp:2: common/ may not include from app/'
printf '#include "platform/platform.h"\n' >"$tree/common/twips.cpp"
printf '#include "image_windows/image_window.h"\n' >"$tree/about/frmabout.cpp"
expect 1 'about/frmabout.cpp:1: about/ may not include from image_windows/'
rm "$tree/about/frmabout.cpp"
printf '#include "platform.h"\n' >"$tree/imaging/loader.cpp"
expect 1 'imaging/loader.cpp:1: "platform.h" is not in imaging/'

[[ $failures -eq 0 ]] || exit 1
echo "the layering check catches every broken arrow it was shown"
