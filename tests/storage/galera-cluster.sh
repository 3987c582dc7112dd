#!/usr/bin/env bash
# A private three-node MariaDB Galera cluster for the test suite, on 127.0.0.1 only: each node
# has its own data directory, socket, SQL port, replication port, IST port and SST port (free
# ports, chosen at each start).
#   galera-cluster.sh start DIR        make the three nodes from a pristine copy (DIR/template,
#                                      made once): node 1 starts a new cluster, nodes 2 and 3
#                                      join it by state transfer (rsync); waits until all three
#                                      are synced
#   galera-cluster.sh stop DIR         shut every node down and wait for it to exit
#   galera-cluster.sh kill DIR N       SIGKILL node N (a node failing), waiting for it to exit
#   galera-cluster.sh rejoin DIR N     start node N again; it rejoins the cluster by incremental
#                                      or full state transfer; waits until it is synced
#   galera-cluster.sh clean DIR        stop the nodes and remove DIR
# DIR/nodes has one line per node: "N SQL-PORT SOCKET". The account "vh" (password
# "vh-test-pw") may do anything, from 127.0.0.1 and the socket. When Galera cannot run here,
# start writes the reason to DIR/skip-reason, exits 0, and the tests that need it skip.
set -euo pipefail
cmd=${1:?start, stop, kill, rejoin or clean}
dir=${2:?cluster directory}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
PATH=$PATH:/usr/sbin:/usr/local/sbin
nodes=(1 2 3)
provider=""
for p in /usr/lib/galera/libgalera_smm.so /usr/lib/libgalera_smm.so /usr/lib64/galera-4/libgalera_smm.so; do
  if [ -f "$p" ]; then provider=$p; break; fi
done

node_dir() { echo "$dir/node$1"; }
# The process id as launched (mariadbd writes its pid file only once it has started).
pid_of() { cat "$(node_dir "$1")/launched.pid" 2>/dev/null || true; }
# A process that ended but was not reaped yet (a zombie) counts as ended.
alive() { local s; s=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) && [ -n "$s" ] && [ "$s" != Z ]; }
running() { local pid; pid=$(pid_of "$1"); [ -n "$pid" ] && alive "$pid"; }
client() { mariadb --no-defaults --socket="$(node_dir "$1")/mysqld.sock" -uroot "${@:2}"; }
state() { client "$1" -N -B -e "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null | cut -f2; }

skip() {
  echo "$1" >"$dir/skip-reason"
  echo "Galera cluster not started: $1"
  exit 0
}

# A port nobody listens on now, below the kernel's range for outgoing connections, not yet
# given to another node of this cluster.
taken=" "
free_port() {
  local p
  while :; do
    p=$((10000 + RANDOM % 22000))
    case $taken in *" $p "*) continue ;; esac
    if [ -z "$(ss -Htan "( sport = :$p )" 2>/dev/null)" ]; then
      taken="$taken$p "
      echo "$p"
      return
    fi
  done
}

wait_synced() {
  local n=$1 waited=0
  until [ "$(state "$n")" = "Synced" ]; do
    if ! running "$n"; then
      echo "node $n ended before it was synced:"; tail -30 "$(node_dir "$n")/error.log"; return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
    if [ $waited -gt 1200 ]; then
      echo "node $n was not synced in 120 s:"; tail -30 "$(node_dir "$n")/error.log"; return 1
    fi
  done
}

# A state transfer runs an rsync daemon on the joining node, which as root switches to the user
# "nobody", who may not enter the node's data directory. The nodes use the transfer method
# "rsync_root": the rsync transfer with an rsync found first whose daemon, run by root, stays
# root. (mariadbd puts its own directory first in the transfer's PATH, hence the method.)
rsync_as_root() {
  local real sst
  real=$(command -v rsync)
  sst=$(command -v wsrep_sst_rsync) || skip "wsrep_sst_rsync is missing (package mariadb-server)"
  mkdir -p "$dir/bin"
  printf '%s\n' '#!/bin/sh' \
    'case " $* " in' \
    "  *\" --daemon \"*) [ \"\$(id -u)\" = 0 ] && exec $real --dparam=uid=root --dparam=gid=root \"\$@\" ;;" \
    'esac' \
    "exec $real \"\$@\"" >"$dir/bin/rsync"
  printf '%s\n' '#!/bin/sh' "PATH=$dir/bin:\$PATH exec $sst \"\$@\"" >"$dir/bin/wsrep_sst_rsync_root"
  chmod +x "$dir/bin/rsync" "$dir/bin/wsrep_sst_rsync_root"
}

# Starts node N from its configuration; extra arguments go to mariadbd.
launch() {
  local n=$1 d
  d=$(node_dir "$n")
  PATH=$dir/bin:$PATH mariadbd --defaults-file="$d/my.cnf" "${@:2}" >>"$d/stdout.log" 2>&1 &
  echo $! >"$d/launched.pid"
}

stop_node() {
  local n=$1 pid
  running "$n" || return 0
  pid=$(pid_of "$n")
  kill "$pid"
  while alive "$pid"; do sleep 0.05; done
}

configure() {
  local -a sql galera ist sst
  local n cluster=""
  for n in "${nodes[@]}"; do
    sql[n]=$(free_port); galera[n]=$(free_port); ist[n]=$(free_port); sst[n]=$(free_port)
    cluster="$cluster${cluster:+,}127.0.0.1:${galera[n]}"
  done
  : >"$dir/nodes"
  for n in "${nodes[@]}"; do
    local d
    d=$(node_dir "$n")
    mkdir -p "$d"
    echo "$n ${sql[n]} $d/mysqld.sock" >>"$dir/nodes"
    # Durability is traded for speed where a node's own restart does not need it: a commit is
    # written to the operating system (it survives a SIGKILL of the node), not synced to disk.
    # The group timeouts are short so that a killed node leaves the cluster within seconds.
    cat >"$d/my.cnf" <<EOF
[mysqld]
datadir=$d/data
socket=$d/mysqld.sock
pid-file=$d/mysqld.pid
log-error=$d/error.log
port=${sql[n]}
bind-address=127.0.0.1
user=root
skip-name-resolve
performance-schema=OFF
max-connections=200
innodb-buffer-pool-size=32M
innodb-log-file-size=16M
innodb-flush-log-at-trx-commit=2
innodb-flush-method=nosync
innodb-autoinc-lock-mode=2
binlog-format=ROW
default-storage-engine=InnoDB
wsrep-on=ON
wsrep-provider=$provider
wsrep-cluster-name=vh_test_cluster
wsrep-cluster-address=gcomm://$cluster
wsrep-node-name=node$n
wsrep-node-address=127.0.0.1:${galera[n]}
wsrep-node-incoming-address=127.0.0.1:${sql[n]}
wsrep-sst-method=rsync_root
# Reads wait until the node has applied every write the cluster committed before them, so an
# account made through one process logs in at once on another.
wsrep-sync-wait=1
wsrep-sst-receive-address=127.0.0.1:${sst[n]}
wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:${galera[n]};ist.recv_addr=127.0.0.1:${ist[n]};gcache.size=64M;evs.keepalive_period=PT0.5S;evs.inactive_check_period=PT0.5S;evs.suspect_timeout=PT2S;evs.inactive_timeout=PT4S;evs.install_timeout=PT4S;pc.announce_timeout=PT1S"
EOF
  done
}

# The pristine data of a node: a one-node cluster that was started once, given the test
# account and shut down cleanly. Every node starts from a copy, so all three hold the same
# state and join without a state transfer.
make_template() {
  local template=$dir/template user d
  [ -f "$template/grastate.dat" ] && return 0
  rm -rf "$template"
  user=$(id -un)
  mariadb-install-db --no-defaults --datadir="$template" --user="$user" \
    --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
    >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; exit 1; }
  d=$(node_dir 1)
  mv "$template" "$d/data"
  launch 1 --wsrep-new-cluster
  if ! wait_synced 1; then
    # The provider may refuse this machine (no shared memory, a sandbox without sockets): say
    # why and let the tests skip, instead of failing every run here.
    local why
    why=$(grep -m1 -E '\[ERROR\]' "$d/error.log" || true)
    stop_node 1
    rm -rf "$d/data"
    skip "the first Galera node did not start: ${why:-see $d/error.log}"
  fi
  client 1 -e "CREATE USER IF NOT EXISTS 'vh'@'localhost' IDENTIFIED BY 'vh-test-pw';
    GRANT ALL PRIVILEGES ON *.* TO 'vh'@'localhost' WITH GRANT OPTION;
    CREATE USER IF NOT EXISTS 'vh'@'127.0.0.1' IDENTIFIED BY 'vh-test-pw';
    GRANT ALL PRIVILEGES ON *.* TO 'vh'@'127.0.0.1' WITH GRANT OPTION;"
  stop_node 1
  mv "$d/data" "$template"
}

start() {
  rm -f "$dir/skip-reason"
  command -v mariadbd >/dev/null || skip "mariadbd is not installed (package mariadb-server)"
  [ -n "$provider" ] || skip "the Galera library is not installed (package galera-4)"
  command -v rsync >/dev/null || skip "rsync is not installed (package rsync): nodes cannot rejoin"
  command -v ss >/dev/null || skip "ss is not installed (package iproute2): no free ports found"
  local n
  for n in "${nodes[@]}"; do stop_node "$n"; rm -rf "$(node_dir "$n")"; done
  configure
  rsync_as_root
  make_template
  for n in "${nodes[@]}"; do
    cp -a "$dir/template" "$(node_dir "$n")/data"
    # Only the first node may found the cluster; the others join it.
    [ "$n" = 1 ] || sed -i 's/^safe_to_bootstrap:.*/safe_to_bootstrap: 0/' \
      "$(node_dir "$n")/data/grastate.dat"
  done
  launch 1 --wsrep-new-cluster
  wait_synced 1
  for n in 2 3; do launch "$n"; done
  for n in 2 3; do wait_synced "$n"; done
}

case $cmd in
  start) start ;;
  stop) for n in "${nodes[@]}"; do stop_node "$n"; done ;;
  kill)
    n=${3:?node number}
    if running "$n"; then
      pid=$(pid_of "$n")
      kill -KILL "$pid"
      while alive "$pid"; do sleep 0.02; done
    fi
    ;;
  rejoin)
    n=${3:?node number}
    running "$n" || launch "$n"
    wait_synced "$n"
    ;;
  clean)
    for n in "${nodes[@]}"; do stop_node "$n"; done
    rm -rf "$dir"
    ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
