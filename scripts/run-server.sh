#!/usr/bin/env bash
# Installs what the server needs, builds it and runs it in the foreground (Ctrl-C stops it).
# The program writes server.ini, server.dbs, server.log and bad_names.txt beside itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh"
bash "$root/scripts/build.sh" "$root/build" -DVH_BUILD_TESTS=OFF -DVH_BUILD_BENCHMARKS=OFF
exec "$root/build/bin/voxhollow-server" "$@"
