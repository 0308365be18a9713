#!/usr/bin/env bash
# Sets up, builds and runs every test. Options:
#   --sanitize   build in build-sanitize with AddressSanitizer and UndefinedBehaviorSanitizer
#   --tsan       build in build-tsan with ThreadSanitizer
#   --werror     treat compiler warnings as errors
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
sanitize=OFF
tsan=OFF
werror=OFF
for arg in "$@"; do
  case "$arg" in
    --sanitize) build=build-sanitize; sanitize=ON ;;
    --tsan) build=build-tsan; tsan=ON ;;
    --werror) werror=ON ;;
    *) echo "usage: scripts/test.sh [--sanitize | --tsan] [--werror]" >&2; exit 2 ;;
  esac
done
if [ "$sanitize" = ON ] && [ "$tsan" = ON ]; then
  echo "scripts/test.sh: --sanitize and --tsan exclude each other" >&2
  exit 2
fi

scripts/setup.sh
# Every option is given each time, so that nothing lingers from an earlier configuration.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN3S_SANITIZE="$sanitize" \
  -DVORN3S_TSAN="$tsan" -DVORN3S_WERROR="$werror" >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
