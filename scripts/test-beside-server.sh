#!/usr/bin/env bash
# Runs the tests that start the real program while another server holds the fixed ports
# (UDP 8767, TCP 51234 and 14534): those tests must use ports of their own.
#   scripts/test-beside-server.sh [build dir]     (default build/, built already)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:-$root/build}" && pwd)
state=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" || true; fi
  rm -rf "$state"
}
trap cleanup EXIT
printf '[Main Config]\nExternalIPDectection=0\n[WebPost]\nEnabled=0\n' >"$state/server.ini"
"$dir/bin/voxhollow-server" -ini="$state/server.ini" -db="$state/server.dbs" \
  -log="$state/server.log" -sql="$dir/bin/sqlite_sql/" -httpdocs="$dir/bin/httpdocs" \
  -badnames="$state/bad_names.txt" >"$state/console" 2>&1 &
server_pid=$!
# Ready once both TCP interfaces have said how their start went (listening or not started).
for _ in $(seq 1 200); do
  if grep -q "TCP query" "$state/console" && grep -q "Web interface" "$state/console"; then break; fi
  kill -0 "$server_pid" 2>/dev/null || { cat "$state/console"; exit 1; }
  sleep 0.1
done
cat "$state/console"
# Whoever holds them, the fixed ports must be taken now, or this run proves nothing.
for port in 51234 14534; do
  ss -Hltn "sport = :$port" | grep -q . || { echo "TCP port $port is not held" >&2; exit 1; }
done
ss -Hlun "sport = :8767" | grep -q . || { echo "UDP port 8767 is not held" >&2; exit 1; }
cd "$dir"
ctest --output-on-failure --timeout 300 \
  -R '^(Program|ProgramQuery|ProgramSecurityLog|Installed|Browser|MariaDBProgramTest)\.|^ShellUnderXvfb$'
