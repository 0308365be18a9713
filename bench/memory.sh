#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The memory a server holds for replies that nobody reads: 100 clients each ask for one
# SeekRead of 64 MiB (max_read raised to it) and read nothing; the server's resident
# memory must stay under 150 MB. Builds the Release benchmark in build-release/ and runs it
# on 127.0.0.1; it ends by itself within a minute or two.
#
# usage: bench/memory.sh [CLIENTS [COUNT_MIB [LIMIT_MB [HOLD_S]]]]   (default 100 64 150 5)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$repo/build-release}
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVORN3S_TESTS=OFF -DVORN3S_BENCH=ON \
  -DVORN3S_SANITIZE=OFF -DVORN3S_WERROR=OFF >/dev/null
cmake --build "$build" -j 2 --target vorn3s_memory_bench >/dev/null
exec "$build/bench/vorn3s_memory_bench" "${1:-100}" "${2:-64}" "${3:-150}" "${4:-5}"
