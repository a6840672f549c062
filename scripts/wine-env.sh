# Sourced: the environment every Wine process of the build and tests uses.
# A private prefix inside the build tree, never ~/.wine.
_top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${UPDATER_WINEPREFIX:-$_top/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# The users' locale by default; one test runs in a Western one, in a prefix of
# its own (UPDATER_WINEPREFIX), where the OEM code page differs from the ANSI one.
export LANG="${UPDATER_WINE_LANG:-zh_CN.UTF-8}"
unset LC_ALL LC_CTYPE LANGUAGE
# Loopback tests must never go through a proxy.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

# Creates the prefix once (again when the marker's number changes), with the
# font substitution the dialog's "宋体"
# needs to render Chinese text. Safe to call from parallel processes.
wine_prefix_ready() {
  local marker="$WINEPREFIX/.updater-ready-2"
  [ -f "$marker" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$marker" ]; then
      # 9>&-: Wine's background services must not inherit the lock.
      wineboot -i >/dev/null 2>&1 9>&- || true
      local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'
      for name in "宋体" "SimSun" "新宋体" "NSimSun"; do
        wine reg add "$key" /v "$name" /t REG_SZ /d "WenQuanYi Zen Hei" /f >/dev/null 2>&1 9>&-
      done
      # Wine draws the title bars itself, so screenshots show them without a
      # window manager.
      wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1 9>&-
      touch "$marker"
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Starts Wine's background services with no inherited output: started by a
# test's first Wine process they would hold its output pipe open, and ctest
# would wait for them until its time-out.
wine_services_up() {
  wine cmd.exe /c exit </dev/null >/dev/null 2>&1 9>&- || true
}

# For scripts that run many Wine programs: a private Xvfb when no display is
# set, and, when the calling script exits, the wineserver and that Xvfb
# stopped. Call from the script itself, not from a subshell, and before
# wine_prefix_ready, so that a new prefix starts with the display.
wine_session_up() {
  _updater_xvfb_pid=""
  # -k ends the prefix's programs and services; -w waits (bounded) until the
  # server has saved the registry and gone, before the display goes away.
  trap 'wineserver -k >/dev/null 2>&1 || true
        timeout 20 wineserver -w >/dev/null 2>&1 || true
        if [ -n "$_updater_xvfb_pid" ]; then kill "$_updater_xvfb_pid" 2>/dev/null || true; fi' EXIT
  if [ -z "${DISPLAY:-}" ]; then
    local fifo
    fifo="$(mktemp -u)"
    mkfifo "$fifo"
    Xvfb -displayfd 9 -screen 0 1280x1024x24 -nolisten tcp 9>"$fifo" >/dev/null 2>&1 &
    _updater_xvfb_pid=$!
    local display_number
    read -r -t 20 display_number <"$fifo" || { echo "Xvfb did not start" >&2; rm -f "$fifo"; return 1; }
    rm -f "$fifo"
    export DISPLAY=":$display_number"
  fi
}
