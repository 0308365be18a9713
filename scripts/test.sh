#!/usr/bin/env bash
# Sets up, builds and runs every test. Options:
#   --sanitize   build in build-sanitize with AddressSanitizer and UndefinedBehaviorSanitizer
#   --werror     treat compiler warnings as errors
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
sanitize=OFF
werror=OFF
for arg in "$@"; do
  case "$arg" in
    --sanitize) build=build-sanitize; sanitize=ON ;;
    --werror) werror=ON ;;
    *) echo "usage: scripts/test.sh [--sanitize] [--werror]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh
# Every option is given each time, so that nothing lingers from an earlier configuration.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN3S_SANITIZE="$sanitize" \
  -DVORN3S_WERROR="$werror" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
