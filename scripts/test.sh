#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds, and runs every
# test: the test suite, the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows cross build of the program.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== source formatting (.clang-format)" >&2
./scripts/format.sh --check

echo "== real signed files from public packages" >&2
./scripts/fetch-real-files.sh
export EXELORE_REQUIRE_REAL_FILES=1

echo "== build and test (ci preset: warnings are errors)" >&2
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

echo "== build and test under ASan and UBSan" >&2
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --preset asan -j "$jobs"

echo "== Windows cross build against the real SDK" >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"

echo "== the Windows release zip, its executable under Wine compared with the Linux build" >&2
cmake --build --preset mingw --target release
./scripts/wine-e2e.sh

echo "== the Debian package and installs to a temporary prefix" >&2
./scripts/package-check.sh

if [[ -x scripts/fuzz-smoke.sh ]]; then
  echo "== fuzz smoke runs" >&2
  ./scripts/fuzz-smoke.sh
fi
echo "All tests passed." >&2
