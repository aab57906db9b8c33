#!/usr/bin/env bash
# Installs what is missing, builds Vellora and starts it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
exec "${VELLORA_BUILD_DIR:-$root/build}/bin/vellora" "$@"
