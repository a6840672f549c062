#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's environment; the exit
# status is the program's. Used by ctest as the cross-compiling emulator.
exec "$(dirname "$0")/with-wine-env.sh" wine "$@"
