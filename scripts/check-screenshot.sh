#!/usr/bin/env bash
# Starts the installed program with a picture on its command line under a real X server
# (xvfb-run) and checks what the screen shows: a window titled "Vellora", and both
# picture windows showing the whole picture, down to its last column and last row (the
# compressed one is dragged aside with xdotool to show the original under it); then
# again at QT_SCALE_FACTOR=2, where each picture pixel must show as a 2x2 block.
#
#   VELLORA_INSTALLED_ROOT   the root the package was installed or unpacked into
#                            (default /, i.e. the installed package)
#   VELLORA_SCREENSHOT       where to keep the screenshot of both windows side by side
#                            (default build-package/screenshot.png; the one taken as the
#                            program started goes beside it as screenshot-start.png,
#                            one at scale factor 2 as screenshot-scale2.png)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
installed=${VELLORA_INSTALLED_ROOT:-/}
build=${VELLORA_PACKAGE_BUILD_DIR:-$root/build-package}
shot=${VELLORA_SCREENSHOT:-$build/screenshot.png}
program=$installed/usr/bin/vellora
[[ -x $program ]] || { echo "no installed program at $program" >&2; exit 1; }

# The checker: a small Qt program of its own (tests/screenshot).
checker_build=$build/screen-check
launcher=()
if command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root/tests/screenshot" -B "$checker_build" -G Ninja "${launcher[@]}" >/dev/null
cmake --build "$checker_build" >/dev/null
checker=$checker_build/vellora_screen_check

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$shot")"

# Everything below runs on the X server that xvfb-run starts for it.
cat >"$work/on-x.sh" <<'ON_X'
set -euo pipefail
program=$1 checker=$2 work=$3 shot=$4
export QT_QPA_PLATFORM=xcb
# A server that never answers is the machine's trouble, not the program's: say so with
# its own exit status so that the caller starts another server.
for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.2
done
if ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    echo "the X server on $DISPLAY does not answer" >&2
    exit 75
fi
"$checker" picture "$work/photo.jpg" 320 240
"$program" "$work/photo.jpg" >"$work/vellora.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
main=
for _ in $(seq 150); do
    # The main window: the mapped one of that title (Qt also names a 1x1 leader window).
    main=$(xdotool search --onlyvisible --name '^Vellora$' 2>/dev/null | head -1 || true)
    [[ -n $main ]] && break
    sleep 0.2
done
if [[ -z $main ]]; then
    echo "no window titled \"Vellora\" appeared" >&2
    cat "$work/vellora.log" >&2
    # The server went away between the look above and the program's start: the
    # machine's trouble again, for another server.
    if grep -q "could not connect to display" "$work/vellora.log"; then
        exit 75
    fi
    exit 1
fi
echo "window titled \"$(xdotool getwindowname "$main")\": $(xwininfo -id "$main" | sed -n 's/.*-geometry //p')"

find_pictures() {  # COUNT SHOT [SCALE]: wait until the picture shows whole COUNT times
    for _ in $(seq 20); do
        if "$checker" find "$work/photo.jpg" "$2" "$1" "${3:-1}" >"$work/find.log" 2>&1; then
            cat "$work/find.log"
            return 0
        fi
        sleep 0.5
    done
    cat "$work/find.log" >&2
    cat "$work/vellora.log" >&2
    return 1
}
# The picture opens from the event loop once the window shows. Both picture windows
# open at the same place, the compressed one on top: first it alone shows.
find_pictures 1 "${shot%.png}-start.png"
# Then make room and drag the compressed window aside by its title bar (about 30 pixels
# above the picture's top): the original shows beside it, whole as well.
xdotool windowsize "$main" 1100 800
sleep 1
find_pictures 1 "$shot"
read -r left top < <(sed -n 's/^picture at (\([0-9]*\),\([0-9]*\)).*/\1 \2/p' "$work/find.log" | head -1)
grab_x=$((left + 60))
grab_y=$((top - 28))
xdotool mousemove --sync "$grab_x" "$grab_y" mousedown 1 \
    mousemove --sync $((grab_x + 200)) $((grab_y + 10)) \
    mousemove --sync $((grab_x + 400)) $((grab_y + 20)) mouseup 1
sleep 0.5
find_pictures 2 "$shot"

# At twice the scale (QT_SCALE_FACTOR=2) every picture pixel is a 2x2 block on screen,
# and the window still shows the whole picture.
kill "$pid"
wait "$pid" 2>/dev/null || true
QT_SCALE_FACTOR=2 "$program" "$work/photo.jpg" >"$work/vellora.log" 2>&1 &
pid=$!
echo "at scale factor 2:"
find_pictures 1 "${shot%.png}-scale2.png" 2
ON_X
# xvfb-run looks for a free display from :99 up by lock files in /tmp, which machines
# sharing a network namespace do not see of each other; start the search somewhere of
# our own, and start a fresh server if the one we got does not answer.
for attempt in 1 2 3; do
    status=0
    env -u DISPLAY -u WAYLAND_DISPLAY -u LD_LIBRARY_PATH \
        xvfb-run -a -n $((100 + (RANDOM % 800))) -s "-screen 0 1280x1024x24 -nolisten tcp" \
        bash "$work/on-x.sh" "$program" "$checker" "$work" "$shot" || status=$?
    ((status == 75)) || break
    echo "attempt $attempt: no X server answered; starting another" >&2
done
((status == 0)) || exit "$status"
echo "screenshot: $shot"
