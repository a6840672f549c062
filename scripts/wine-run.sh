#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's environment; the exit
# status is the program's. Used by ctest as the cross-compiling emulator.
set -u
source "$(dirname "$0")/wine-env.sh"
wine_prefix_ready
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" wine "$@"
fi
exec wine "$@"
