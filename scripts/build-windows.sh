#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds the Windows programs on Linux into build-windows/: the console program
# quorvane-tessaline-vorn-v3-tcp-media-server.exe, and vorn3s.dll with its import library
# vorn3s.lib, at the top of that folder, linked statically against the C and C++ runtimes.
#   --tests    also builds the tests, against GoogleTest cross-built from Debian's sources
#   --werror   treat compiler warnings as errors
set -euo pipefail
cd "$(dirname "$0")/.."

tests=OFF
werror=OFF
for arg in "$@"; do
  case "$arg" in
    --tests) tests=ON ;;
    --werror) werror=ON ;;
    *) echo "usage: scripts/build-windows.sh [--tests] [--werror]" >&2; exit 2 ;;
  esac
done

scripts/setup.sh --windows
build="$PWD/build-windows"
deps="$build/deps"
toolchain="$PWD/cmake/mingw-w64.cmake"
jobs=$(nproc)

if [ "$tests" = ON ] && [ ! -f "$deps/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$deps/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$deps/gtest" >/dev/null
  cmake --build "$deps/gtest-build" -j "$jobs" >/dev/null
  cmake --install "$deps/gtest-build" >/dev/null
fi

# Every option is given each time, so that nothing lingers from an earlier configuration.
# -O2: at -O3 GCC 12 warns of overlapping copies inside std::string that cannot happen.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DVORN3S_SIMDJSON_DIR="$deps/simdjson/singleheader" -DVORN3S_TESTS="$tests" \
  -DVORN3S_WERROR="$werror" -DGTest_DIR="$deps/gtest/lib/cmake/GTest" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$PWD/scripts/wine-run.sh" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
cmake --build "$build" -j "$jobs"
