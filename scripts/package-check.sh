#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what users of the installed product get: installs into a temporary folder and
# checks the files that land, builds the host example against that install through CMake
# and through pkg-config, builds the three Debian packages and inspects them, and runs
# the example client against a real server on 127.0.0.1. Build folder: build-pkg.
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

scripts/setup.sh
# Configured for /usr, as the packages install, so that the library folder is Debian's
# multiarch one; every option is given each time.
quietly "$tmp/configure.log" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX=/usr -DVORN3S_TESTS=OFF -DVORN3S_EXAMPLES=ON -DVORN3S_MAN=ON -DVORN3S_WERROR=ON
quietly "$tmp/build.log" cmake --build "$build" -j "$(nproc)"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
major=${version%%.*}

# ---- the staged install -------------------------------------------------------------
stage=$tmp/stage
DESTDIR=$stage quietly "$tmp/install.log" cmake --install "$build"
functions=$(grep -o 'vorn3s_[a-z_0-9]*' src/server/exports.map | sort)
{
  echo "etc/default/$program"
  echo "usr/bin/$program"
  echo "usr/include/vorn3s.h"
  echo "usr/lib/systemd/system/$program.service"
  for f in vorn3sConfig.cmake vorn3sConfigVersion.cmake vorn3sTargets.cmake \
    vorn3sTargets-relwithdebinfo.cmake; do echo "usr/$libdir/cmake/vorn3s/$f"; done
  echo "usr/$libdir/libvorn3s.so"
  echo "usr/$libdir/libvorn3s.so.$major"
  echo "usr/$libdir/libvorn3s.so.$version"
  echo "usr/$libdir/pkgconfig/vorn3s.pc"
  for p in libvorn3s$major libvorn3s-dev $program; do echo "usr/share/doc/$p/copyright"; done
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

# ---- the Debian packages --------------------------------------------------------------
debs=$tmp/debs
(cd "$build" && quietly "$tmp/cpack.log" cpack -G DEB -B "$debs") || true
arch=$(dpkg --print-architecture)
runtime=$debs/libvorn3s${major}_${version}_$arch.deb
dev=$debs/libvorn3s-dev_${version}_$arch.deb
server=$debs/${program}_${version}_$arch.deb
check "cpack builds the three packages" test -f "$runtime" -a -f "$dev" -a -f "$server"
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }
field() { dpkg-deb -f "$1" "$2"; }

if [ -f "$runtime" ] && [ -f "$dev" ] && [ -f "$server" ]; then
  printf '%s\n' "usr/$libdir/libvorn3s.so.$major" "usr/$libdir/libvorn3s.so.$version" \
    "usr/share/doc/libvorn3s$major/copyright" >"$tmp/want-runtime"
  check "the library package holds only the versioned library" \
    same_lists "$tmp/want-runtime" <(contents "$runtime")
  check "the library package's dependencies are computed" \
    bash -c "dpkg-deb -f '$runtime' Depends | grep -q 'libc6 (>=' && dpkg-deb -f '$runtime' Depends | grep -q libstdc++"
  dpkg-deb -e "$runtime" "$tmp/runtime-control"
  check "the library package declares its shared library" \
    has_line "$tmp/runtime-control/shlibs" "libvorn3s $major libvorn3s$major (>= $version)"
  check "the library package is in section libs" test "$(field "$runtime" Section)" = libs

  grep -E "^usr/(include|$libdir/(libvorn3s.so|cmake|pkgconfig)|share/man/man3|share/doc/libvorn3s-dev)" \
    "$tmp/installed-files" | grep -v "libvorn3s.so\." >"$tmp/want-dev"
  check "the -dev package holds the header, the .so link, CMake and pkg-config files, section 3 pages" \
    same_lists "$tmp/want-dev" <(contents "$dev")
  check "the -dev package depends on exactly this library package" \
    test "$(field "$dev" Depends)" = "libvorn3s$major (= $version)"

  printf '%s\n' "etc/default/$program" "usr/bin/$program" "usr/lib/systemd/system/$program.service" \
    "usr/share/doc/$program/copyright" "usr/share/man/man1/$program.1.gz" | sort >"$tmp/want-server"
  check "the server package holds the program, its page, the unit and its options file" \
    same_lists "$tmp/want-server" <(contents "$server")
  check "the server package's dependencies are computed" \
    bash -c "dpkg-deb -f '$server' Depends | grep -q 'libc6 (>='"
  dpkg-deb -e "$server" "$tmp/server-control"
  check "the options file is a conffile" has_line "$tmp/server-control/conffiles" "/etc/default/$program"
  check "installing the server package enables and starts nothing" \
    test ! -e "$tmp/server-control/postinst"
  dpkg-deb -x "$server" "$tmp/server-root"
  unit=$tmp/server-root/usr/lib/systemd/system/$program.service
  for line in "After=network-online.target" "Wants=network-online.target" "DynamicUser=yes" \
    "ProtectSystem=strict" "ProtectHome=read-only" "EnvironmentFile=/etc/default/$program" \
    "ExecStart=/usr/bin/$program serve --control /run/$program/control --log - \$SERVE_OPTS" \
    "RuntimeDirectory=$program" "RestrictAddressFamilies=AF_INET AF_UNIX" "WantedBy=multi-user.target"; do
    check "the unit has $line" has_line "$unit" "$line"
  done
  if command -v systemd-analyze >/dev/null; then
    # The unit as it would run from the extracted package.
    sed -e "s|^ExecStart=/usr/bin/|ExecStart=$tmp/server-root/usr/bin/|" \
      -e "s|^EnvironmentFile=|EnvironmentFile=-|" "$unit" >"$tmp/$program.service"
    check "systemd accepts the unit" systemd-analyze verify --man=no "$tmp/$program.service"
  fi
fi

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
    port=$(sed -n "$2" "$1")
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

echo "package-check: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
