#!/usr/bin/env bash
# Builds the host for Windows and runs its stand-in build under Wine: the product's program
# with the stand-in window capture, loopback audio and encoder runtimes in place of the
# pieces that Wine lacks. Uses the caller's display, or starts a virtual one (Xvfb), and
# the caller's PulseAudio server, or starts a private one whose null sink plays nowhere; the
# host hears what is played into the server's default sink. While it prepares, it tells
# which step runs and how far the build is; once the host runs, only the host's output
# follows. scripts/open-window.sh opens a window beside the running host.
#
# Ctrl-C, or TERM (kill %1 for a background job, which ignores INT when a script started
# it), asks the host to close, as the close box of its window does, and waits for its
# orderly shutdown (a second Ctrl-C or TERM ends it at once). The script then stops what
# it started and exits with the host's exit code. Wine, the display and the sound server of
# this script live in build/windows/run-host, apart from those of the test runs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/windows"
run="$build/run-host"
standin="$build/standin-host"
wine64=/usr/lib/wine/wine64  # the 64-bit loader itself: no launcher notices
close_grace=20               # seconds the host gets to close before it is ended
mkdir -p "$run"

note() {
  end_status
  echo "run-host: $*" >&2
}

# Progress goes to the terminal as one line that is rewritten; into a file or pipe, as a line
# now and then.
if [ -t 2 ]; then on_terminal=1; else on_terminal=0; fi
columns="$(tput cols 2>/dev/null || echo 80)"
status_open=0

# Shows text as the current state of the step under way.
status() {
  if [ "$on_terminal" = 1 ]; then
    local text="run-host: $*"
    printf '\r\033[K%s' "${text:0:$((columns - 1))}" >&2
    status_open=1
  else
    note "$@"
  fi
}

# Ends the rewritten line, so that what follows starts on a line of its own; with "clear",
# wipes it instead.
end_status() {
  if [ "$status_open" = 1 ]; then
    if [ "${1:-}" = clear ]; then printf '\r\033[K' >&2; else printf '\n' >&2; fi
    status_open=0
  fi
}

# Passes a step's output through to its log and tells how far the step is: the build's
# [n/N] lines as a share of its edges (on a terminal every one, elsewhere every tenth), the
# set-up's own messages, and on a terminal the latest line of anything else.
progress() {
  local label="$1" line percent tenth=-1
  while IFS= read -r line; do
    printf '%s\n' "$line"
    line="${line%$'\r'}"
    if [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] && [ "${BASH_REMATCH[2]}" -gt 0 ]; then
      percent=$((BASH_REMATCH[1] * 100 / BASH_REMATCH[2]))
      if [ "$on_terminal" = 1 ]; then
        status "$label: $percent % (${BASH_REMATCH[1]}/${BASH_REMATCH[2]}) ${line#*] }"
      elif [ $((percent / 10)) -gt "$tenth" ]; then
        tenth=$((percent / 10))
        status "$label: $percent % (${BASH_REMATCH[1]}/${BASH_REMATCH[2]})"
      fi
    elif [[ $line == setup:* ]]; then
      status "$label: ${line#setup: }"
    elif [ "$on_terminal" = 1 ] && [ -n "$line" ]; then
      status "$label: $line"
    fi
  done
}

# Runs one step with its output in a log, showing its progress; on failure, the log's tail.
step() {
  local label="$2" log="$run/$1.log"
  shift 2
  status "$label"
  if ! "$@" 2>&1 | progress "$label" >"$log"; then
    end_status
    tail -n 40 "$log" >&2
    note "failed: $* (whole output in $log)"
    exit 1
  fi
  if [ "$on_terminal" = 1 ]; then status "$label: done"; fi
}

cd "$root"
step setup "checking packages and sources" bash scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/quorvane-host/ccache}" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
step configure "configuring" cmake --preset windows
step build "building" cmake --build --preset windows -j "$(nproc)" --target QuorvaneHostStandin qh_close_window

export WINEPREFIX="$run/wineprefix" QH_WINE_STATE="$run/wine-state"
export WINEDEBUG="${WINEDEBUG:--all}"
pulse_dir=""
host_pid=""

cleanup() {
  set +e
  end_status
  rm -f "$run/run-host.pid" "$run/display"
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then kill -KILL "$host_pid" 2>/dev/null; fi
  if [ -n "$pulse_dir" ]; then "$root/scripts/pulse-env.sh" cleanup "$pulse_dir" >/dev/null 2>&1; fi
  "$root/scripts/wine-env.sh" cleanup >/dev/null 2>&1
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

step wine "preparing Wine (the first run makes its prefix)" scripts/wine-env.sh setup
if [ -f "$QH_WINE_STATE/display" ]; then  # the virtual display that wine-env.sh started
  DISPLAY="$(cat "$QH_WINE_STATE/display")"
  export DISPLAY
  note "no display was set; the host's window is on the virtual display $DISPLAY"
fi

# A sound server of the caller's counts when it answers without being spawned for us.
probe_conf="$run/probe-client.conf"
echo "autospawn = no" >"$probe_conf"
if PULSE_CLIENTCONFIG="${PULSE_CLIENTCONFIG:-$probe_conf}" pactl info >/dev/null 2>&1; then
  step sound "pointing Wine at the sound server" scripts/wine-env.sh run reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f
else
  pulse_dir="$run/pulse"
  step pulse "starting a sound server" scripts/pulse-env.sh server "$pulse_dir"
  export PULSE_SERVER="unix:$pulse_dir/native" PULSE_CLIENTCONFIG="$pulse_dir/client.conf"
  note "no sound server was running; the host hears the null sink of PULSE_SERVER=$PULSE_SERVER"
fi

# The stand-in records Wine's default capture endpoint, which is the client's default source:
# make that the monitor of the server's default sink, so that the host hears what is played
# (wherever the default sink is moved), not the microphone.
export PULSE_SOURCE=@DEFAULT_MONITOR@

end_status clear

# What scripts/open-window.sh needs to open a window beside the host.
echo "$$" >"$run/run-host.pid"
echo "$DISPLAY" >"$run/display"

# The host runs in a session of its own, so that the terminal's Ctrl-C reaches this
# script only, which turns it into a close request.
cd "$standin"
setsid -w "$wine64" QuorvaneHostStandin.exe </dev/null &
host_pid=$!

signalled=0
trap 'signalled=1' INT TERM HUP
rc=0
wait "$host_pid" || rc=$?
if [ "$signalled" = 1 ]; then
  signalled=0
  note "closing the host (Ctrl-C again ends it at once)"
  "$wine64" "$standin/qh_close_window.exe" QuorvaneHostClass 5 </dev/null >/dev/null 2>&1 || true
  deadline=$((SECONDS + close_grace))
  while kill -0 "$host_pid" 2>/dev/null; do
    if [ "$signalled" = 1 ] || [ "$SECONDS" -ge "$deadline" ]; then
      [ "$signalled" = 1 ] || note "the host did not close within $close_grace s; ending it"
      kill -KILL "$host_pid" 2>/dev/null || true
      break
    fi
    sleep 0.1
  done
  rc=0
  wait "$host_pid" || rc=$?
fi
host_pid=""
exit "$rc"
