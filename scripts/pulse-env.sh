#!/usr/bin/env bash
# A private PulseAudio server for the tests and for run-host.sh, for root and without a
# user session.
#
#   pulse-env.sh setup DIR     start the server with its socket at DIR/native: a null sink
#                              as the default sink with a 1 kHz tone playing into it in a
#                              loop (a player that plays it again into whatever sink is the
#                              default), and a microphone that hears a 440 Hz tone as the
#                              default source; point the Wine prefix (WINEPREFIX) at the
#                              PulseAudio driver
#   pulse-env.sh server DIR    a silent null sink as the default sink, its monitor as the
#                              default source, no tone and no microphone
#   pulse-env.sh cleanup DIR   stop the tone and the server
#
# Clients reach the server with PULSE_SERVER=unix:DIR/native and
# PULSE_CLIENTCONFIG=DIR/client.conf (no autospawn). That configuration makes a client's
# default source the monitor of the default sink (the server's "@DEFAULT_MONITOR@"): Wine's
# default capture endpoint then hears what is played, as loopback capture does, and not the
# microphone. The server ends the streams of a sink or source that goes away instead of
# moving them to the default one ("rescue-streams = no"): a recording of the monitor of a
# sink that is removed then fails, as loopback capture of an output device that goes away
# does, and is never carried over to the microphone.
set -euo pipefail

usage="usage: pulse-env.sh setup|server|cleanup DIR"
cmd="${1:?$usage}"
dir="${2:?$usage}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
socket="$dir/native"

export HOME="$dir/home" PULSE_RUNTIME_PATH="$dir/run" PULSE_STATE_PATH="$dir/state"
export PULSE_SERVER="unix:$socket" PULSE_CLIENTCONFIG="$dir/client.conf"
unset DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR

alive() {
  [ -f "$dir/$1.pid" ] && kill -0 "$(cat "$dir/$1.pid")" 2>/dev/null
}

stop() {
  # The player runs in its own process group: its loop and the current paplay.
  if alive player; then kill -- "-$(cat "$dir/player.pid")" 2>/dev/null || true; fi
  if alive server; then
    kill "$(cat "$dir/server.pid")" 2>/dev/null || true
    for _ in $(seq 1 50); do alive server || break; sleep 0.1; done
    if alive server; then kill -9 "$(cat "$dir/server.pid")" 2>/dev/null || true; fi
  fi
  rm -f "$dir/player.pid" "$dir/server.pid" "$socket"
}

setup() {
  local tone="$1"
  stop
  if [ ${#socket} -gt 100 ]; then
    echo "pulse-env: socket path $socket is too long for a unix socket" >&2
    exit 1
  fi
  mkdir -p "$HOME" "$PULSE_RUNTIME_PATH" "$PULSE_STATE_PATH"
  printf 'autospawn = no\ncookie-file = %s/cookie\ndefault-source = @DEFAULT_MONITOR@\n' "$dir" \
    >"$PULSE_CLIENTCONFIG"
  printf 'rescue-streams = no\n' >"$dir/daemon.conf"

  # -n: no default script, so nothing but these modules is loaded (no hardware, no
  # D-Bus, no session). Anonymous access: the socket lives in the build tree.
  PULSE_CONFIG="$dir/daemon.conf" setsid pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disallow-exit=yes \
    --log-target=file:"$dir/server.log" \
    -L "module-native-protocol-unix socket=$socket auth-anonymous=1" \
    -L "module-null-sink sink_name=qh_null rate=48000 channels=2 sink_properties=device.description=QuorvaneNull" \
    </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/server.pid"
  for _ in $(seq 1 100); do
    if pactl info >/dev/null 2>&1; then break; fi
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "pulse-env: the server did not start; see $dir/server.log" >&2
    stop
    exit 1
  fi
  pactl set-default-sink qh_null
  pactl set-default-source qh_null.monitor

  if [ "$tone" = tone ]; then
    # The microphone: a source that hears a 440 Hz sine. It is no sink, so that it never
    # becomes the default sink when the null sink goes away.
    pactl load-module module-sine-source source_name=qh_microphone rate=48000 frequency=440 \
      source_properties=device.description=QuorvaneMicrophone >/dev/null
    pactl set-default-source qh_microphone
    if [ ! -s "$dir/tone.wav" ]; then
      ffmpeg -nostdin -loglevel error -y -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=10" \
        -ac 2 -c:a pcm_s16le "$dir/tone.wav"
    fi
    setsid bash -c 'while :; do paplay "$1" || sleep 0.5; done' player "$dir/tone.wav" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/player.pid"
  fi

  # Wine's sound goes through PulseAudio.
  "$here/wine-env.sh" run reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f \
    >/dev/null
}

case "$cmd" in
  setup) setup tone ;;
  server) setup silent ;;
  cleanup) stop ;;
  *)
    echo "$usage" >&2
    exit 2
    ;;
esac
