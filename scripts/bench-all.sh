#!/usr/bin/env bash
# Builds and runs every benchmark: the Google Benchmark programs of the portable core
# natively, the timing programs of the Windows build under Wine, and the scripts that time
# the stand-in host (host/bench/main). Then prints their figures in one table (see
# scripts/bench_table.py). A benchmark that does not build, fails or runs too long is shown
# as failed, and the exit code is then 1.
#
#   bench-all.sh [--soak MINUTES] [NAME...]
#
# NAME: only these benchmarks (the names in the table's first column). --soak: how long the
# soak runs (default 2 minutes; 0 leaves it out). JOBS: parallel build jobs (default: the
# number of processors). Logs, reports and the table go to build/bench. The Wine programs
# run in a prefix, on a virtual display and with a sound server of their own
# (build/windows/bench), which this script stops at the end. The host must not be running:
# the benchmarks that start it need its ports.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/bench"
wine_dir="$root/build/windows/bench"
run_host="$root/build/windows/run-host"
soak_minutes=2
jobs="${JOBS:-$(nproc)}"
limit=1800  # seconds a benchmark may take (the soak: its minutes on top)

usage="usage: bench-all.sh [--soak MINUTES] [NAME...]"
note() { echo "bench-all: $*" >&2; }

# name, preset (linux: Google Benchmark, native; windows: under Wine; main: a script of
# host/bench/main), the targets it needs (the first is the program), its arguments.
benchmarks=(
  "audio_bench|linux|audio_bench|"
  "channels_bench|linux|channels_bench|"
  "encode_headers_bench|linux|encode_headers_bench|"
  "app_frame_bench|windows|app_frame_bench|"
  "audio_timing|windows|audio_timing|--live 5"
  "capture_bench|windows|capture_bench|"
  "encode_bench|windows|encode_bench|"
  "ui_bench|windows|ui_bench|"
  "window_bench|windows|window_bench|"
  "main_loop_cpu|main|QuorvaneHostStandin qh_close_window|main_loop_cpu.py"
  "soak|main|QuorvaneHostStandin qh_close_window qh_test_window|soak.py SOAK_MINUTES"
  "churn|main|QuorvaneHostStandin qh_close_window qh_test_window|churn.py"
)

wanted=()
while [ $# -gt 0 ]; do
  case "$1" in
    --soak)
      [[ ${2:-} =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "$usage" >&2; exit 2; }
      soak_minutes="$2"
      shift 2
      ;;
    -h | --help)
      echo "$usage"
      exit 0
      ;;
    -*)
      echo "$usage" >&2
      exit 2
      ;;
    *)
      wanted+=("$1")
      shift
      ;;
  esac
done

selected=()
for entry in "${benchmarks[@]}"; do
  name="${entry%%|*}"
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then continue; fi
  if [ "$name" = soak ] && [ "$soak_minutes" = 0 ]; then continue; fi
  selected+=("$entry")
done
for name in "${wanted[@]}"; do
  printf '%s\n' "${benchmarks[@]}" | grep -q "^$name|" || { note "no benchmark $name"; exit 2; }
done
[ ${#selected[@]} -gt 0 ] || { note "nothing to run"; exit 2; }

if [ -f "$run_host/run-host.pid" ] && kill -0 "$(cat "$run_host/run-host.pid")" 2>/dev/null; then
  note "scripts/run-host.sh is running; stop it first (the benchmarks need the host's ports)"
  exit 2
fi

cd "$root" || exit 1
rm -rf "$out"
mkdir -p "$out"

# Runs a preparation step with its output in a log, shown only when it fails.
prepare() {
  local log="$out/$1.log"
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    note "failed: $* (whole output in $log)"
    exit 1
  fi
}

export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/quorvane-host/ccache}" CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
note "checking packages and sources"
prepare setup bash scripts/setup.sh
configured=()
for entry in "${selected[@]}"; do
  IFS='|' read -r _ preset _ _ <<<"$entry"
  [ "$preset" = main ] && preset=windows
  if [[ ! " ${configured[*]} " == *" $preset "* ]]; then
    note "configuring $preset"
    prepare "configure-$preset" cmake --preset "$preset"
    configured+=("$preset")
  fi
done

wine_state=""  # "", "ready" or "failed"

# The Wine programs' own prefix, virtual display and sound server (a tone playing into its
# default sink), stopped again on the way out, with those that the scripts of host/bench/main
# leave behind when they fail.
ran_host_scripts=""
cleanup() {
  [ -n "$wine_state" ] || return 0
  "$root/scripts/pulse-env.sh" cleanup "$wine_dir/pulse" >/dev/null 2>&1
  WINEPREFIX="$wine_dir/wineprefix" QH_WINE_STATE="$wine_dir/wine-state" \
    "$root/scripts/wine-env.sh" cleanup >/dev/null 2>&1
  # Only what this run's host scripts used: a soak or host started by hand runs on.
  [ -n "$ran_host_scripts" ] || return 0
  WINEPREFIX="$run_host/wineprefix" QH_WINE_STATE="$run_host/wine-state" \
    "$root/scripts/wine-env.sh" cleanup >/dev/null 2>&1
  local dir
  for dir in "$root/build/windows/soak" "$root/build/windows/churn"; do
    [ -d "$dir" ] || continue
    "$root/scripts/pulse-env.sh" cleanup "$dir/pulse" >/dev/null 2>&1
    WINEPREFIX="$dir/wineprefix" QH_WINE_STATE="$dir/wine-state" "$root/scripts/wine-env.sh" cleanup >/dev/null 2>&1
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The environment of the Wine programs and of the scripts that start the host.
wine_vars=(WINEPREFIX="$wine_dir/wineprefix" QH_WINE_STATE="$wine_dir/wine-state"
  PULSE_SERVER="unix:$wine_dir/pulse/native" PULSE_CLIENTCONFIG="$wine_dir/pulse/client.conf")

# Prepares Wine, the display and the sound server once; false when that failed.
start_wine() {
  if [ -z "$wine_state" ]; then
    note "preparing Wine, a virtual display and a sound server"
    # Always a virtual display: the programs open windows, and a desktop's would skew them.
    unset DISPLAY
    local log="$out/wine.log"
    if env "${wine_vars[@]}" scripts/wine-env.sh setup >"$log" 2>&1 &&
      env "${wine_vars[@]}" scripts/pulse-env.sh setup "$wine_dir/pulse" >>"$log" 2>&1 &&
      DISPLAY="$(cat "$wine_dir/wine-state/display")" && export DISPLAY &&
      # The host that main_loop_cpu.py starts uses the prefix of run-host.sh.
      env WINEPREFIX="$run_host/wineprefix" QH_WINE_STATE="$run_host/wine-state" \
        scripts/wine-env.sh setup >>"$log" 2>&1; then
      wine_state=ready
    else
      wine_state=failed
      note "preparing Wine failed (log: $log)"
    fi
  fi
  [ "$wine_state" = ready ]
}

# Builds and runs one benchmark; NAME.status tells how that went.
run_one() {
  local name="$1" preset="$2" targets="$3" args="$4"
  local log="$out/$name.log" status="$out/$name.status" build_preset="$preset" seconds="$limit"
  [ "$preset" = main ] && build_preset=windows
  local program="${targets%% *}"
  # shellcheck disable=SC2086 # the targets are words
  if ! cmake --build --preset "$build_preset" -j "$jobs" --target $targets >"$out/$name.build.log" 2>&1; then
    cp "$out/$name.build.log" "$log"
    echo "build failed" >"$status"
    return
  fi
  args="${args//SOAK_MINUTES/$soak_minutes}"
  local command=() exe
  case "$preset" in
    linux)
      exe="$(find "build/linux/host/bench" -type f -name "$program" -perm -u+x | head -n 1)"
      command=("$exe" "--benchmark_out=$out/$name.json" --benchmark_out_format=json)
      ;;
    windows | main)
      if ! start_wine; then
        cp "$out/wine.log" "$log"
        echo "preparing Wine failed" >"$status"
        return
      fi
      if [ "$preset" = windows ]; then
        exe="$(find "build/windows/host/bench" -type f -name "$program.exe" | head -n 1)"
        command=(env "${wine_vars[@]}" scripts/wine-env.sh run "$exe")
      else
        # The scripts take the display from DISPLAY, and soak.py and churn.py their own sound server.
        ran_host_scripts=1
        command=(env "${wine_vars[@]:2}" /usr/bin/python3 "host/bench/main/${args%% *}")
        args="${args#"${args%% *}"}"
        [ "$name" != soak ] || seconds=$((limit + ${soak_minutes%.*} * 60))
      fi
      ;;
  esac
  # shellcheck disable=SC2086 # the arguments are words
  timeout --kill-after=30 "$seconds" "${command[@]}" $args >"$log" 2>&1 </dev/null
  local rc=$?
  if [ "$rc" = 0 ]; then
    echo ok >"$status"
  elif [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    echo "ran longer than $seconds s" >"$status"
  else
    echo "exit code $rc" >"$status"
  fi
}

names=()
n=0
for entry in "${selected[@]}"; do
  IFS='|' read -r name preset targets args <<<"$entry"
  n=$((n + 1))
  note "[$n/${#selected[@]}] $name"
  run_one "$name" "$preset" "$targets" "$args"
  names+=("$name")
done

/usr/bin/python3 scripts/bench_table.py "$out" "${names[@]}" | tee "$out/table.txt"
exit "${PIPESTATUS[0]}"
