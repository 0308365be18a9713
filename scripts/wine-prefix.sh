# SPDX-License-Identifier: MIT
# Sourced by the scripts that run Windows programs: Wine runs headless in a prefix of its
# own, made afresh in a temporary folder and removed when the calling script ends (by
# wine_prefix_cleanup, the EXIT trap set here; a caller with an EXIT trap of its own calls
# it from there). One Wine server serves the whole
# run, and the prefix is made before the first program, so that Wine's own helper
# processes never start inside a test and hold its output open.
wine_home=$(mktemp -d)
export WINEPREFIX="$wine_home/prefix" HOME="$wine_home"
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine_prefix_cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$wine_home"
}
trap wine_prefix_cleanup EXIT
mkdir "$WINEPREFIX"
wineserver -p
"$(dirname "${BASH_SOURCE[0]}")/wine-run.sh" wineboot --init </dev/null >/dev/null 2>&1
