#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what users of the installed product get, from a build of the default prefix as
# a new user makes it: its three Debian packages (scripts/package-check-debian.sh: their
# files, control files, lintian, install, enable and purge in a throwaway root, and the
# service's start step serving a root with a blank); the same build configured for
# /usr and installed into a temporary folder, the files that land, and the host example
# built against them through CMake and through pkg-config; the library page's example
# program; an install to a prefix of its own; and the example client against a real
# server on 127.0.0.1. Build folder: build-pkg.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=build-pkg
program=quorvane-tessaline-vorn-v3-tcp-media-server

tmp=$(mktemp -d)
server_pid=  # the server started here, while it runs
cleanup() {
  if [ -n "$server_pid" ]; then kill -TERM "$server_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
checks=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  if ! "$@" >"$tmp/check.out" 2>&1; then
    failures=$((failures + 1))
    echo "FAILED: $what" >&2
    sed 's/^/  | /' "$tmp/check.out" >&2
  fi
}
has_line() { grep -qxF -- "$2" "$1"; }
has_text() { grep -qF -- "$2" "$1"; }
same_lists() { diff -u "$1" "$2"; }

quietly() {  # quietly LOG COMMAND...: the command's output only when it fails
  if ! "${@:2}" >"$1" 2>&1; then
    cat "$1" >&2
    return 1
  fi
}

scripts/setup.sh --package
configure() {  # configure PREFIX: every option is given (or its default restored) each time
  quietly "$tmp/configure.log" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX="$1" -UCMAKE_INSTALL_LIBDIR -DVORN3S_TESTS=OFF -DVORN3S_EXAMPLES=ON \
    -DVORN3S_MAN=ON -DVORN3S_WERROR=ON
}
# /usr/local is CMake's own default: the packages must come out right from it.
configure /usr/local
quietly "$tmp/build.log" cmake --build "$build" -j "$(nproc)"
debs=$tmp/debs
(cd "$build" && quietly "$tmp/cpack.log" cpack -G DEB -B "$debs") || true
# The README's install: the same build configured for /usr.
configure /usr
quietly "$tmp/build.log" cmake --build "$build" -j "$(nproc)"
# Debian's multiarch library folder, under /usr as under any prefix.
libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}

# ---- the staged install -------------------------------------------------------------
stage=$tmp/stage
DESTDIR=$stage quietly "$tmp/install.log" cmake --install "$build"
functions=$(grep -o 'vorn3s_[a-z_0-9]*' src/server/exports.map | sort)
{
  echo "etc/default/$program"
  echo "etc/$program/roots"
  echo "usr/bin/$program"
  echo "usr/libexec/$program/service-start"
  echo "usr/include/vorn3s.h"
  echo "usr/lib/systemd/system/$program.service"
  for f in vorn3sConfig.cmake vorn3sConfigVersion.cmake vorn3sTargets.cmake \
    vorn3sTargets-relwithdebinfo.cmake; do echo "usr/$libdir/cmake/vorn3s/$f"; done
  echo "usr/$libdir/libvorn3s.so"
  echo "usr/$libdir/libvorn3s.so.$major"
  echo "usr/$libdir/libvorn3s.so.$version"
  echo "usr/$libdir/pkgconfig/vorn3s.pc"
  for p in libvorn3s$major libvorn3s-dev $program; do
    echo "usr/share/doc/$p/copyright"
    echo "usr/share/doc/$p/changelog.Debian.gz"
  done
  echo "usr/share/man/man1/$program.1.gz"
  echo "usr/share/man/man3/vorn3s.3.gz"
  for f in $functions; do echo "usr/share/man/man3/$f.3.gz"; done
} | sort >"$tmp/expected-files"
(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort) >"$tmp/installed-files"
check "the install puts exactly the expected files in place" \
  same_lists "$tmp/expected-files" "$tmp/installed-files"

lib=$stage/usr/$libdir
check "libvorn3s.so is a link to the SONAME, which links to the versioned file" \
  test "$(readlink "$lib/libvorn3s.so")" = "libvorn3s.so.$major" -a \
  "$(readlink "$lib/libvorn3s.so.$major")" = "libvorn3s.so.$version"
readelf -d "$lib/libvorn3s.so.$version" >"$tmp/dynamic"
check "the library's SONAME carries the major version" \
  has_text "$tmp/dynamic" "Library soname: [libvorn3s.so.$major]"
nm -D --defined-only "$lib/libvorn3s.so.$version" | awk '{print $NF}' | sort >"$tmp/exported"
check "the installed library exports exactly its functions" \
  same_lists <(echo "$functions") "$tmp/exported"
check "the program is installed without a dependency on the build folder" \
  bash -c "! readelf -d '$stage/usr/bin/$program' | grep -q 'R.*PATH'"
check "the header's version macros match the project version" \
  has_line <(printf '#include <vorn3s.h>\nVORN3S_VERSION\n' | cc -E -P -I"$stage/usr/include" - | tail -n 1) \
  "\"$version\""

for page in "man1/$program.1.gz" man3/vorn3s.3.gz; do
  check "$page renders without warnings" \
    bash -c "zcat '$stage/usr/share/man/$page' | groff -man -Tutf8 -ww -z 2>&1 | (! grep .)"
done
# The pages as plain text: no bold, underline or overstrike.
zcat "$stage/usr/share/man/man3/vorn3s.3.gz" | groff -man -Tutf8 -P-cbou 2>/dev/null >"$tmp/man3.txt"
for f in $functions; do
  # A heading of its own (the prototype at the first indent), not only the synopsis.
  check "vorn3s(3) documents $f" grep -Eq "^ {7}[a-z].*[ *]$f\(" "$tmp/man3.txt"
done
zcat "$stage/usr/share/man/man1/$program.1.gz" | groff -man -Tutf8 -P-cbou 2>/dev/null >"$tmp/man1.txt"
"$build/$program" 2>"$tmp/usage" || true
# Every word of the usage text (commands, options, console commands) is in the page.
for word in $(tr ' |[]' '\n' <"$tmp/usage" | grep -E '^(--)?[a-z]+$' | sort -u); do
  check "the section 1 page mentions '$word'" grep -qw -- "$word" "$tmp/man1.txt"
done

# ---- the host example against the install ---------------------------------------------
export LD_LIBRARY_PATH=$lib
quietly "$tmp/host-cmake.log" cmake -S examples/host -B "$tmp/host-cmake" -DCMAKE_PREFIX_PATH="$stage/usr" &&
  quietly "$tmp/host-cmake.log" cmake --build "$tmp/host-cmake" || true
check "the host example builds with find_package(vorn3s 1)" test -x "$tmp/host-cmake/vorn3s-host"
check "find_package took the staged package" \
  has_text "$tmp/host-cmake/CMakeCache.txt" "vorn3s_DIR:PATH=$stage/usr/$libdir/cmake/vorn3s"

export PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage
check "pkg-config knows vorn3s $version" test "$(pkg-config --modversion vorn3s)" = "$version"
mkdir -p "$tmp/host-pc"
quietly "$tmp/host-pc.log" make -s -C "$tmp/host-pc" -f "$src/examples/host/Makefile" \
  VPATH="$src/examples/host" || true
check "the host example builds with pkg-config" test -x "$tmp/host-pc/vorn3s-host"
check "the pkg-config build links the installed library" \
  bash -c "readelf -d '$tmp/host-pc/vorn3s-host' | grep -qF 'Shared library: [libvorn3s.so.$major]'"
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR

# ---- the example client against a real server -----------------------------------------
media=$tmp/media/Movies
mkdir -p "$media/Sub"
head -c 5000 /dev/urandom >"$media/film.mkv"
printf '1\n00:00:01,000 --> 00:00:02,000\nHello.\n' >"$media/film.srt"
printf 'WEBVTT\n' >"$media/film.en.vtt"
printf 'other\n' >"$media/other.srt"
client=$build/examples/vorn3s-client

# Waits (5 s at most) for the line that names the bound port; prints the port.
wait_port() {  # wait_port FILE SED-PATTERN
  for _ in $(seq 50); do
    local port
    port=$(sed -n "$2" "$1" 2>/dev/null)
    if [ -n "$port" ]; then echo "$port"; return 0; fi
    sleep 0.1
  done
  return 1
}
# Ends the server started here with SIGTERM, by its PID, and gives its exit status; one
# that has not ended within 5 s is killed, and the status is 124.
stop_server() {
  local pid=$server_pid rc=124
  server_pid=
  kill -TERM "$pid"
  for _ in $(seq 50); do
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    wait "$pid" || true
  else
    rc=0
    wait "$pid" || rc=$?
  fi
  return "$rc"
}
run_client() {  # run_client NAME PORT ARGS...: the client's output in $tmp/NAME.{out,err}
  local name=$1 port=$2
  shift 2
  timeout 20 "$client" 127.0.0.1 "$port" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err"
}

"$stage/usr/bin/$program" serve --bind 127.0.0.1 --port 0 --root "$media" </dev/null >"$tmp/serve.out" &
server_pid=$!
if port=$(wait_port "$tmp/serve.out" 's/^listening 127\.0\.0\.1:\([0-9]*\) .*/\1/p'); then
  check "the client copies a byte range of a file" run_client range "$port" Movies/film.mkv 1500 2100
  check "the byte range is the file's" cmp "$tmp/range.out" <(tail -c +1501 "$media/film.mkv" | head -c 2100)
  check "the client prints the size" has_line "$tmp/range.err" "size 5000"
  check "the client lists the subtitles beside the file" \
    bash -c "grep -qx 'subtitles 2' '$tmp/range.err' &&
             grep -qx 'subtitle film.srt $(wc -c <"$media/film.srt") bytes' '$tmp/range.err' &&
             grep -qx 'subtitle film.en.vtt $(wc -c <"$media/film.en.vtt") bytes' '$tmp/range.err'"
  check "the client copies a whole file" run_client whole "$port" Movies/film.mkv
  check "the whole file arrives unchanged" cmp "$tmp/whole.out" "$media/film.mkv"
  check "the client lists the roots" run_client roots "$port"
  check "the roots listing names Movies" \
    has_line "$tmp/roots.err" 'roots [{"Name":"Movies","FullName":"Movies","HasSubFolder":true}]'
  check "the client fails for a file that is not there" bash -c "! timeout 20 '$client' 127.0.0.1 $port Movies/none.mkv 2>/dev/null"
  check "SIGTERM ends the server with status 0" stop_server
else
  check "the server starts on 127.0.0.1" false
  stop_server || true
fi

# The host example (the pkg-config build) serves the same client.
if [ -x "$tmp/host-pc/vorn3s-host" ]; then
  "$tmp/host-pc/vorn3s-host" 127.0.0.1 0 "$media" >"$tmp/host-server.out" &
  server_pid=$!
  if port=$(wait_port "$tmp/host-server.out" 's/^listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p'); then
    check "the host example serves the client" run_client host "$port" Movies/film.mkv 0 100
    check "the host example's bytes are the file's" cmp "$tmp/host.out" <(head -c 100 "$media/film.mkv")
    check "SIGTERM ends the host example with status 0" stop_server
  else
    check "the host example starts on 127.0.0.1" false
    stop_server || true
  fi
fi

# ---- the library page's example program ---------------------------------------------
# Its code as the page shows it (scdoc writes a backslash twice), serving the test's
# folder instead of /srv/media, against the staged install.
sed -n '/^# EXAMPLE/,/^# /p' man/vorn3s.3.scd | sed -n '/^```$/,/^```$/p' | sed '1d;$d' |
  sed -e 's/\\\\/\\/g' -e "s|\"/srv/media\"|\"$media\"|" >"$tmp/page-example.c"
check "the vorn3s(3) example serves the folder it names" grep -qF "\"$media\"" "$tmp/page-example.c"
quietly "$tmp/page-example.log" cc -Wall -Wextra -Werror -o "$tmp/page-example" "$tmp/page-example.c" \
  -I"$stage/usr/include" -L"$lib" -lvorn3s || true
check "the vorn3s(3) example compiles against the install" test -x "$tmp/page-example"
if [ -x "$tmp/page-example" ]; then
  timeout 20 "$tmp/page-example" >"$tmp/page-example.out" 2>&1 || true
  check "the vorn3s(3) example prints the address it listened on" \
    grep -qxE 'listening on 127\.0\.0\.1:[1-9][0-9]*' "$tmp/page-example.out"
fi

# ---- an install to a prefix of its own ------------------------------------------------
# The files that name installed paths name those of this install, whatever the build was
# configured for.
own=$tmp/own
quietly "$tmp/own.log" cmake --install "$build" --prefix "$own"
check "the unit of an own prefix starts the program there" \
  grep -qxF "ExecStart=$own/libexec/$program/service-start $own/etc/$program/roots $own/bin/$program serve --control /run/$program/control --log - \$SERVE_OPTS" \
  "$own/lib/systemd/system/$program.service"
check "the unit of an own prefix reads its options there" \
  has_line "$own/lib/systemd/system/$program.service" "EnvironmentFile=$own/etc/default/$program"
check "vorn3s.pc of an own prefix names it" has_line "$own/$libdir/pkgconfig/vorn3s.pc" "prefix=$own"

# ---- the Debian packages --------------------------------------------------------------
. "$src/scripts/package-check-debian.sh"

echo "package-check: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
