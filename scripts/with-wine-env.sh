#!/usr/bin/env bash
# Runs a command with the project's Wine environment: the private prefix,
# the zh_CN locale, and a display (a private Xvfb when none is set).
set -u
source "$(dirname "$0")/wine-env.sh"
wine_prefix_ready
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
wine_services_up
exec "$@"
