#!/usr/bin/env bash
# The README's operator examples, taken from the README itself and run against the built
# program on free ports: the sqlite3 lines of "Logging in as admin" and "Virtual servers", the
# vhclient login, the TCP query session through nc, serveradd/serverstop/serverstart, and
# voxhollow-load after raising the player limit (for 2 seconds instead of 10).
#   readme-examples.sh SOURCE-DIR BIN-DIR
set -euo pipefail
src=$1
bin=$2
. "$src/tests/scripts/helpers.sh"
command -v nc > /dev/null || skip "nc is not installed (Debian netcat-openbsd)"
command -v sqlite3 > /dev/null || skip "sqlite3 is not installed"
readme=$src/README.md
work=$(mktemp -d)
pid=
cleanup() {
  [ -z "$pid" ] || stop_server "$pid"
  rm -rf "$work"
}
trap cleanup EXIT

# The README's indented example lines that start with `prefix`, joined where they continue
# with a backslash.
examples() {
  awk -v prefix="    $1" '
    more { rest = $0; sub(/^ +/, " ", rest); line = line rest }
    !more && index($0, prefix) == 1 { line = substr($0, 5) }
    line != "" {
      more = sub(/\\$/, "", line)
      if (!more) { print line; line = "" }
    }' "$readme"
}
fail() {
  echo "FAILED: $*" >&2
  [ -f "$work/console.txt" ] && tail -20 "$work/console.txt" >&2
  exit 1
}

q=$(free_port tcp)
cat > "$work/server.ini" << EOF
[Main Config]
BoundToIp1=127.0.0.1
HTTPServer Enabled=0
TCPQueryPort=$q
ExternalIPDectection=0
[WebPost]
Enabled=0
EOF
db=$work/server.dbs
args=(-ini="$work/server.ini" -db="$db" -log="$work/server.log" -badnames="$work/bad_names.txt")
starts=0
start() {
  "$bin/voxhollow-server" "${args[@]}" >> "$work/console.txt" 2>&1 &
  pid=$!
  starts=$((starts + 1))
  wait_for "$work/server.log" "Server init finished" "$starts"
}
stop() {
  stop_server "$pid"
  pid=
}

start  # the first start: virtual server 1 (on 8767 when it is free) and the two accounts
superpw=$(sed -n 's/.*superadmin account info: username: superadmin password: \([A-Za-z0-9]*\)$/\1/p' \
  "$work/server.log")
[ -n "$superpw" ] || fail "no superadmin password in the log"
stop

# Every sqlite3 line of the README on this database, the ports 9000 and 8768 replaced by
# free ones.
u1=$(free_port udp)
u2=$(free_port udp)
n=0
while IFS= read -r line; do
  line=${line//build-server\/bin\/server.dbs/$db}
  line=${line//9000/$u1}
  line=${line//8768/$u2}
  eval "$line" || fail "$line"
  n=$((n + 1))
done < <(examples 'sqlite3 build-server/bin/server.dbs')
[ "$n" -ge 4 ] || fail "only $n sqlite3 examples found in the README"

start
grep -q "Virtual server 1 started on UDP port $u1" "$work/console.txt" || fail "server 1 on $u1"
grep -q "Virtual server 2 started on UDP port $u2" "$work/console.txt" || fail "server 2 on $u2"

# The admin login of the README (on virtual server 2, whose admin the README made), and the
# admin of virtual server 1 with the password the README set.
login=$(grep -o '`build-server/bin/vhclient --port 8767[^`]*`' "$readme" | head -1 | tr -d '`')
[ -n "$login" ] || fail "no vhclient example in the README"
login=${login//build-server\/bin/$bin}
eval "${login//8767/$u2} --seconds 0" > "$work/vhclient.txt" || fail "$login"
grep -q "login result 1" "$work/vhclient.txt" || fail "admin of server 2 not logged in"
eval "${login//8767/$u1} --seconds 0" > /dev/null 2>&1 && fail "PASSWORD logged in on server 1"
"$bin/vhclient" --port "$u1" --nick boss --login admin --password NEW --seconds 0 > /dev/null ||
  fail "admin of server 1 with the password NEW"

# The README's query session, a player online to be listed and kicked.
"$bin/vhclient" --port "$u1" --nick alice --seconds 20 > "$work/alice.txt" 2>&1 &
alice=$!
wait_for "$work/alice.txt" "players:"
alice_id=$(sed -n 's/^login result 1, .* player \([0-9]*\),.*/\1/p' "$work/alice.txt")
session=()
while IFS= read -r line; do
  line=${line#> }
  line=${line//k3x9qa/$superpw}
  line=${line/#kick 1 /kick $alice_id }
  [ "$line" = quit ] || session+=("${line//8767/$u1}")
done < <(grep '^    > ' "$readme" | sed -e 's/^    //')
[ ${#session[@]} -ge 6 ] || fail "only ${#session[@]} query commands found in the README"
query "$q" "${session[@]}" > "$work/session.txt"
kill "$alice" 2> /dev/null || true
wait "$alice" 2> /dev/null || true
oks=$(grep -c '^OK$' "$work/session.txt" || true)
grep -q ERROR "$work/session.txt" && fail "query session: $(cat "$work/session.txt")"
[ "$oks" -ge ${#session[@]} ] || fail "query session: $oks OK for ${#session[@]} commands"
grep -q '"alice"' "$work/session.txt" || fail "pl did not list alice"

# Adding, stopping and starting a virtual server as the README says.
u3=$(free_port udp)
out=$(query "$q" "slogin superadmin $superpw" "serveradd $u3" "serverstop $u3" "dbserverlist" \
  "serverstart 3" "sl")
echo "$out" | grep -q ERROR && fail "serveradd/serverstop/serverstart: $out"
running3() { query "$q" "slogin superadmin $superpw" dbserverlist | grep -qP "^3\t$u3\t.*\t1\t?\$"; }
deadline=$((SECONDS + 10))
until running3; do
  [ "$SECONDS" -lt "$deadline" ] || fail "server 3 not running again: $out"
  sleep 0.2
done

# voxhollow-load after raising the limit, as the README says; 2 seconds of voice instead of 10.
query "$q" "slogin superadmin $superpw" "sel $u1" "serverset server_maxusers 250" |
  grep -q ERROR && fail "serverset server_maxusers 250"
load=$(examples 'build-server/bin/voxhollow-load')
[ -n "$load" ] || fail "no voxhollow-load example in the README"
load=${load//build-server\/bin/$bin}
load=${load//--port 8767/--port $u1}
eval "${load//--seconds 10/--seconds 2}" > "$work/load.txt" || fail "voxhollow-load: $(cat "$work/load.txt")"
grep -q "logged_in=200 login_failures=0" "$work/load.txt" || fail "load: $(cat "$work/load.txt")"
echo "README examples: $n sqlite3 lines, the logins, ${#session[@]} query commands, the load run"
