#!/usr/bin/env bash
# The whole test run: install what is missing, build both presets, start a
# display and one persistent wineserver, run every suite, stop all of it.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

scripts/install-deps.sh

jobs="${JOBS:-$(nproc)}"
cmake --preset host >/dev/null
cmake --build build/host -j "$jobs"
cmake --preset windows >/dev/null
cmake --build build/windows -j "$jobs"

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
# One wineserver for the whole run: each Wine start then costs a fraction of a second.
wineserver -p 2>/dev/null || true  # one may be running already
wine_services_up

status=0
ctest --test-dir build/host --output-on-failure -j "$jobs" || status=1
# libFuzzer targets, each for a bounded time (UPDATER_FUZZ_SECONDS).
{ cmake --preset fuzz >/dev/null && cmake --build build/fuzz -j "$jobs" --target fuzz_all &&
  ctest --test-dir build/fuzz --output-on-failure -j "$jobs"; } || status=1
ctest --test-dir build/windows --output-on-failure || status=1
exit "$status"
