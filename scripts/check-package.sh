#!/usr/bin/env bash
# Builds the Debian package the way a release would (install prefix /usr, Debian's
# hardening flags, stripped), unpacks it into a scratch root and checks it as a user's
# system would see it:
#   - the files: version 1.5.0.7, private libraries in /usr/lib/<multiarch>/vellora with
#     no development links, every icon size, compressed manual pages, copyright,
#     changelog, metainfo;
#   - dependencies computed from the binaries, and satisfiable here (apt simulation);
#   - desktop-file-validate, appstreamcli validate --no-net, lintian (no errors);
#   - the unpacked vellora-cli --version and vellora --version, resolving their
#     libraries inside the scratch root only;
#   - a screenshot under a real X server (xvfb-run) of the unpacked program opening a
#     picture given on its command line (scripts/check-screenshot.sh).
# Usage: scripts/check-package.sh   (build in ${VELLORA_PACKAGE_BUILD_DIR:-build-package})
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VELLORA_PACKAGE_BUILD_DIR:-$root/build-package}
jobs=${VELLORA_JOBS:-2}
version=$(sed -n 's/^project(Vellora VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

echo "== building the package ($version, $arch)"
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Debian's hardening flags (all of them, bind-now included), given on this configure's
# command line as a Debian package build does; the project's own flags stay per target.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DVELLORA_BUILD_TESTS=OFF -DVELLORA_BUILD_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" \
    "-DCMAKE_MODULE_LINKER_FLAGS=$ldflags" >/dev/null
cmake --build "$build" -j "$jobs"
rm -f "$build"/vellora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$build/vellora_${version}_${arch}.deb
[[ -f $deb ]] || { echo "no package at $deb" >&2; exit 1; }
pass "built $(basename "$deb")"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')

echo "== control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Version) == "$version" ]] && pass "Version $version" || fail "Version is $(field Version)"
depends=$(field Depends)
for library in libqt6widgets6 libqt6gui6 libqt6core6 libjpeg62-turbo libexif12 libc6; do
    [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done
pass "Depends: $depends"
[[ $(field Recommends) == *xdg-utils* ]] && pass "Recommends xdg-utils (the manual opens through it)" ||
    fail "Recommends lacks xdg-utils: $(field Recommends)"
if apt-get -s -qq -o Debug::NoLocking=1 install "$deb" >/dev/null 2>&1; then
    pass "dependencies satisfiable here"
else
    fail "apt-get cannot satisfy the dependencies: $(apt-get -s -o Debug::NoLocking=1 install "$deb" 2>&1 | tail -3)"
fi

echo "== files"
private=/usr/lib/$multiarch/vellora
expect_file() {
    if [[ -f $scratch/root$1 ]]; then pass "$1"; else fail "missing $1"; fi
}
for file in /usr/bin/vellora /usr/bin/vellora-cli "$private/imgdll.so" \
    "$private/libvellora_platform.so.1" /usr/share/applications/vellora.desktop \
    /usr/share/metainfo/io.github.vellora.Vellora.metainfo.xml \
    /usr/share/icons/hicolor/scalable/apps/vellora.svg /usr/share/man/man1/vellora.1.gz \
    /usr/share/man/man1/vellora-cli.1.gz /usr/share/doc/vellora/copyright \
    /usr/share/doc/vellora/changelog.gz /usr/share/vellora/help/index.html; do
    expect_file "$file"
done
for size in 16 24 32 48 64 128 256; do
    icon=/usr/share/icons/hicolor/${size}x${size}/apps/vellora.png
    expect_file "$icon"
    if [[ -f $scratch/root$icon ]]; then
        # A PNG's width and height are the big-endian words at bytes 16 and 20.
        read -r w h < <(od -An -tu1 -j16 -N8 "$scratch/root$icon" |
            awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
        [[ $w == "$size" && $h == "$size" ]] || fail "$icon is ${w}x${h}"
    fi
done
# A development link is a symbolic link NAME.so to a library (imgdll.so is the module
# itself, loaded by that name).
links=$(find "$scratch/root" -type l -name '*.so' -printf '/%P\n')
[[ -z $links ]] || fail "development links in the package: $links"
public=$(grep -E "^/usr/lib/($multiarch/)?[^/]+\.so" <<<"$listing" || true)
[[ -z $public ]] || fail "libraries in the public library path: $public"
[[ -z $links && -z $public ]] && pass "no library in the public path, no development link"
# Every run path leads to a folder of the package: one that leads nowhere costs the
# loader a search through missing folders at every start.
before=$failures
while read -r elf; do
    runpath=$(readelf -d "$elf" | sed -nE 's/.*\(R(UN)?PATH\).*\[(.*)\]/\2/p' | paste -sd:)
    IFS=: read -ra entries <<<"$runpath"
    for entry in "${entries[@]}"; do
        folder=${entry//\$ORIGIN/$(dirname "$elf")}
        [[ -d $folder && $(realpath "$folder") == "$scratch/root/"* ]] ||
            fail "/${elf#"$scratch/root/"} has the run path $entry, which leads nowhere in the package"
    done
done < <(find "$scratch/root" -type f \( -perm -u+x -o -name '*.so*' \) -exec sh -c \
    'head -c 4 "$1" | grep -q "ELF" && echo "$1"' _ {} \;)
((failures == before)) && pass "every run path leads into the package"
for page in vellora vellora-cli; do
    zcat "$scratch/root/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH" || fail "$page.1.gz is no manual page"
done

echo "== validators"
desktop-file-validate "$scratch/root/usr/share/applications/vellora.desktop" &&
    pass "desktop-file-validate" || fail "desktop-file-validate"
appstreamcli validate --no-net --explain \
    "$scratch/root/usr/share/metainfo/io.github.vellora.Vellora.metainfo.xml" &&
    pass "appstreamcli validate --no-net" || fail "appstreamcli validate --no-net"
# Lintian: no errors; what it still says is printed for the reader (each tag left is
# explained in packaging/README.md). Root is fine for this read-only look.
lintian_log=$scratch/lintian.log
lintian --allow-root --fail-on error --display-info "$deb" >"$lintian_log" 2>&1 && lintian_ok=1 || lintian_ok=0
cat "$lintian_log"
if ((lintian_ok)) && ! grep -q '^E: ' "$lintian_log"; then
    pass "lintian: no errors ($(grep -c '^W: ' "$lintian_log" || true) warnings)"
else
    fail "lintian reports errors"
fi

echo "== the unpacked programs"
bin=$scratch/root/usr/bin
for program in vellora-cli vellora; do
    # Every Vellora library must come from the scratch root, never from a build tree.
    resolved=$(env -u LD_LIBRARY_PATH ldd "$bin/$program" | awk '/vellora|not found/ {print $1, $3}')
    while read -r name path; do
        [[ -n $name ]] || continue
        if [[ $path == /* && $(realpath "$path") == "$scratch/root$private/"* ]]; then
            pass "$program finds $name in $private"
        else
            fail "$program resolves $name to ${path:-nothing}"
        fi
    done <<<"$resolved"
    out=$(env -u LD_LIBRARY_PATH -u DISPLAY -u WAYLAND_DISPLAY "$bin/$program" --version 2>&1) &&
        [[ $out == *"$version"* ]] && pass "$program --version: $out" ||
        fail "$program --version: $out"
done
VELLORA_INSTALLED_ROOT=$scratch/root bash "$root/scripts/check-screenshot.sh" &&
    pass "screenshot check" || fail "screenshot check"

if ((failures > 0)); then
    echo "package check: $failures failure(s)" >&2
    exit 1
fi
echo "package check: all passed ($deb)"
