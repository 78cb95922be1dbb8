#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine and fetches the
# third-party sources that the Windows build compiles itself. Idempotent: a second
# run installs nothing and fetches nothing.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
deps_dir="${QUORVANE_DEPS_DIR:-$HOME/.cache/quorvane-host/deps}"

packages=(
  cmake ninja-build ccache git pkg-config dpkg-dev
  g++ clang libclang-rt-14-dev clang-format clang-tidy
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64 xvfb xauth
  libboost1.74-dev nlohmann-json3-dev libspdlog-dev libfmt-dev libopus-dev libstb-dev
  libffmpeg-nvenc-dev libgtest-dev googletest libbenchmark-dev
  pulseaudio pulseaudio-utils ffmpeg libspeexdsp-dev python3-websockets iproute2 util-linux
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Source packages for the Windows build. The deb-src entries are derived from the
# machine's own apt sources, so no mirror is named here. The derived list, the package
# lists it downloads and apt's caches stay in the project's cache folder: apt is pointed
# at them with its own options, and the system's apt configuration is never touched.
apt_dir="$deps_dir/apt"
src_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=$(id -un)"
)
need_src=()
for s in opus imgui openh264 speexdsp; do
  [ -f "$deps_dir/$s.done" ] || need_src+=("$s")
done
if [ ${#need_src[@]} -gt 0 ]; then
  if [ ! -f "$apt_dir/lists.done" ]; then
    rm -rf "$apt_dir"
    mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    : >"$apt_dir/sources.list"
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] || continue
      sed -e 's/^Types:.*/Types: deb-src/' "$f" >>"$apt_dir/sources.list.d/src.sources"
      echo >>"$apt_dir/sources.list.d/src.sources"
    done
    if [ -f /etc/apt/sources.list ]; then
      grep -E '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' >>"$apt_dir/sources.list" || true
    fi
    apt-get "${src_opts[@]}" update -qq
    touch "$apt_dir/lists.done"
  fi
  mkdir -p "$deps_dir"
  for s in "${need_src[@]}"; do
    echo "setup: fetching the $s source package"
    rm -rf "${deps_dir:?}/$s" "$deps_dir/$s.work"
    mkdir -p "$deps_dir/$s.work"
    (cd "$deps_dir/$s.work" && apt-get "${src_opts[@]}" source -qq "$s" >/dev/null)
    dir="$(find "$deps_dir/$s.work" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
    mv "$dir" "$deps_dir/$s"
    rm -rf "$deps_dir/$s.work"
    touch "$deps_dir/$s.done"
  done
fi

echo "setup: dependencies ready in $deps_dir"
