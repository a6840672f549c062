#!/usr/bin/env bash
# Run a command with fault_server.py serving ROOT_DIR on a free local port.
# Usage: run_with_server.sh ROOT_DIR -- COMMAND [ARGS...]
# Exports UPDATER_TEST_SERVER, UPDATER_TEST_SERVER_ROOT, UPDATER_TEST_SERVER_LOG
# and exits with the command's status; the server is stopped on every path.
set -u

usage() {
  echo "usage: $0 ROOT_DIR -- COMMAND [ARGS...]" >&2
  exit 2
}
[ $# -ge 3 ] && [ "$2" = "--" ] || usage

here=$(cd "$(dirname "$0")" && pwd) || exit 2
mkdir -p "$1" || exit 2
root=$(cd "$1" && pwd) || exit 2
shift 2

work=$(mktemp -d) || exit 2
port_file=$work/port
log=$root/.requests.log
pid=

stop_server() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap stop_server EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The server's stdout only repeats the port; stderr stays visible for debugging.
"${PYTHON:-python3}" "$here/fault_server.py" --root "$root" --port 0 \
  --port-file "$port_file" --log "$log" >/dev/null &
pid=$!

for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$port_file" ]; then
  echo "$0: fault_server.py did not start" >&2
  exit 1
fi

export UPDATER_TEST_SERVER="http://127.0.0.1:$(cat "$port_file")"
export UPDATER_TEST_SERVER_ROOT="$root"
export UPDATER_TEST_SERVER_LOG="$log"

"$@"
status=$?
exit "$status"
