#!/usr/bin/env bash
# The network of one build's Windows test run: a network namespace of its own with only a
# loopback interface, so that the ports the tests use (the host's default ports, the fixed
# discovery port, ports picked as free) are private to that run, and two builds' test runs
# on one machine cannot take or answer each other's.
#
#   test-netns.sh CMD [ARGS...]   run CMD inside the namespace QH_NETNS names, made on
#                                 first use; without QH_NETNS, for a user other than
#                                 root, or where root may not make one (a container
#                                 without the right to), CMD runs in the machine's network
#   test-netns.sh --delete        remove the namespace (its last processes keep it until
#                                 they end)
#
# Wine's sockets belong to its wineserver, so the wineserver, Xvfb and everything that
# talks to the programs under test must all run through this script: wine-env.sh does.
set -euo pipefail

name="${QH_NETNS:-}"
path="/run/netns/$name"

inode() { stat -L -c %i "$1" 2>/dev/null || true; }

if [ "${1:-}" = --delete ]; then
  if [ -n "$name" ] && [ -e "$path" ]; then ip netns delete "$name" 2>/dev/null || true; fi
  exit 0
fi
[ $# -gt 0 ] || {
  echo "usage: test-netns.sh CMD [ARGS...] | --delete" >&2
  exit 2
}
if [ -z "$name" ] || [ "$(inode /proc/self/ns/net)" = "$(inode "$path")" ]; then
  exec "$@"
fi

ready() { [ -e "$path" ] && nsenter --net="$path" true 2>/dev/null; }

if [ "$(id -u)" = 0 ] && [ ! -e "$path" ]; then
  # One maker at a time on the machine: the tests of a run start together, and the first
  # namespace made also prepares /run/netns for all of them.
  exec 8>"${TMPDIR:-/tmp}/qh-netns.lock"
  flock 8
  if [ ! -e "$path" ] && ! { ip netns add "$name" && ip -n "$name" link set lo up; } >/dev/null 2>&1; then
    ip netns delete "$name" >/dev/null 2>&1 || true
  fi
  flock -u 8
  exec 8>&-
fi
if ready; then
  exec nsenter --net="$path" "$@"
fi
if [ "$(id -u)" = 0 ]; then
  echo "test-netns: network namespace $name cannot be entered; the tests share the machine's ports" >&2
fi
exec "$@"
