#!/usr/bin/env bash
# The README's "Install from source" steps, exactly, with a temporary prefix instead of /usr
# and the build directory inside this build tree (kept between runs, so a rerun only builds
# what changed): the installation must hold what was built and nothing else, and the installed
# program must start from it.
#   install-from-source.sh SOURCE-DIR WORK-DIR
set -euo pipefail
src=$1
workdir=$2
. "$src/tests/scripts/helpers.sh"
mkdir -p "$workdir"
prefix=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || stop_server "$pid"
  rm -rf "$prefix"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The steps as the README writes them, between "### Install from source" and the next blank
# line after the block.
steps=$(sed -n '/^### Install from source/,/^[^ ]/p' "$src/README.md" | sed -n 's/^    //p')
[ "$(echo "$steps" | wc -l)" -eq 4 ] || fail "expected four steps, found: $steps"
cd "$src"
export CCACHE_BASEDIR=$src CCACHE_NOHASHDIR=true
command -v ccache > /dev/null && export CMAKE_CXX_COMPILER_LAUNCHER=ccache
while IFS= read -r step; do
  step=${step//-DCMAKE_INSTALL_PREFIX=\/usr/-DCMAKE_INSTALL_PREFIX=$prefix}
  step=${step//build-install/$workdir/build}
  step=${step#sudo }
  echo "+ $step"
  eval "$step" > "$workdir/step.txt" 2>&1 || fail "$step: $(tail -30 "$workdir/step.txt")"
done <<< "$steps"

# What was built is there; what was not (the tray, the load tool) is not.
for f in bin/voxhollow-server bin/vhclient share/voxhollow/sqlite_sql/read_servers.sql \
  lib/systemd/system/voxhollow-server.service etc/logrotate.d/voxhollow-server \
  share/doc/voxhollow-server/examples/server.ini share/man/man8/voxhollow-server.8.gz; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done
for f in bin/voxhollow-tray bin/voxhollow-load; do
  [ ! -e "$prefix/$f" ] || fail "$f was installed without being built"
done
grep -q "^ExecStart=$prefix/bin/voxhollow-server " "$prefix/lib/systemd/system/voxhollow-server.service" ||
  fail "the unit does not name the installed program"

# The installed program starts with the installed data directories and says where its
# default files are.
state=$(mktemp -d -p "$prefix")
q=$(free_port tcp)
printf '[Main Config]\nBoundToIp1=127.0.0.1\nHTTPServer Enabled=0\nTCPQueryPort=%s\n[WebPost]\nEnabled=0\n' \
  "$q" > "$state/server.ini"
"$prefix/bin/voxhollow-server" -ini="$state/server.ini" -db="$state/server.dbs" \
  -badnames="$state/bad_names.txt" -log="$state/server.log" > "$state/console.txt" 2>&1 &
pid=$!
wait_for "$state/server.log" "Server init finished" || fail "$(cat "$state/console.txt")"
stop_server "$pid"
pid=
"$prefix/bin/voxhollow-server" -ver | grep -q "^Version Voxhollow" || fail "-ver"
echo "install from source: the README's steps installed what was built into $prefix"
