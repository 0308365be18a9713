#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Windows release, build-windows/packages/vorn3s-VERSION-win64.zip, and checks it
# as a user would: unpacked into an empty folder, the program serves under Wine from
# there (a protocol client built here fetches a byte range of a file), and a C host built
# with MinGW-w64 against the archive's header and import library runs against its DLL.
#   scripts/release-windows.sh [--werror]   cross-build, package, check
#   scripts/release-windows.sh --check-only package and check the build already in
#                                           build-windows (scripts/test.sh --windows does)
set -euo pipefail
cd "$(dirname "$0")/.."

build_opts=()
build=1
for arg in "$@"; do
  case "$arg" in
    --werror) build_opts+=(--werror) ;;
    --check-only) build=0 ;;
    *) echo "usage: scripts/release-windows.sh [--werror | --check-only]" >&2; exit 2 ;;
  esac
done
[ "$build" -eq 0 ] || scripts/build-windows.sh "${build_opts[@]}"

program=quorvane-tessaline-vorn-v3-tcp-media-server
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
zip=$PWD/build-windows/packages/vorn3s-$version-win64.zip
rm -f "$zip"
(cd build-windows && cpack -G ZIP >/dev/null)
[ -f "$zip" ] || { echo "release: cpack made no $zip" >&2; exit 1; }

runner=$PWD/scripts/wine-run.sh
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  . scripts/wine-prefix.sh
  own_prefix=1
fi
tmp=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
  if [ "$own_prefix" -eq 1 ]; then wine_prefix_cleanup; fi
}
trap cleanup EXIT

fail() {
  echo "release: $*" >&2
  exit 1
}

# ---- what the archive holds ----------------------------------------------------------
mkdir "$tmp/unpacked"
(cd "$tmp/unpacked" && cmake -E tar xf "$zip")
top=$tmp/unpacked/vorn3s-$version-win64
(cd "$top" && find . -type f | sed 's|^\./||' | sort) >"$tmp/files"
sort >"$tmp/want" <<FILES
LICENSE
README.md
bin/$program.exe
bin/vorn3s.dll
docs/$program.1.txt
docs/protocol.md
docs/vorn3s.3.txt
include/vorn3s.h
lib/vorn3s.lib
FILES
diff -u "$tmp/want" "$tmp/files" || fail "the archive does not hold exactly the files it should"
for binary in "bin/$program.exe" bin/vorn3s.dll; do
  # Nothing but the system's own DLLs: the runtimes are linked in.
  others=$(x86_64-w64-mingw32-objdump -p "$top/$binary" | sed -n 's/^\s*DLL Name: //p' |
    grep -viE '^(KERNEL32|msvcrt|SHELL32|WS2_32|ADVAPI32)\.dll$' || true)
  [ -z "$others" ] || fail "$binary needs $others"
done

# ---- the program serves from the unpacked folder ---------------------------------------
media=$tmp/media/Movies
mkdir -p "$media"
head -c 5000 /dev/urandom >"$media/film.mkv"
printf '1\n00:00:01,000 --> 00:00:02,000\nHello.\n' >"$media/film.srt"
client=$tmp/vorn3s-client
cc -O2 -std=c11 -Wall -o "$client" examples/client/vorn3s_client.c
wine_path() { printf 'Z:%s' "$1" | tr / '\\'; }

mkfifo "$tmp/in"
(cd "$top/bin" && exec "$runner" "./$program.exe" serve \
  --bind 127.0.0.1 --port 0 --root "$(wine_path "$media")" <"$tmp/in" >"$tmp/serve.out" 2>"$tmp/serve.err") &
server_pid=$!
exec 4>"$tmp/in"  # the console's input, open until quit is typed
port=
for _ in $(seq 600); do
  port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$tmp/serve.out")
  [ -n "$port" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || fail "the unpacked program did not start: $(cat "$tmp/serve.err")"
timeout 20 "$client" 127.0.0.1 "$port" Movies/film.mkv 1500 2100 >"$tmp/range" 2>"$tmp/client.err" ||
  fail "the client failed against the unpacked program: $(cat "$tmp/client.err")"
cmp "$tmp/range" <(tail -c +1501 "$media/film.mkv" | head -c 2100) || fail "the byte range is not the file's"
grep -qx 'subtitles 1' "$tmp/client.err" || fail "the subtitle beside the film was not listed"
echo quit >&4
exec 4>&-
status=0
wait "$server_pid" || status=$?
server_pid=
[ "$status" -eq 0 ] || fail "the unpacked program ended with status $status"

# ---- a C host against the archive's header, import library and DLL ----------------------
x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -I"$top/include" -o "$top/bin/c-host.exe" \
  tests/c_header_test.c "$top/lib/vorn3s.lib"
(cd "$top/bin" && "$runner" ./c-host.exe 2>&1) >"$tmp/host.out" ||
  fail "the C host failed: $(cat "$tmp/host.out")"

echo "release: $zip holds the program, the library and its files; both run from it under Wine"
