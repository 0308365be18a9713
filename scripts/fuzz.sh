#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz and runs each for SECONDS
# (60 unless given), starting from its seed corpus in fuzz/corpus/TARGET. What a run
# learns goes to build-fuzz/corpus, never into the repository; an input that crashes or
# breaks an oracle is kept in build-fuzz/artifacts and fails the script.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: openfile resolve session
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [openfile|resolve|session...]" >&2; exit 2 ;;
esac
shift $(($# > 0 ? 1 : 0))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(openfile resolve session)

scripts/setup.sh --fuzz
cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j "$(nproc)"

mkdir -p build-fuzz/artifacts
for t in "${targets[@]}"; do
  [ -d "fuzz/corpus/$t" ] || { echo "fuzz.sh: no target $t" >&2; exit 2; }
  mkdir -p "build-fuzz/corpus/$t"
  echo "fuzz.sh: $t for ${seconds} s"
  # Inputs stay small (the session's socket pair holds one whole); a single input that
  # runs for 25 s is a hang.
  build-fuzz/fuzz_"$t" -max_total_time="$seconds" -max_len=4096 -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$t-" \
    "build-fuzz/corpus/$t" "fuzz/corpus/$t" 2> "build-fuzz/$t.log" || {
    tail -n 60 "build-fuzz/$t.log" >&2
    echo "fuzz.sh: $t failed; the input is in build-fuzz/artifacts" >&2
    exit 1
  }
  grep -E '^stat::number_of_executed_units|^Done' "build-fuzz/$t.log" || true
done
