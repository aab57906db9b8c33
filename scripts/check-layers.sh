#!/usr/bin/env bash
# The architecture on one page. Each top-level source folder is one floor; a file may
# include from its own floor and from the floors listed beside it, nothing else.
#
#   app           -> about image_windows passes imaging common platform   (the program)
#   cli           -> passes imaging common platform                       (vellora-cli)
#   about         -> common platform                                      (widgets)
#   image_windows -> common platform                                      (widgets)
#   passes        -> imaging common platform
#   common        -> platform          (shared state, twips, pointer, artwork, addresses)
#   imaging       -> platform          (the image library module, its loader, the encoder)
#   platform      ->                   (operating-system seams, memory blocks, paths)
#
# tests/, bench/ and fuzz/ sit outside the house and may include any floor.
#
# Usage: scripts/check-layers.sh [ROOT]   (default: the repository this script is in)
# Prints every include that breaks the map as FILE:LINE: reason, and exits 1 if any.
set -euo pipefail

declare -A allowed=(
    [app]="about image_windows passes imaging common platform"
    [cli]="passes imaging common platform"
    [about]="common platform"
    [image_windows]="common platform"
    [passes]="imaging common platform"
    [common]="platform"
    [imaging]="platform"
    [platform]=""
)

root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
cd "$root"

violations=0
report() {
    echo "$1:$2: $3" >&2
    violations=$((violations + 1))
}

for floor in "${!allowed[@]}"; do
    [[ -d $floor ]] || continue
    while IFS= read -r -d '' file; do
        dir=$(dirname "$file")
        line_number=0
        while IFS= read -r line; do
            line_number=$((line_number + 1))
            [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
            target=${BASH_REMATCH[1]}
            if [[ $target != */* ]]; then
                # A bare name must be a neighbour in the same folder; anything else
                # would hide which floor it comes from behind an include path.
                [[ -e $dir/$target ]] ||
                    report "$file" "$line_number" "\"$target\" is not in $dir/: name its folder"
                continue
            fi
            to=${target%%/*}
            [[ $to == "$floor" ]] && continue
            if [[ -z ${allowed[$to]+set} ]]; then
                report "$file" "$line_number" "\"$target\" is not in a known floor"
            elif [[ " ${allowed[$floor]} " != *" $to "* ]]; then
                report "$file" "$line_number" \
                    "$floor/ may not include from $to/ (\"$target\"); $floor/ may use: ${allowed[$floor]:-nothing}"
            fi
        done <"$file"
    done < <(find "$floor" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.h.in' \) -print0)
done

if ((violations > 0)); then
    echo "layering: $violations include(s) break the map at the top of scripts/check-layers.sh" >&2
    exit 1
fi
echo "layering: every include points down"
