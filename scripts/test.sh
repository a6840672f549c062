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
wine_session_up

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
