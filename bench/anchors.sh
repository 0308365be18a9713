#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Throughput against two anchors on loopback, in one interleaved run: the loopback limit
# ("raw", a memory server sending from a mapping) and nginx serving the same 1 GiB file
# with Range requests ("http"), beside this server ("proto"). Builds the Release program
# in build-release/ and the request/reply client beside it, then runs the shared anchors
# script, which checks every reply against the file's known pattern and prints a table of
# medians with each server's CPU seconds per GB.
#
# usage: bench/anchors.sh                      (needs nginx-light, cmake, g++, cc)
#        REPS=3 SECS=2 bench/anchors.sh        (a shorter run)
#        PROTO_BIN=path/to/program bench/anchors.sh   (measure another build)
# Every variable of the shared script passes through (REPS, SECS, BLOCKS, CONNS, ORDERS,
# WORK, OUT, FOREIGN_MAX ...). Servers bind 127.0.0.1 only and stop by themselves.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
anchors=${ANCHORS:-$repo/../shared/rangebench/anchors.sh}
build=${BUILD_DIR:-$repo/build-release}

[ -x "$anchors" ] || { echo "anchors script not found: $anchors (set ANCHORS=...)" >&2; exit 2; }
command -v "${NGINX:-nginx}" >/dev/null ||
  { echo "nginx not found: apt-get install -y nginx-light" >&2; exit 2; }

if [ -z "${PROTO_BIN:-}" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN3S_TESTS=OFF -DVORN3S_BENCH=ON \
    -DVORN3S_SANITIZE=OFF -DVORN3S_WERROR=OFF >/dev/null
  cmake --build "$build" -j 2 --target quorvane-tessaline-vorn-v3-tcp-media-server >/dev/null
  PROTO_BIN=$build/quorvane-tessaline-vorn-v3-tcp-media-server
fi

# The client is built here because the shared folder may be read-only.
rb_src=$(dirname "$anchors")/rangebench.c
rb=$build/rangebench
mkdir -p "$build"
if [ ! -x "$rb" ] || [ "$rb_src" -nt "$rb" ]; then
  ${CC:-cc} -O2 -g -Wall -Wextra -std=c11 -pthread -o "$rb" "$rb_src"
fi

PROTO_BIN=$PROTO_BIN RB=$rb MODES=${MODES:-raw http proto} ORDERS=${ORDERS:-rand} \
  exec "$anchors"
