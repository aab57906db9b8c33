#!/usr/bin/env bash
# Installs the Debian 12 packages Vellora needs to build, test and run.
# Idempotent and quiet when everything is already present. Needs root (or sudo)
# only when something is missing.
#
#   scripts/install-deps.sh          build, run and test
#   scripts/install-deps.sh --bench  also the reference tools the benchmarks compare with
#   scripts/install-deps.sh --fuzz   also clang and libFuzzer, for scripts/fuzz.sh
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config ccache
    qt6-base-dev libjpeg62-turbo-dev libexif-dev libgtest-dev
    libjpeg-turbo-progs   # djpeg/cjpeg: tests cross-check our files with the reference decoder
    util-linux            # setpriv: permission tests drop root
    xvfb xauth            # a real X display for screenshots (tests use the offscreen platform)
    librsvg2-bin          # rsvg-convert: the icon sizes drawn from the SVG at build time
    # scripts/check-package.sh: package dependencies, validators, the screenshot check
    dpkg-dev lintian appstream desktop-file-utils x11-utils xdotool
)
if [[ "${1:-}" == "--bench" ]]; then
    packages+=(guetzli butteraugli python3-skimage python3-numpy python3-scipy hyperfine)
fi
if [[ "${1:-}" == "--fuzz" ]]; then
    packages+=(clang libclang-rt-14-dev)  # libFuzzer and the sanitizer runtimes for clang 14
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
