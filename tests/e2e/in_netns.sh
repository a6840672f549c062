#!/usr/bin/env bash
# Runs a command in a private network namespace with a loopback of its own,
# so a server can take the updater's fixed built-in port without meeting
# anything else. Wine creates sockets in its wineserver, so the namespace
# gets its own prefix and server too: a server outside would carry every
# connection out of the namespace.
set -u
top="$(cd "$(dirname "$0")/../.." && pwd)"
if [ "${UPDATER_IN_NETNS:-}" != 1 ]; then
  exec unshare -n env UPDATER_IN_NETNS=1 "$0" "$@"
fi
ip link set lo up
# A suite may take a prefix of its own so two suites never share a wineserver.
export UPDATER_WINEPREFIX="${UPDATER_NETNS_WINEPREFIX:-$top/build/wineprefix-netns}"
source "$top/scripts/wine-env.sh"
wineserver -k >/dev/null 2>&1
wine_prefix_ready
wineserver -p
wine_services_up
"$@"
status=$?
wineserver -k >/dev/null 2>&1
exit "$status"
