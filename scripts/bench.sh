#!/usr/bin/env bash
# make bench: builds the timing programs (the Windows ones with the windows
# preset, the native comparison without sanitizers), starts a display and one
# wineserver, and runs bench/bench.py, which prints the table and writes
# docs/benchmarks.md. BENCH_RUNS, BENCH_CASES, BENCH_TIMEOUT, BENCH_BUDGET and
# BENCH_CLEAN are described there.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/install-deps.sh

# Builds share the machine with the runs' peers: two jobs at most, at low priority.
jobs="${JOBS:-2}"
cmake --preset windows >/dev/null
nice cmake --build build/windows -j "$jobs" --target manifest_bench download_bench
cmake --preset host -B build/bench-host -DCMAKE_BUILD_TYPE=Release -DUPDATER_SANITIZE=OFF \
      -DBUILD_TESTING=OFF -DUPDATER_BENCH=ON >/dev/null
nice cmake --build build/bench-host -j "$jobs" --target compare_bench

source scripts/wine-env.sh
xvfb_pid=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  fifo="$(mktemp -u)"
  mkfifo "$fifo"
  Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  read -r -t 20 display_number <"$fifo" || { echo "Xvfb did not start" >&2; exit 1; }
  rm -f "$fifo"
  export DISPLAY=":$display_number"
fi

wine_prefix_ready
# One wineserver for the whole run, so no timed run pays for starting one.
wineserver -p 2>/dev/null || true
wine_services_up

python3 bench/bench.py
