#!/usr/bin/env bash
# Runs the Windows build (build/mingw/exelore.exe) under Wine, headless and in
# a throwaway prefix, over the end-to-end fixtures, and compares its output
# with the Linux build's (build/ci): tests/wine_e2e_test.cpp holds the cases
# and the list of known Wine differences. Expects both builds to exist.
set -euo pipefail
cd "$(dirname "$0")/.."

wine=$(command -v wine64 || true)
if [[ -z "$wine" && -x /usr/lib/wine/wine64 ]]; then wine=/usr/lib/wine/wine64; fi
if [[ -z "$wine" ]]; then
  echo "wine-e2e: no wine64 on PATH and no /usr/lib/wine/wine64" >&2
  exit 1
fi
wineserver=$(dirname "$wine")/wineserver
if [[ ! -x "$wineserver" ]]; then wineserver=$(command -v wineserver); fi

prefix=$(mktemp -d "${TMPDIR:-/tmp}/exelore-wine.XXXXXX")
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" EXELORE_WINE="$wine"
export EXELORE_WINDOWS_EXE="$PWD/build/mingw/exelore.exe"
unset DISPLAY WAYLAND_DISPLAY
# Create the prefix once, quietly, and keep one server for all runs: each run
# then costs a fraction of a second instead of Wine's start-up.
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1
build/ci/tests/wine_e2e_test --gtest_brief=1
