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
nice cmake --build build/windows -j "$jobs" --target manifest_bench floor_bench download_bench \
      wininet_loop_bench md5_bench
cmake --preset host -B build/bench-host -DCMAKE_BUILD_TYPE=Release -DUPDATER_SANITIZE=OFF \
      -DBUILD_TESTING=OFF -DUPDATER_BENCH=ON >/dev/null
nice cmake --build build/bench-host -j "$jobs" --target compare_bench

source scripts/wine-env.sh
wine_session_up

wine_prefix_ready
# One wineserver for the whole run, so no timed run pays for starting one.
wineserver -p 2>/dev/null || true
wine_services_up

python3 bench/bench.py
