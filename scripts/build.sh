#!/usr/bin/env bash
# Configures and builds into a build directory.
#   scripts/build.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
shift || true
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$dir" -G Ninja -DVH_WERROR=ON "${launcher[@]}" "$@" >/dev/null
ninja -C "$dir"
