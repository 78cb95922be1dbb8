#!/usr/bin/env bash
# Builds the Windows host and runs it under Wine,
# starting a virtual display when none is set.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/quorvane-host/ccache}"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"

build="$root/build/windows"
export WINEPREFIX="$build/wineprefix" QH_WINE_STATE="$build/wine-state"
scripts/wine-env.sh setup
if [ -z "${DISPLAY:-}" ] && [ -f "$QH_WINE_STATE/display" ]; then
  DISPLAY="$(cat "$QH_WINE_STATE/display")"
  export DISPLAY
  echo "run-host: no display was set; the host's window is on the virtual display $DISPLAY"
fi
exe="$build/host/src/main/QuorvaneHost.exe"
cd "$build"
exec wine "$exe" "$@"
