#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the server and the hostile-load tool (Release, in build-bench) and presses on the
# server as docs/performance.md describes, printing the figures. Loopback only; every
# scenario is bounded in clients and time, and stops the servers it started by their ids.
#   bench/hostile_load.sh [PROGRAM] [exhaust|limit|lock|subtitle...]
# PROGRAM is the console program to measure, this tree's own unless given (pass an older
# build to compare).
set -euo pipefail
cd "$(dirname "$0")/.."

program=build-bench/quorvane-tessaline-vorn-v3-tcp-media-server
if [ $# -gt 0 ] && [ -x "$1" ]; then
  program=$1
  shift
fi
scripts/setup.sh --bench
cmake -S . -B build-bench -DVORN3S_BENCH=ON -DVORN3S_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j 2 --target quorvane-tessaline-vorn-v3-tcp-media-server vorn3s_hostile_load >/dev/null
# Each scenario stops by itself; the outer bound only guards against a tool that hangs.
timeout 900 build-bench/bench/vorn3s_hostile_load "$program" "$@"
