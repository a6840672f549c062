#!/usr/bin/env bash
# make demo: builds with the default server address, then runs scripts/demo.py
# on the user's display, or on a private one with the buttons pressed for you.
# SIGNED=1: the release manifest is signed, and the updater is built (in
# build/windows-signed) with the matching public key.
# UPDATER_DEMO_DPI=144 (any DPI): the dialog at that display scale, in a Wine
# prefix of its own (build/wineprefix-dpi144) whose LogPixels say so; the
# prefix the tests use stays at 96.
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
dpi="${UPDATER_DEMO_DPI:-}"
if [ -n "$dpi" ]; then
  case "$dpi" in
    *[!0-9]* | 0*) echo "UPDATER_DEMO_DPI must be a DPI such as 144, got '$dpi'" >&2; exit 2 ;;
  esac
  export UPDATER_WINEPREFIX="$top/build/wineprefix-dpi$dpi"
fi
source scripts/wine-env.sh
wine_session_up
wine_prefix_ready
if [ -n "$dpi" ] && [ ! -f "$WINEPREFIX/.updater-dpi-$dpi" ]; then
  # Wine reads the system DPI from the hardware profile, winecfg writes the
  # user's: both, then a new server so that no process keeps the old one.
  wine reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1 || true
  timeout 20 wineserver -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.updater-dpi-$dpi"
fi
wine_services_up
python3 scripts/demo.py
