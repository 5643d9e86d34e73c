#!/usr/bin/env bash
# Runs the Windows executable under Wine, headless and in a throwaway prefix,
# over the end-to-end fixtures, and compares its output with the Linux build's
# (build/ci): tests/e2e/wine_e2e_test.cpp holds the cases and the list of known
# Wine differences.
#
#   wine-e2e.sh [EXE-OR-ZIP]   (default: the release zip of build/mingw, as
#                               `cmake --build --preset mingw --target release`
#                               makes it; the executables inside are run, and
#                               exelore-scan.exe beside a given EXE)
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

work=$(mktemp -d "${TMPDIR:-/tmp}/exelore-wine.XXXXXX")
prefix=$work/prefix
mkdir "$prefix"
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# TMPDIR too: Wine keeps its server's socket folder there, and the fixtures
# go there; both leave with the work folder.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" EXELORE_WINE="$wine"
export TMPDIR="$work"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw/CMakeCache.txt)
artifact=$(realpath "${1:-build/mingw/exelore-$version-win64.zip}")
if [[ "$artifact" == *.zip ]]; then
  (cd "$work" && cmake -E tar xf "$artifact")
  artifact=$(echo "$work"/exelore-*/exelore.exe)
fi
export EXELORE_WINDOWS_EXE="$artifact" EXELORE_WINDOWS_SCAN_EXE="$(dirname "$artifact")/exelore-scan.exe"
unset DISPLAY WAYLAND_DISPLAY
# Create the prefix once, quietly, and keep one server for all runs: each run
# then costs a fraction of a second instead of Wine's start-up.
"$wineserver" -p
"$wine" wineboot --init >/dev/null 2>&1
build/ci/tests/wine_e2e_test --gtest_brief=1
