#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing need, from Debian's packages, when it is missing.
# Run as root it installs; otherwise it says exactly what to install and fails.
#   --demo      also what scripts/demo.sh needs to make its playable media
#   --windows   also what the Windows cross-build needs: the MinGW-w64 compilers, Wine,
#               GoogleTest's sources, and simdjson's Debian source package, unpacked into
#               build-windows/deps (fetched once, through a private apt folder)
#   --fuzz      also what scripts/fuzz.sh needs
#   --bench     also what the benchmarks need
set -euo pipefail
cd "$(dirname "$0")/.."

# scdoc writes the manual pages; dpkg-dev and file let CPack compute the packages'
# dependencies; pkgconf and groff-base serve the checks of the installed files.
packages=(cmake g++ make libgtest-dev libsimdjson-dev scdoc dpkg-dev file pkgconf groff-base)
windows=0
for arg in "$@"; do
  case "$arg" in
    # The media framework's command-line tool with its test sources, H.264 (x264) and MP3
    # encoders and MP4 and Matroska muxers: about 27 MB, where a full video converter
    # would bring some 145 MB.
    --demo) packages+=(gstreamer1.0-tools gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly) ;;
    # The posix thread model: the win32 one lacks std::thread and std::mutex.
    --windows) windows=1; packages+=(g++-mingw-w64-x86-64-posix wine64 wine googletest) ;;
    # clang and its runtime libraries build the fuzz targets.
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    # The benchmark library, which the benchmark build needs.
    --bench) packages+=(libbenchmark-dev) ;;
    *) echo "usage: scripts/setup.sh [--demo] [--windows] [--fuzz] [--bench]" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
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
fi
[ "$windows" -eq 1 ] || exit 0

# simdjson for Windows: Debian ships no Windows build, but its source package holds the
# single-header form, which the cross compiler builds. apt fetches the source package
# through a sources list of our own, so the system's apt configuration stays untouched.
deps="$PWD/build-windows/deps"
[ -f "$deps/simdjson/singleheader/simdjson.cpp" ] && exit 0
apt_dir="$deps/apt"
rm -rf "$apt_dir" "$deps/simdjson" "$deps/simdjson-src"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$deps/simdjson-src"
# The archive and its key as the system's own Debian entry names them.
uri=http://deb.debian.org/debian
key=/usr/share/keyrings/debian-archive-keyring.gpg
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  key=$(awk '/^Signed-By:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
cat >"$apt_dir/debian-src.sources" <<SOURCES
Types: deb-src
URIs: ${uri:-http://deb.debian.org/debian}
Suites: $suite
Components: main
Signed-By: ${key:-/usr/share/keyrings/debian-archive-keyring.gpg}
SOURCES
apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
# Run as root, apt would hand the download to its sandbox user, who may not reach here.
[ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
# The same version as the Linux build's libsimdjson-dev.
version=$(dpkg-query -W -f='${Version}' libsimdjson-dev)
echo "setup: fetching the simdjson $version source package" >&2
apt-get "${apt_opts[@]}" -qq update >&2
(cd "$deps/simdjson-src" && apt-get "${apt_opts[@]}" -qq source --download-only "simdjson=$version" >&2)
tar -xzf "$deps"/simdjson-src/simdjson_*.orig.tar.gz -C "$deps/simdjson-src"
mv "$deps"/simdjson-src/simdjson-*/ "$deps/simdjson"
rm -rf "$deps/simdjson-src" "$apt_dir"
