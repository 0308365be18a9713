#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing.
# With --demo, also what scripts/demo.sh needs to make its playable media; with --fuzz,
# what scripts/fuzz.sh needs; with --bench, what the benchmarks need.
# Run as root it installs; otherwise it says exactly what to install and fails.
set -euo pipefail

# scdoc writes the manual pages; dpkg-dev and file let CPack compute the packages'
# dependencies; pkgconf and groff-base serve the checks of the installed files.
packages=(cmake g++ make libgtest-dev libsimdjson-dev scdoc dpkg-dev file pkgconf groff-base)
for arg in "$@"; do
  case "$arg" in
    # The media framework's command-line tool with its test sources, H.264 (x264) and MP3
    # encoders and MP4 and Matroska muxers: about 27 MB, where a full video converter
    # would bring some 145 MB.
    --demo) packages+=(gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly) ;;
    # clang and its runtime libraries build the fuzz targets.
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    # The benchmark library, which the benchmark build needs.
    --bench) packages+=(libbenchmark-dev) ;;
    *) echo "usage: scripts/setup.sh [--demo] [--fuzz] [--bench]" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing Debian packages: ${missing[*]}" >&2
  echo "setup: install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y --no-install-recommends "${missing[@]}" >&2; then
  apt-get update >&2
  apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi
