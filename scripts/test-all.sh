#!/usr/bin/env bash
# Builds every preset and runs every test: the portable core natively (plain, under
# AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer), short libFuzzer
# runs of the parsers, then the Windows build under Wine and its package
# (build/windows/package/QuorvaneHost-<version>-win64.zip). Exits non-zero when anything
# fails; the Windows run's ctest summary and the package's path come last.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
bash scripts/setup.sh || exit 1

jobs="$(nproc)"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/quorvane-host/ccache}"
export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
# Paths inside the checkout are hashed relative to it, and the build directory's own path
# not at all (only the debug information's compile directory would name it), so every
# clone shares the cache.
export CCACHE_BASEDIR="$root"
export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
failed=()

run_preset() {
  local preset="$1"
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build-$preset.configure.log" 2>&1; then
    cat "build-$preset.configure.log"
    failed+=("$preset (configure)")
    return
  fi
  rm -f "build-$preset.configure.log"
  if ! cmake --build --preset "$preset" -j "$jobs"; then
    failed+=("$preset (build)")
    return
  fi
  echo "=== $preset: tests"
  if ! ctest --preset "$preset" -j "$jobs"; then
    failed+=("$preset (tests)")
  fi
  if [ "$preset" = windows ]; then
    # The zip a person copies to a Windows PC (its contents and a run of it are tested
    # above, by package_test).
    echo "=== $preset: package"
    if ! cmake --build --preset "$preset" --target package; then
      failed+=("$preset (package)")
    fi
  fi
}

presets=(linux linux-asan linux-tsan linux-fuzz windows)
if [ $# -gt 0 ]; then presets=("$@"); fi
for p in "${presets[@]}"; do
  run_preset "$p"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
exit 0
