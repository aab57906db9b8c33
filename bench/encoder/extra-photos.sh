#!/usr/bin/env bash
# Puts 15 photos that the shared test sets do not hold into DIR, for checking the encoder
# and its quality calibration on pictures it was not tuned on:
#
#   bash bench/encoder/extra-photos.sh DIR
#   bash bench/encoder/run.sh --pictures DIR --no-guetzli
#
# They come from two Debian packages' wallpapers (downloaded, not installed): the 12
# nature photos of mate-backgrounds and the 3 photos of plasma-workspace-wallpapers
# that the shared photos leave out (its other new wallpapers are renders, not photos).
# Their licences are in each package's copyright file, which is copied beside them.
set -euo pipefail
if [[ $# -ne 1 ]]; then
    echo "usage: bench/encoder/extra-photos.sh DIR" >&2
    exit 2
fi
out=$1
mkdir -p "$out"
scratch=$(mktemp -d)
chmod 755 "$scratch"  # apt fetches as its own user
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && apt-get download mate-backgrounds plasma-workspace-wallpapers >/dev/null)
for deb in "$scratch"/*.deb; do
    dpkg-deb -x "$deb" "$scratch/tree"
done
share=$scratch/tree/usr/share
cp "$share"/backgrounds/mate/nature/*.jpg "$out"/
for name in DarkestHour Grey summer_1am; do
    # The largest of the sizes each wallpaper comes in.
    largest=$(ls -S "$share/wallpapers/$name/contents/images/" | head -n 1)
    cp "$share/wallpapers/$name/contents/images/$largest" "$out/$name.jpg"
done
cp "$share/doc/mate-backgrounds/copyright" "$out/COPYRIGHT.mate-backgrounds"
cp "$share/doc/plasma-workspace-wallpapers/copyright" "$out/COPYRIGHT.plasma-workspace-wallpapers"
echo "$(ls "$out"/*.jpg | wc -l) photos in $out"
