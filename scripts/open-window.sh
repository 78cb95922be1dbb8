#!/usr/bin/env bash
# Opens a window for a client to stream, on the display and in the Wine prefix of a running
# scripts/run-host.sh, and returns once the window is shown. The program runs on until its
# window is closed or run-host.sh ends.
#
#   open-window.sh [notepad]                   Wine's Notepad, titled "Untitled - Notepad"
#   open-window.sh testwindow [TITLE [W H]]    the test window: four coloured quadrants with
#                                              corner markers, a client area of W x H (640 x
#                                              480), titled TITLE ("Quorvane Test Window");
#                                              the input it receives goes to
#                                              build/windows/run-host/test-window.log
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/windows"
run="$build/run-host"
wine64=/usr/lib/wine/wine64
usage="usage: open-window.sh [notepad | testwindow [TITLE [WIDTH HEIGHT]]]"

cd "$root"

fail() {
  echo "open-window: $*" >&2
  exit 1
}

if ! { [ -f "$run/run-host.pid" ] && kill -0 "$(cat "$run/run-host.pid")" 2>/dev/null; }; then
  fail "scripts/run-host.sh is not running; start it first (it may run in the background)"
fi
[ -s "$run/display" ] || fail "scripts/run-host.sh has not started the host yet"
DISPLAY="$(cat "$run/display")"
export DISPLAY WINEPREFIX="$run/wineprefix" WINEDEBUG="${WINEDEBUG:--all}"

# Starts a Windows program apart from this script: in a session of its own, so that it
# outlives the script and the terminal's Ctrl-C, with nothing of ours to hold open.
start() {
  setsid "$wine64" "$@" </dev/null >/dev/null 2>&1 &
}

what="${1:-notepad}"
case "$what" in
  notepad)
    [ $# -le 1 ] || fail "$usage"
    start notepad.exe
    # Waits for a window of Notepad's class, and shows it (it is shown already).
    "$wine64" "$build/standin-host/qh_close_window.exe" Notepad 30 restore </dev/null >/dev/null 2>&1 ||
      fail "Notepad's window did not appear"
    echo "open-window: Notepad is open (\"Untitled - Notepad\")"
    ;;
  testwindow)
    [ $# -le 2 ] || [ $# -eq 4 ] || fail "$usage"
    title="${2:-Quorvane Test Window}"
    size=()
    [ $# -lt 4 ] || size=("$3" "$4")
    if ! cmake --build --preset windows --target qh_test_window >"$run/test-window-build.log" 2>&1; then
      tail -n 40 "$run/test-window-build.log" >&2
      fail "building the test window failed (whole output in $run/test-window-build.log)"
    fi
    log="$run/test-window.log"
    rm -f "$log"
    start "$build/host/tests/e2e/qh_test_window.exe" "Z:${log//\//\\}" "$title" "${size[@]}"
    for _ in $(seq 1 300); do
      grep -q '^ready' "$log" 2>/dev/null && break
      sleep 0.1
    done
    grep -q '^ready' "$log" 2>/dev/null || fail "the test window did not appear"
    echo "open-window: the test window \"$title\" is open"
    ;;
  *)
    fail "$usage"
    ;;
esac
