#!/usr/bin/env bash
# make demo: builds with the default server address, then runs scripts/demo.py
# on the user's display, or on a private one with the buttons pressed for you.
# SIGNED=1: the release manifest is signed, and the updater is built (in
# build/windows-signed) with the matching public key.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/install-deps.sh
cmake --preset host >/dev/null
cmake --build build/host --target updater-manifest
if [ "${SIGNED:-}" = 1 ]; then
  key=build/demo-key/signing.pem
  mkdir -p build/demo-key
  if [ ! -f "$key" ]; then
    build/host/publisher/updater-manifest keygen "$key" >/dev/null
  fi
  public_key="$(build/host/publisher/updater-manifest pubkey "$key")"
  cmake --preset windows -B build/windows-signed -DUPDATER_PUBLIC_KEY="$public_key" >/dev/null
  cmake --build build/windows-signed --target Updater uidriver client_standin
  export UPDATER_WINDOWS_BUILD="$top/build/windows-signed"
  export UPDATER_DEMO_SIGNING_KEY="$top/$key"
else
  cmake --preset windows >/dev/null
  cmake --build build/windows --target Updater uidriver client_standin
fi
if [ -z "${DISPLAY:-}" ]; then
  export UPDATER_DEMO_AUTO=1
fi
source scripts/wine-env.sh
wine_session_up
wine_prefix_ready
wine_services_up
python3 scripts/demo.py
