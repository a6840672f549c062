#!/usr/bin/env bash
# make demo: builds with the default server address, then runs scripts/demo.py
# on the user's display, or on a private one with the buttons pressed for you.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build build/host --target updater-manifest
cmake --preset windows >/dev/null
cmake --build build/windows --target Updater uidriver client_standin
if [ -z "${DISPLAY:-}" ]; then
  export UPDATER_DEMO_AUTO=1
fi
exec scripts/with-wine-env.sh python3 scripts/demo.py
