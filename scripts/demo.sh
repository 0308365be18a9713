#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds, makes a demo folder of playable media (generated here, nothing
# downloaded) and serves it with the operator console. Without --bind it serves on
# 127.0.0.1, for players on this machine; it names the addresses that players elsewhere on
# the network can use.
# Usage: scripts/demo.sh [--bind ADDRESS] [PORT]
set -euo pipefail
cd "$(dirname "$0")/.."
usage() {
  echo "usage: scripts/demo.sh [--bind ADDRESS] [PORT]" >&2
  exit 2
}
bind=127.0.0.1
port=3320
while [ $# -gt 0 ]; do
  case "$1" in
    --bind) [ $# -ge 2 ] || usage; bind=$2; shift 2 ;;
    [0-9]*) port=$1; shift ;;
    *) usage ;;
  esac
done

scripts/setup.sh --demo
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target quorvane-tessaline-vorn-v3-tcp-media-server >/dev/null

demo=demo/Media
# A folder made by an earlier version of this script held bytes no player can play.
if [ ! -f "$demo/Harbour Lights.mp4" ]; then
  rm -rf "$demo"
  echo "demo: making the demo media in $demo" >&2
  scripts/demo-media.sh "$demo.tmp"
  mv "$demo.tmp" "$demo"
fi

# The IPv4 addresses of this machine's interfaces, loopback left out.
addresses() {
  if command -v ip >/dev/null; then
    ip -4 -o addr show scope global | awk '{ sub(/\/.*/, "", $4); print $4 }'
  else
    hostname -I 2>/dev/null | tr ' ' '\n' | grep -E '^[0-9]+(\.[0-9]+){3}$' | grep -v '^127\.' || true
  fi
}
mapfile -t found < <(addresses)
{
  if [ ${#found[@]} -eq 0 ]; then
    echo "demo: this machine has no network address besides 127.0.0.1; players elsewhere cannot reach it."
  else
    echo "demo: players on the same network reach this machine at one of these addresses:"
    for a in "${found[@]}"; do echo "        $a    serve on it with: scripts/demo.sh --bind $a"; done
  fi
  if [ "$bind" = 127.0.0.1 ]; then
    echo "demo: serving on 127.0.0.1, port $port: reachable from this machine only."
  else
    echo "demo: serving on $bind, port $port: point the player at that address and port."
  fi
  echo "demo: console commands: status | roots | clients | add PATH | remove PATH | set KEY VALUE | help | quit   (Ctrl-C also stops)"
} >&2
exec build/quorvane-tessaline-vorn-v3-tcp-media-server serve --bind "$bind" --port "$port" --root "$demo"
