#!/usr/bin/env bash
# Installs what the server needs, builds it and runs it in the foreground (Ctrl-C stops it).
# It builds into build-server/ (tests and benchmarks off), a directory of its own, so that a
# test build in build/ is never reconfigured under it. The program writes server.ini,
# server.dbs, server.log and bad_names.txt beside itself (build-server/bin/). Only the package
# installation needs root. Run through sudo, the build and the
# server run as the user who invoked sudo; run from a plain root shell they run as root, with
# a warning that says how to run the server as another user.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-server
bash "$root/scripts/install-deps.sh"

as_user=()
if [ "$(id -u)" -eq 0 ]; then
  if [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    user=$SUDO_USER
    group=$(id -g "$user")
    home=$(getent passwd "$user" | cut -d: -f6)
    as_user=(setpriv --reuid="$user" --regid="$group" --init-groups --
             env -u XDG_CACHE_HOME -u CCACHE_DIR HOME="$home" USER="$user" LOGNAME="$user")
    if ! "${as_user[@]}" test -w "$root"; then
      echo "run-server.sh: $root is not writable by $user, who would build and run the server." >&2
      echo "  Hand it over (chown -R $user '$root') or run the script from a root shell." >&2
      exit 1
    fi
    # A build directory left behind by an earlier run as root would stop the user's build.
    if [ -d "$build" ] && [ -n "$(find "$build" ! -user "$user" -print -quit)" ]; then
      chown -R "$user:$group" "$build"
    fi
  else
    echo "run-server.sh: warning: the server runs as root. To run it as USER instead:" \
      "chown -R USER '$build' && runuser -u USER -- '$build/bin/voxhollow-server'" \
      "(or run this script as USER through sudo)" >&2
  fi
fi
"${as_user[@]}" bash "$root/scripts/build.sh" "$build" \
  -DVH_BUILD_TESTS=OFF -DVH_BUILD_BENCHMARKS=OFF
exec "${as_user[@]}" "$build/bin/voxhollow-server" "$@"
