#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs a Windows program under Wine, headless, in the prefix that the caller names with
# WINEPREFIX (scripts/test.sh --windows makes one in a temporary folder): the emulator
# through which CTest runs the cross-built tests.
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix to run in}"
# Locales other than UTF-8 garble names that are not ASCII; no dialogs, no menu entries.
export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
exec wine "$@"
