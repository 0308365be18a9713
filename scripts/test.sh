#!/usr/bin/env bash
# Sets up, builds and runs every test. Options:
#   --sanitize   build in build-sanitize with AddressSanitizer and UndefinedBehaviorSanitizer
#   --werror     treat compiler warnings as errors
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
for arg in "$@"; do
  case "$arg" in
    --sanitize) build=build-sanitize; flags+=(-DVORN3S_SANITIZE=ON) ;;
    --werror) flags+=(-DVORN3S_WERROR=ON) ;;
    *) echo "usage: scripts/test.sh [--sanitize] [--werror]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
