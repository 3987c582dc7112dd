#!/usr/bin/env bash
# Installs what the server needs, builds it and runs it in the foreground (Ctrl-C stops it).
# The program writes server.ini, server.dbs, server.log and bad_names.txt beside itself
# (build/bin/). Only the package installation needs root. Run through sudo, the build and the
# server run as the user who invoked sudo; run from a plain root shell they run as root, with
# a warning that says how to run the server as another user.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
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
    if [ -d "$root/build" ] && [ -n "$(find "$root/build" ! -user "$user" -print -quit)" ]; then
      chown -R "$user:$group" "$root/build"
    fi
  else
    echo "run-server.sh: warning: the server runs as root. To run it as USER instead:" \
      "chown -R USER '$root/build' && runuser -u USER -- '$root/build/bin/voxhollow-server'" \
      "(or run this script as USER through sudo)" >&2
  fi
fi
"${as_user[@]}" bash "$root/scripts/build.sh" "$root/build" \
  -DVH_BUILD_TESTS=OFF -DVH_BUILD_BENCHMARKS=OFF
exec "${as_user[@]}" "$root/build/bin/voxhollow-server" "$@"
