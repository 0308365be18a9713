#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the server and the log-cost tool (Release, in build-bench) and measures what the
# access log costs 200 players reading by SeekRead, with and without --log, interleaved in
# one run, as docs/performance.md reports. Loopback only; stops its servers by their ids.
#   bench/log_cost.sh [ROUNDS [SECONDS [CLIENTS [READS]]]]      (default 5 5 200 8)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --bench
cmake -S . -B build-bench -DVORN3S_BENCH=ON -DVORN3S_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j 2 --target quorvane-tessaline-vorn-v3-tcp-media-server vorn3s_log_cost >/dev/null
uptime
# Each round stops by itself; the outer bound only guards against a tool that hangs.
timeout 900 build-bench/bench/vorn3s_log_cost build-bench/quorvane-tessaline-vorn-v3-tcp-media-server "$@"
uptime
