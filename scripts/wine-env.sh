#!/usr/bin/env bash
# The Windows build's private Wine environment.
#
#   wine-env.sh setup     make the prefix (Windows 10) on first use, start Xvfb when no
#                         display is set, keep a wineserver and its desktop running for
#                         the test run
#   wine-env.sh cleanup   stop that wineserver (and with it the desktop) and Xvfb
#   wine-env.sh run EXE [ARGS...]   set up if needed, then run EXE under Wine
#
# WINEPREFIX names the prefix; QH_WINE_STATE a folder for the display number, PIDs and
# the lock (default: beside the prefix). With QH_NETNS (the tests), all of it runs in that
# network namespace (test-netns.sh), which cleanup removes.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [ -n "${QH_NETNS:-}" ] && [ "${1:-}" != cleanup ]; then
  # Re-run inside it; test-netns.sh runs us directly once we are there.
  [ "${QH_NETNS_ENTERED:-}" = "$QH_NETNS" ] || QH_NETNS_ENTERED="$QH_NETNS" exec "$here/test-netns.sh" "$0" "$@"
fi

: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix of the build}"
export WINEPREFIX
state="${QH_WINE_STATE:-${WINEPREFIX%/}-state}"
mkdir -p "$state"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers during the prefix's first start.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

xvfb_alive() {
  [ -f "$state/xvfb.pid" ] && kill -0 "$(cat "$state/xvfb.pid")" 2>/dev/null
}

start_xvfb() {
  if xvfb_alive && [ -f "$state/display" ]; then
    return
  fi
  rm -f "$state/display" "$state/xvfb.pid"
  exec 5>"$state/display.tmp"
  setsid Xvfb -displayfd 5 -screen 0 1920x1200x24 -nolisten tcp >/dev/null 2>&1 </dev/null 9>&- &
  echo $! >"$state/xvfb.pid"
  exec 5>&-
  for _ in $(seq 1 100); do
    if [ -s "$state/display.tmp" ]; then break; fi
    sleep 0.1
  done
  if [ ! -s "$state/display.tmp" ]; then
    echo "wine-env: Xvfb did not start" >&2
    exit 1
  fi
  echo ":$(head -n 1 "$state/display.tmp" | tr -d '[:space:]')" >"$state/display"
  rm -f "$state/display.tmp"
}

use_display() {
  if xvfb_alive && [ -f "$state/display" ]; then
    DISPLAY="$(cat "$state/display")"
  elif [ -z "${DISPLAY:-}" ]; then
    start_xvfb
    DISPLAY="$(cat "$state/display")"
  fi
  export DISPLAY
}

setup() {
  use_display
  if [ ! -f "$WINEPREFIX/.qh-ready-win10" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 9>&- || true
    # Windows 10 (build 18362): sets the version Wine reports and the build number
    # in the registry alike.
    wine winecfg /v win10 >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
    touch "$WINEPREFIX/.qh-ready-win10"
  fi
}

# One desktop for as long as the wineserver runs. Wine closes the desktop (its explorer
# process) a second after the last program on it ends, and the next program to start then
# waits for a new explorer; a busy machine that takes longer than Wine's ten seconds for it
# leaves that program without a display driver, so that every window it creates fails. A
# program waiting on input that never comes stays on the desktop and keeps it (the
# wineserver's end ends it); the desktop is then made, and waited for, once here.
keeper_alive() {
  [ -f "$state/keeper.pid" ] && kill -0 "$(cat "$state/keeper.pid")" 2>/dev/null
}

# The prefix's desktop processes (explorer /desktop), a line each: the process id and its
# start time (in clock ticks since boot), so that the desktop made at set-up can be told
# from a later one.
desktop_processes() {
  local p
  for p in /proc/[0-9]*; do
    if tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      tr '\0' ' ' 2>/dev/null <"$p/cmdline" | grep -q "explorer.exe /desktop"; then
      echo "${p#/proc/} $(sed 's/.*) //' 2>/dev/null <"$p/stat" | cut -d' ' -f20)"
    fi
  done || true
}

keep_desktop() {
  if ! keeper_alive; then
    rm -f "$state/keeper.fifo"
    mkfifo "$state/keeper.fifo"
    # Read and write: no data ever comes, and no end of it either.
    setsid wine cmd /c pause <>"$state/keeper.fifo" >/dev/null 2>&1 9>&- &
    echo $! >"$state/keeper.pid"
  fi
  # A program with a window, until one gets a display driver. Its output goes to a file:
  # the explorer it starts keeps what it inherits open.
  local out="$state/desktop.out"
  for _ in $(seq 1 10); do
    WINEDEBUG=err+winediag wine rundll32 user32.dll,GetDesktopWindow </dev/null >"$out" 2>&1 9>&- || true
    if ! grep -q "no driver could be loaded" "$out"; then
      rm -f "$out"
      desktop_processes >"$state/desktop.pids"
      return
    fi
  done
  echo "wine-env: the desktop did not start: $(cat "$out")" >&2
}

locked() {
  exec 9>"$state/lock"
  flock 9
  "$@"
  flock -u 9
}

cmd="${1:-}"
shift || true
case "$cmd" in
  setup)
    locked setup
    # A test run's sockets are its wineserver's: one left by an interrupted run may sit in
    # another network, so the run starts its own.
    if [ -n "${QH_NETNS:-}" ]; then
      wineserver -k >/dev/null 2>&1 9>&- || true
      # That only tells the old server to end: it and its programs, the old desktop's keeper
      # among them, go a moment later. Until they are gone the old keeper would pass for
      # alive and no new one be started, and a new server could not take the prefix.
      timeout 60 wineserver -w >/dev/null 2>&1 9>&- || true
      rm -f "$state/keeper.pid"
    fi
    # A persistent wineserver keeps every test's start fast.
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    # Start Wine's services now, with no terminal or pipe to inherit.
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    keep_desktop
    ;;
  cleanup)
    wineserver -k >/dev/null 2>&1 || true
    rm -f "$state/keeper.pid" "$state/keeper.fifo"
    if xvfb_alive; then kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true; fi
    rm -f "$state/display" "$state/xvfb.pid"
    "$here/test-netns.sh" --delete
    ;;
  run)
    locked setup
    exec 9>&-
    # Wine's own background processes (wineserver, services, the desktop window) keep
    # whatever output they inherit open for as long as they live. Give them a file
    # instead of our pipe, so a caller that reads our output sees it end with the
    # program.
    out="$(mktemp "$state/out.XXXXXX")"
    rc=0
    wine "$@" </dev/null >"$out" 2>&1 || rc=$?
    cat "$out"
    rm -f "$out"
    exit "$rc"
    ;;
  *)
    echo "usage: wine-env.sh setup|cleanup|run EXE [ARGS...]" >&2
    exit 2
    ;;
esac
   
