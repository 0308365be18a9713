# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2154,SC2034  # sourced: its variables are those of package-check.sh
# The Debian part of scripts/package-check.sh, which sources it with its helpers and the
# packages that cpack made from the default-prefix build: their files and control
# files, lintian, the hardening of the binaries, install, enable and purge in a
# throwaway root, and the service's start step, run by hand as the unit runs it,
# serving a root whose name holds a blank.

arch=$(dpkg --print-architecture)
revision=$(dpkg-parsechangelog -l dist/debian/changelog -S Version)
runtime=$debs/libvorn3s${major}_${revision}_$arch.deb
dev=$debs/libvorn3s-dev_${revision}_$arch.deb
server=$debs/${program}_${revision}_$arch.deb
check "the changelog's latest entry is for this version" test "${revision%-*}" = "$version"
check "cpack builds the three packages" test -f "$runtime" -a -f "$dev" -a -f "$server"
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort; }
field() { dpkg-deb -f "$1" "$2"; }
docs() {  # docs PACKAGE: the files every package carries for itself
  printf '%s\n' "usr/share/doc/$1/copyright" "usr/share/doc/$1/changelog.Debian.gz" \
    "usr/share/lintian/overrides/$1"
}
[ -f "$runtime" ] && [ -f "$dev" ] && [ -f "$server" ] || return 0

# ---- files and control files ----------------------------------------------------------
{
  printf '%s\n' "usr/$libdir/libvorn3s.so.$major" "usr/$libdir/libvorn3s.so.$version"
  docs "libvorn3s$major"
} | sort >"$tmp/want-runtime"
check "the library package holds the versioned library and its documents" \
  same_lists "$tmp/want-runtime" <(contents "$runtime")
check "the library package's dependencies are computed" \
  bash -c "dpkg-deb -f '$runtime' Depends | grep -q 'libc6 (>=' && dpkg-deb -f '$runtime' Depends | grep -q libstdc++"
dpkg-deb -e "$runtime" "$tmp/runtime-control"
check "the library package declares its shared library" \
  has_line "$tmp/runtime-control/shlibs" "libvorn3s $major libvorn3s$major (>= $revision)"
check "the library package's symbols are exactly the exported functions" \
  same_lists <(echo "$functions") <(sed -n 's/^ \(vorn3s_[a-z_0-9]*\)@Base .*/\1/p' "$tmp/runtime-control/symbols" | sort)
check "the library package activates the ldconfig trigger" \
  has_line "$tmp/runtime-control/triggers" "activate-noawait ldconfig"
check "the library package has no maintainer scripts" \
  test ! -e "$tmp/runtime-control/postinst" -a ! -e "$tmp/runtime-control/postrm"
check "the library package is in section libs" test "$(field "$runtime" Section)" = libs

{
  grep -E "^usr/(include|$libdir/(libvorn3s.so|cmake|pkgconfig)|share/man/man3)" "$tmp/installed-files" |
    grep -v "libvorn3s.so\."
  docs libvorn3s-dev
} | sort >"$tmp/want-dev"
check "the -dev package holds the header, the .so link, CMake and pkg-config files, section 3 pages" \
  same_lists "$tmp/want-dev" <(contents "$dev")
check "the -dev package depends on exactly this library package" \
  test "$(field "$dev" Depends)" = "libvorn3s$major (= $revision)"

{
  printf '%s\n' "etc/default/$program" "etc/$program/roots" "usr/bin/$program" \
    "usr/lib/systemd/system/$program.service" "usr/libexec/$program/service-start" \
    "usr/share/man/man1/$program.1.gz"
  docs "$program"
} | sort >"$tmp/want-server"
check "the server package holds the program, its page and the service's files" \
  same_lists "$tmp/want-server" <(contents "$server")
check "the server package's dependencies are computed" \
  bash -c "dpkg-deb -f '$server' Depends | grep -q 'libc6 (>='"
dpkg-deb -e "$server" "$tmp/server-control"
check "the options and roots files are the conffiles" same_lists \
  <(printf '%s\n' "/etc/default/$program" "/etc/$program/roots") "$tmp/server-control/conffiles"
check "installing enables the service with Debian's helper" \
  has_text "$tmp/server-control/postinst" "deb-systemd-helper enable $program.service"
check "removing stops the service" has_text "$tmp/server-control/prerm" "deb-systemd-invoke stop $program.service"
check "purging forgets the enable links" has_text "$tmp/server-control/postrm" "deb-systemd-helper purge $program.service"
for package in "$runtime" "$dev" "$server"; do
  check "$(field "$package" Package): the description's lines fit 80 columns" \
    bash -c "dpkg-deb -f '$package' Description | awk 'length > 80 { exit 1 }'"
done

srv=$tmp/server-root
dpkg-deb -x "$server" "$srv"
dpkg-deb -x "$runtime" "$tmp/runtime-root"
unit=$srv/usr/lib/systemd/system/$program.service
start=/usr/libexec/$program/service-start
for line in "After=network-online.target" "Wants=network-online.target" "DynamicUser=yes" \
  "ProtectSystem=strict" "ProtectHome=read-only" "EnvironmentFile=/etc/default/$program" \
  "ExecCondition=$start --check /etc/$program/roots \$SERVE_OPTS" "RuntimeDirectory=$program" \
  "RestrictAddressFamilies=AF_INET AF_UNIX" "WantedBy=multi-user.target"; do
  check "the unit has $line" has_line "$unit" "$line"
done
check "the unit starts the program through the start step" \
  grep -qE "^ExecStart=$start /etc/$program/roots /usr/bin/$program serve .*\\\$SERVE_OPTS\$" "$unit"
# The unit with the package's paths in the extracted tree (and /run in a folder of ours).
localise() { sed -e "s#\([ =]\)/\(usr\|etc\)/#\1$srv/\2/#g" -e "s#\([ =]\)/run/#\1$tmp/run/#g" "$@"; }
localise "$unit" >"$tmp/$program.service"
check "systemd accepts the unit" systemd-analyze verify --man=no "$tmp/$program.service"

# ---- lintian and the hardening of the binaries ----------------------------------------
lintian --fail-on error,warning "$runtime" "$dev" "$server" >"$tmp/lintian.out" 2>&1 || true
check "lintian finds no error and no warning in the packages" \
  bash -c "! grep -E '^[EW]: ' '$tmp/lintian.out'"
for binary in "$srv/usr/bin/$program" "$tmp/runtime-root/usr/$libdir/libvorn3s.so.$version"; do
  name=${binary##*/}
  check "$name binds every symbol at load (BIND_NOW)" bash -c "readelf -d '$binary' | grep -q 'FLAGS.*NOW'"
  check "$name has a read-only relocation segment (RELRO)" bash -c "readelf -lW '$binary' | grep -q GNU_RELRO"
  check "$name calls the fortified functions" bash -c "nm -D '$binary' | grep -qE ' U __[a-z_]*_chk\b'"
  check "$name checks its stack" bash -c "nm -D '$binary' | grep -q ' U __stack_chk_fail'"
  check "$name has no .comment or .note section" bash -c "! readelf -SW '$binary' | grep -qE ' \\.(comment|note) '"
done

# ---- install, enable and purge in a throwaway root ------------------------------------
# dpkg --root with the maintainer scripts run here (not chrooted, DPKG_ROOT set for
# them), a database that holds only the packages ours depend on, as installed here.
if [ "$(id -u)" -eq 0 ]; then
  root=$tmp/root
  db=$root/var/lib/dpkg
  mkdir -p "$db/info" "$db/updates" "$db/triggers"
  : >"$db/available"
  for package in "$runtime" "$dev" "$server"; do field "$package" Depends; done | tr ',|' '\n\n' |
    sed 's/(.*//; s/ //g' | grep -v '^libvorn3s' | sort -u >"$tmp/depends"
  while read -r name; do
    dpkg-query -s "$name" && echo
    for installed in $(dpkg-query -W -f='${binary:Package}\n' "$name"); do : >"$db/info/$installed.list"; done
  done <"$tmp/depends" >"$db/status"
  in_root=(dpkg --root="$root" --force-script-chrootless)
  link=$root/etc/systemd/system/multi-user.target.wants/$program.service
  check "dpkg installs the three packages in a throwaway root" "${in_root[@]}" -i "$runtime" "$dev" "$server"
  check "the install enables the service" test -L "$link"
  check "systemctl enables the service there" systemctl --root="$root" enable "$program.service"
  check "dpkg purges the three packages" "${in_root[@]}" --purge "libvorn3s$major" libvorn3s-dev "$program"
  check "the purge leaves no enable link" test ! -e "$link" -a ! -L "$link"
  check "the purge leaves no file of the packages" \
    bash -c "cd '$root' && ! find . -path ./var/lib/dpkg -prune -o ! -type d -print | grep ."
  check "dpkg knows none of the packages any more" \
    bash -c "! dpkg --root='$root' -l 'libvorn3s*' '$program' 2>/dev/null | grep -q '^[a-z][a-z] '"
else
  echo "package-check: the install in a throwaway root needs root; skipped" >&2
fi

# ---- the start step, by hand ----------------------------------------------------------
# The unit's own command lines, with the options file's SERVE_OPTS split at blanks as
# systemd splits $SERVE_OPTS, and a root named in the roots file.
# The unit's paths under /run lead here (see localise); systemd makes its runtime folder.
mkdir -p "$tmp/run/$program"
blank_root="$tmp/media/My Videos"
mkdir -p "$blank_root"
head -c 3000 /dev/urandom >"$blank_root/clip one.mkv"
unit_line() { sed -n "s/^$1=//p" "$tmp/$program.service"; }  # unit_line KEY: its command line
run_unit() {  # run_unit KEY SERVE_OPTS: the unit's KEY= command line, run here
  SERVE_OPTS=$2 bash -c "exec $(unit_line "$1")" </dev/null
}
fails() { ! "$@"; }
printf '# roots\n\n%s\n' "$blank_root" >>"$srv/etc/$program/roots"
check "the start is skipped while the options name no address" fails run_unit ExecCondition ""
check "the start goes ahead once an address and a root are named" run_unit ExecCondition "--bind 127.0.0.1"
sed "/^\//d" "$srv/etc/$program/roots" >"$tmp/no-roots"
check "the start is skipped while there is no root" fails "$srv$start" --check "$tmp/no-roots" --bind 127.0.0.1
printf '%s' "$blank_root" >"$tmp/last-line"
check "a last line without its line feed is a root too" "$srv$start" --check "$tmp/last-line" --bind 127.0.0.1
SERVE_OPTS="--bind 127.0.0.1 --port 0" bash -c "exec $(unit_line ExecStart)" </dev/null \
  >"$tmp/unit.out" 2>"$tmp/unit.err" &
server_pid=$!
if port=$(wait_port "$tmp/unit.out" 's/^listening 127\.0\.0\.1:\([0-9]*\) roots=1 .*/\1/p'); then
  check "the service lists the root of the roots file" run_client unit-roots "$port"
  check "the root's name keeps its blank" \
    has_line "$tmp/unit-roots.err" 'roots [{"Name":"My Videos","FullName":"My Videos","HasSubFolder":true}]'
  check "the service serves a file of that root" run_client unit-file "$port" "My Videos/clip one.mkv"
  check "the file arrives unchanged" cmp "$tmp/unit-file.out" "$blank_root/clip one.mkv"
  check "the service answers on its control socket" \
    bash -c "'$srv/usr/bin/$program' control '$tmp/run/$program/control' status | grep -q '^running=1 '"
  check "the service logs to standard error, for the journal" grep -q " event=connect conn=1 " "$tmp/unit.err"
  check "SIGTERM ends the service's server with status 0" stop_server
else
  cat "$tmp/unit.err" >&2
  check "the start step starts the server on 127.0.0.1" false
  stop_server || true
fi
