#!/usr/bin/env bash
# A private MariaDB server for the test suite: its own data directory and socket, no network.
#   mariadb-server.sh start DIR [FROM]  start the server of DIR, waiting until it answers; its
#                                 data comes from a pristine copy, DIR/template (made once), or
#                                 FROM/template when given (a second server without a new set-up)
#   mariadb-server.sh stop DIR    shut the server of DIR down and wait for it to exit
#   mariadb-server.sh clean DIR   stop it and remove DIR
# The socket is DIR/mysqld.sock; the account "vh" (password "vh-test-pw") may do anything. When
# mariadbd is not installed, start does nothing and the tests that need it skip.
set -euo pipefail
cmd=${1:?start, stop or clean}
dir=${2:?data directory}
from=${3:-}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
[ -z "$from" ] || from=$(cd "$from" && pwd)
PATH=$PATH:/usr/sbin:/usr/local/sbin
socket=$dir/mysqld.sock

running() { [ -f "$dir/mysqld.pid" ] && kill -0 "$(cat "$dir/mysqld.pid")" 2>/dev/null; }

stop() {
  running || return 0
  local pid
  pid=$(cat "$dir/mysqld.pid")
  kill "$pid"
  while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
}

start() {
  command -v mariadbd >/dev/null || { echo "mariadbd not installed: MariaDB tests skip"; exit 0; }
  running && return 0
  mkdir -p "$dir"
  local user
  user=$(id -un)
  local template=${from:-$dir}/template
  if [ ! -d "$template/mysql" ]; then
    rm -rf "$template"
    mariadb-install-db --no-defaults --datadir="$template" --user="$user" \
      --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
      >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; exit 1; }
  fi
  [ -d "$dir/data/mysql" ] || cp -a "$template" "$dir/data"
  # Durability is traded for speed: the data is thrown away after the run.
  mariadbd --no-defaults --datadir="$dir/data" --socket="$socket" --pid-file="$dir/mysqld.pid" \
    --skip-networking --user="$user" --log-error="$dir/error.log" --skip-name-resolve \
    --innodb-buffer-pool-size=32M --innodb-log-file-size=16M --innodb-flush-log-at-trx-commit=0 \
    --innodb-doublewrite=0 --innodb-fast-shutdown=2 --innodb-flush-method=nosync --skip-log-bin --performance-schema=OFF --max-connections=200 \
    >/dev/null 2>&1 &
  local waited=0
  until mariadb-admin --no-defaults --socket="$socket" -uroot ping >/dev/null 2>&1; do
    sleep 0.05
    waited=$((waited + 1))
    if [ $waited -gt 600 ]; then
      echo "MariaDB did not start:"; tail -20 "$dir/error.log"; exit 1
    fi
  done
  mariadb --no-defaults --socket="$socket" -uroot -e \
    "CREATE USER IF NOT EXISTS 'vh'@'localhost' IDENTIFIED BY 'vh-test-pw';
     GRANT ALL PRIVILEGES ON *.* TO 'vh'@'localhost' WITH GRANT OPTION;"
}

case $cmd in
  start) start ;;
  stop) stop ;;
  clean) stop; rm -rf "$dir" ;;
  *) echo "unknown command $cmd" >&2; exit 2 ;;
esac
