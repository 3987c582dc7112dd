#!/usr/bin/env bash
# The Debian packages: built by CPack from this build tree, checked by lintian (no errors),
# the server package installed with dpkg, the installed server run as the user "voxhollow"
# against a temporary state directory, a player logged in, and the package purged again.
# Needs root and dpkg; skips (exit 77) otherwise, and when a voxhollow package is installed on
# this machine already (it is never touched).
#   debian-package.sh SOURCE-DIR BUILD-DIR
set -euo pipefail
src=$1
build=$2
. "$src/tests/scripts/helpers.sh"
[ "$(id -u)" -eq 0 ] || skip "not root: installing a package needs root"
for tool in dpkg cpack dpkg-shlibdeps; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
for p in voxhollow-server voxhollow-tray; do
  if dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q installed; then
    skip "$p is installed on this machine already; the test leaves it alone"
  fi
done
work=$(mktemp -d)
chmod 0755 "$work"
pid=
installed=0
had_user=0
getent passwd voxhollow > /dev/null && had_user=1
cleanup() {
  [ -z "$pid" ] || stop_server "$pid"
  if [ "$installed" = 1 ]; then
    dpkg -P voxhollow-server > "$work/purge.txt" 2>&1 || cat "$work/purge.txt" >&2
  fi
  # A purge keeps the system user (as Debian does); the one this test made goes again.
  if [ "$had_user" = 0 ] && getent passwd voxhollow > /dev/null; then
    userdel voxhollow 2> /dev/null || true
    getent group voxhollow > /dev/null && groupdel voxhollow 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$work/packages") > "$work/cpack.txt" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.txt")"
server_deb=$(ls "$work"/packages/voxhollow-server_*.deb)
tray_debs=$(ls "$work"/packages/voxhollow-tray_*.deb 2> /dev/null || true)
# A headless server pulls no Qt: the server package holds no tray and depends on no Qt.
dpkg-deb -c "$server_deb" > "$work/contents.txt"
grep -q 'usr/bin/voxhollow-tray' "$work/contents.txt" && fail "voxhollow-tray in the server package"
dpkg-deb -f "$server_deb" Depends | grep -qi qt && fail "the server package depends on Qt"
for f in ./usr/bin/voxhollow-server ./usr/bin/vhclient ./usr/lib/systemd/system/voxhollow-server.service \
  ./usr/lib/sysusers.d/voxhollow.conf ./usr/lib/tmpfiles.d/voxhollow.conf \
  ./etc/logrotate.d/voxhollow-server ./usr/share/doc/voxhollow-server/examples/server.ini \
  ./usr/share/man/man8/voxhollow-server.8.gz ./usr/share/voxhollow/sqlite_sql/read_servers.sql; do
  grep -q " $f\$" "$work/contents.txt" || fail "$f missing from the server package"
done
if command -v lintian > /dev/null; then
  # Errors fail the test; warnings are printed.
  lintian --fail-on error --suppress-tags no-manual-page $server_deb $tray_debs > "$work/lintian.txt" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.txt")"
  cat "$work/lintian.txt"
else
  echo "lintian is not installed: the packages were not checked"
fi

dpkg -i "$server_deb" > "$work/install.txt" 2>&1 || fail "dpkg -i: $(cat "$work/install.txt")"
installed=1
getent passwd voxhollow > /dev/null || fail "no user voxhollow after the installation"

# The installed server as its user, on free ports, its files in a temporary state directory.
state=$work/state
install -d -o voxhollow -g voxhollow -m 0750 "$state"
q=$(free_port tcp)
cat > "$state/server.ini" << EOF
[Main Config]
BoundToIp1=127.0.0.1
HTTPServer Enabled=0
TCPQueryPort=$q
ExternalIPDectection=0
[WebPost]
Enabled=0
EOF
chown voxhollow:voxhollow "$state/server.ini"
args=(-ini="$state/server.ini" -db="$state/server.dbs" -log="$state/server.log"
  -badnames="$state/bad_names.txt")
runuser -u voxhollow -- /usr/bin/voxhollow-server "${args[@]}" > "$work/console.txt" 2>&1 &
pid=$!
wait_for "$state/server.log" "Server init finished" || fail "first start: $(cat "$work/console.txt")"
stop_server "$pid"
pid=
u=$(free_port udp)
runuser -u voxhollow -- sqlite3 "$state/server.dbs" \
  "UPDATE vh2_servers SET i_server_udpport = $u WHERE i_server_id = 1;"
runuser -u voxhollow -- /usr/bin/voxhollow-server "${args[@]}" >> "$work/console.txt" 2>&1 &
pid=$!
wait_for "$state/server.log" "Server init finished" 2 || fail "second start"
grep -q "Virtual server 1 started on UDP port $u" "$work/console.txt" || fail "$(cat "$work/console.txt")"
/usr/bin/vhclient --port "$u" --nick packaged --seconds 0 > "$work/login.txt" 2>&1 ||
  fail "login: $(cat "$work/login.txt")"
grep -q "login result 1" "$work/login.txt" || fail "login: $(cat "$work/login.txt")"
stop_server "$pid"
pid=
[ "$(stat -c %U "$state/server.dbs")" = voxhollow ] || fail "the database does not belong to voxhollow"

dpkg -P voxhollow-server > "$work/purge.txt" 2>&1 || fail "dpkg -P: $(cat "$work/purge.txt")"
installed=0
[ ! -e /usr/bin/voxhollow-server ] || fail "/usr/bin/voxhollow-server left after the purge"
[ ! -e /etc/logrotate.d/voxhollow-server ] || fail "logrotate snippet left after the purge"
echo "Debian packages: built, checked, installed, served a login, purged"
