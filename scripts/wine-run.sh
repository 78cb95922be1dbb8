#!/usr/bin/env bash
# Runs a Windows executable of the build under Wine. When WINEPREFIX is not set, the
# prefix of the build tree that holds the executable is used.
set -euo pipefail
exe="${1:?usage: wine-run.sh EXE [ARGS...]}"
if [ -z "${WINEPREFIX:-}" ]; then
  dir="$(cd "$(dirname "$exe")" && pwd)"
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir="$(dirname "$dir")"; done
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    echo "wine-run: $exe is not inside a build tree; set WINEPREFIX" >&2
    exit 2
  fi
  export WINEPREFIX="$dir/wineprefix" QH_WINE_STATE="$dir/wine-state"
fi
exec "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh" run "$@"
