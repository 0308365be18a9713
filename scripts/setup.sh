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
#   --package   also what scripts/package-check.sh needs beyond the build: lintian, and
#               systemd for systemd-analyze and systemctl
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
    --package) packages+=(lintian systemd) ;;
    *) echo "usage: scripts/setup.sh [--demo] [--windows] [--fuzz] [--bench] [--package]" >&2; exit 2 ;;
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
# The archive and its key as the system's own apt sources name them: the first entry for
# this release's own suite with the main component, in the deb822 files or in
# sources.list. The repository names no archive of its own.
suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
if [ -z "$suite" ]; then
  echo "setup: /etc/os-release names no release codename, so no suite to fetch simdjson from" >&2
  exit 1
fi
# Prints "URI KEY" (KEY the keyring file, or nothing) of the first entry of the given
# apt sources files for SUITE and main; fails when there is none.
apt_source() {  # apt_source SUITE FILE...
  local suite=$1 file
  shift
  for file in "$@"; do
    [ -f "$file" ] || continue
    case "$file" in
      # deb822: stanzas apart by empty lines, a field's further lines indented.
      *.sources) awk -v suite="$suite" 'BEGIN { RS = ""; FS = "\n" }
        {
          delete f
          for (i = 1; i <= NF; i++) {
            if ($i ~ /^[ \t]/) continue
            k = tolower(substr($i, 1, index($i, ":") - 1)); v = substr($i, index($i, ":") + 1)
            gsub(/^[ \t]+|[ \t]+$/, "", v); f[k] = v
          }
          if (tolower(f["enabled"]) == "no") next
          if ((" " f["types"] " ") !~ / deb(-src)? / && f["types"] !~ /^deb/) next
          if ((" " f["suites"] " ") !~ (" " suite " ") || (" " f["components"] " ") !~ / main /) next
          split(f["uris"], u, /[ \t]+/)
          key = (f["signed-by"] ~ /^\//) ? f["signed-by"] : ""
          print u[1] " " key; found = 1; exit
        }
        END { exit !found }' "$file" && return 0 ;;
      # One line an entry: deb [OPTIONS] URI SUITE COMPONENT...
      *) awk -v suite="$suite" '$1 == "deb" || $1 == "deb-src" {
          key = ""; n = 2
          if ($2 ~ /^\[/) {
            for (; n <= NF; n++) {
              if ($n ~ /^\[?signed-by=/) { key = $n; sub(/^\[?signed-by=/, "", key); sub(/\]$/, "", key) }
              if ($n ~ /\]$/) { n++; break }
            }
          }
          if ($(n + 1) != suite) next
          for (i = n + 2; i <= NF; i++) if ($i == "main") { print $n " " key; found = 1; exit }
        }
        END { exit !found }' "$file" && return 0 ;;
    esac
  done
  return 1
}
source=$(apt_source "$suite" /etc/apt/sources.list.d/*.sources /etc/apt/sources.list) || {
  echo "setup: no apt source for '$suite main' in /etc/apt/sources.list.d/*.sources or" >&2
  echo "setup: /etc/apt/sources.list; add the Debian archive there, then run this again" >&2
  exit 1
}
uri=${source%% *}
key=${source#"$uri"}
key=${key# }
{
  echo "Types: deb-src"
  echo "URIs: $uri"
  echo "Suites: $suite"
  echo "Components: main"
  [ -z "$key" ] || echo "Signed-By: $key"
} >"$apt_dir/debian-src.sources"
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
