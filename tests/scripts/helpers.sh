# Shell helpers of the script tests: free ports, waiting for a log line, skipping.
# Sourced; the caller runs under "set -euo pipefail".

# Exit code ctest reads as "skipped" (SKIP_RETURN_CODE 77).
skip() {
  echo "skipped: $*"
  exit 77
}

# A port nothing listens on: free_port tcp|udp. Picked at random above the ephemeral range's
# usual start and checked with ss, so the tests never use the fixed ports.
free_port() {
  local kind=$1 flag=-Hltn port
  [ "$kind" = udp ] && flag=-Hlun
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 30000))
    if [ -z "$(ss $flag "sport = :$port")" ]; then
      echo "$port"
      return 0
    fi
  done
  echo "no free $kind port found" >&2
  return 1
}

# wait_for FILE TEXT [COUNT] [SECONDS]: until FILE holds TEXT at least COUNT times.
wait_for() {
  local file=$1 text=$2 count=${3:-1} seconds=${4:-20}
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -lt "$deadline" ]; do
    if [ -f "$file" ] && [ "$(grep -cF -- "$text" "$file" || true)" -ge "$count" ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "timed out waiting for \"$text\" in $file" >&2
  [ -f "$file" ] && tail -20 "$file" >&2
  return 1
}

# stop_server PID: SIGTERM, then waits until the process is gone.
stop_server() {
  kill -TERM "$1" 2>/dev/null || return 0
  wait "$1" 2>/dev/null || true
}

# query PORT LINES...: one TCP query session through nc, one command per argument; prints the
# answers (without the greeting).
query() {
  local port=$1
  shift
  printf '%s\n' "$@" quit | nc -q 5 127.0.0.1 "$port" | tr -d '\r' | tail -n +2
}
