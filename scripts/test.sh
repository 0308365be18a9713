#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up, builds and runs every test. Options:
#   --sanitize   build in build-sanitize with AddressSanitizer and UndefinedBehaviorSanitizer
#   --tsan       build in build-tsan with ThreadSanitizer
#   --werror     treat compiler warnings as errors
#   --windows    cross-build for Windows in build-windows and test it under Wine: every
#                GoogleTest executable, then the protocol tests against the .exe serving on
#                127.0.0.1, driven from a client built here in build, then the release
#                archive as a user unpacks and runs it
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
sanitize=OFF
tsan=OFF
werror=OFF
windows=0
for arg in "$@"; do
  case "$arg" in
    --sanitize) build=build-sanitize; sanitize=ON ;;
    --tsan) build=build-tsan; tsan=ON ;;
    --werror) werror=ON ;;
    --windows) windows=1 ;;
    *) echo "usage: scripts/test.sh [--sanitize | --tsan | --windows] [--werror]" >&2; exit 2 ;;
  esac
done
modes=$windows
[ "$sanitize" = ON ] && modes=$((modes + 1))
[ "$tsan" = ON ] && modes=$((modes + 1))
if [ "$modes" -gt 1 ]; then
  echo "test: --sanitize, --tsan and --windows exclude each other" >&2
  exit 2
fi

# Every option is given each time, so that nothing lingers from an earlier configuration.
configure_linux() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN3S_SANITIZE="$sanitize" \
    -DVORN3S_TSAN="$tsan" -DVORN3S_WERROR="$1" >/dev/null
}

if [ "$windows" -eq 1 ]; then
  scripts/setup.sh --windows
  if [ "$werror" = ON ]; then scripts/build-windows.sh --tests --werror; else scripts/build-windows.sh --tests; fi
  . scripts/wine-prefix.sh
  ctest --test-dir build-windows --output-on-failure -j "$(nproc)"
  # The client side of the protocol tests is built here, with the plain run's options.
  configure_linux OFF
  cmake --build "$build" -j "$(nproc)" --target windows_e2e_tests
  "$build/tests/windows_e2e_tests" "$PWD/scripts/wine-run.sh" \
    "$PWD/build-windows/quorvane-tessaline-vorn-v3-tcp-media-server.exe"
  # The release archive, unpacked and run as a user would.
  scripts/release-windows.sh --check-only
  exit 0
fi

scripts/setup.sh
configure_linux "$werror"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
