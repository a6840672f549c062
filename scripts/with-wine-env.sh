#!/usr/bin/env bash
# Runs a command with the project's Wine environment: the private prefix,
# the zh_CN locale, and a display (a private Xvfb when none is set).
set -u
source "$(dirname "$0")/wine-env.sh"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
# Only now, with the display known: the prefix's first start also starts the
# session's desktop process, which every Wine program of that session shares.
# Started without a display it shows no window of theirs.
wine_prefix_ready
wine_services_up
exec "$@"
