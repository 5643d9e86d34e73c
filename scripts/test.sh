#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds, and runs every
# test, in stages: the test suite (warnings are errors), the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, the README's commands for
# building, testing and packaging by hand, the Windows zip and its
# executable under Wine, the Debian package and installs, and short fuzzing
# runs.
#
# Each stage prints one line as it starts; at the end a summary gives each
# stage's result: passed, failed, or not run (a stage whose prerequisite did
# not pass is not run; the others still are). The script exits non-zero when
# any stage did not pass. A test that skips counts as a failure here: every
# skip in this suite means a missing tool or fixture. Each stage's output
# is also kept in build/test-logs/.
#
# `test.sh --quick` does only what a change needs before it is committed:
# builds the ci preset and runs its tests but for the long sweeps, the
# real files, the end-to-end runs and the fuzz replays (no installs, no other
# presets). What it leaves out, the full run does.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
if [[ "${1:-}" == --quick ]]; then
  slow='ByteFlips|Truncat|EveryPrefix|Differential\.|NoFlip|Damaged|RealFiles|EndToEnd|fuzz_|Large'
  cmake --preset ci >/dev/null && cmake --build --preset ci -j "$jobs" &&
    ctest --preset ci -j "$jobs" -E "$slow"
  exit
elif (($# > 0)); then
  echo "usage: scripts/test.sh [--quick]" >&2
  exit 2
fi
logs=build/test-logs
mkdir -p "$logs"

names=() results=() times=()
result_of() {
  local i
  for i in "${!names[@]}"; do
    if [[ "${names[i]}" == "$1" ]]; then echo "${results[i]}"; return; fi
  done
  echo "not run"
}

# stage NAME "PREREQUISITES" DESCRIPTION COMMAND...: runs COMMAND (a
# function of this script) with errexit, unless a prerequisite did not pass.
stage() {
  local name=$1 needs=$2 description=$3 n status
  shift 3
  for n in $needs; do
    if [[ $(result_of "$n") != passed ]]; then
      echo "== $name: not run, as $n did not pass" >&2
      names+=("$name") results+=("not run") times+=("($n did not pass)")
      return
    fi
  done
  echo "== $name: $description" >&2
  SECONDS=0
  (set -euo pipefail; "$@") 2>&1 | tee "$logs/$name.log"
  status=${PIPESTATUS[0]}
  names+=("$name") times+=("$((SECONDS / 60)) min $((SECONDS % 60)) s")
  if ((status == 0)); then results+=(passed); else results+=(failed); fi
}

# ctest with the given preset; a skipped test fails the run. ctest itself
# counts a skip as a pass, and lists it only under "did not run".
ctest_no_skips() {
  local out=$logs/ctest-$1.out
  ctest --preset "$1" -j "$jobs" "${@:2}" 2>&1 | tee "$out"
  no_skips "$out"
}
no_skips() {
  local skipped
  skipped=$(grep -E '\(Skipped\)|\*\*\*Skipped|^\[  SKIPPED \] [^0-9]' "$1" | sort -u || true)
  if [[ -n "$skipped" ]]; then
    printf '%s\n' "$skipped" >&2
    echo "test.sh: the tests above were skipped; a skip means a missing tool or fixture here" >&2
    return 1
  fi
}

deps() { ./scripts/install-deps.sh; }
format() { ./scripts/format.sh --check && ./scripts/check-size.sh; }
real_files() { ./scripts/fetch-real-files.sh; }
# The real files' tests fail, rather than skip, when a file is missing.
export EXELORE_REQUIRE_REAL_FILES=1
suite() {
  cmake --preset ci >/dev/null
  cmake --build --preset ci -j "$jobs"
  ctest_no_skips ci
}
sanitizers() {
  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest_no_skips asan
  # The parallel scan under ThreadSanitizer: a data race ends exelore-scan
  # with status 66, which fails its test.
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j "$jobs"
  TSAN_OPTIONS=halt_on_error=1:exitcode=66 ctest_no_skips tsan -R Scan
}
# The README's "Building by hand" and packaging commands, as written there
# (the system-wide install is left to .ci/run's fresh system).
readme() {
  local prefix=$logs/readme-prefix
  cmake --preset default && cmake --build --preset default || return 1
  ctest_no_skips default
  cmake --build --preset default --target format-check
  cmake --workflow --preset package
  rm -rf "$prefix"
  cmake --install build/default --prefix "$prefix"
  build/default/tests/make_pe --company "ExeLore README" "$prefix/sample.exe"
  "$prefix/bin/exelore" /c "$prefix/sample.exe" | grep -q '^CompanyName: ExeLore README' ||
    { echo "the installed exelore did not report $prefix/sample.exe" >&2; return 1; }
}
windows_zip() {
  cmake --workflow --preset windows-release
  cmake --build --preset mingw -j "$jobs"  # anything else the cross build holds
}
wine_e2e() {
  ./scripts/wine-e2e.sh 2>&1 | tee "$logs/wine-e2e.out"
  no_skips "$logs/wine-e2e.out"
}
package() { ./scripts/package-check.sh; }
fuzz() { ./scripts/fuzz-smoke.sh; }

stage deps "" "install what is missing (scripts/install-deps.sh)" deps
stage format "deps" "source formatting (.clang-format), and the trust code's file and function sizes" format
stage real-files "deps" "real signed files from public packages" real_files
stage suite "deps" "build and test (ci preset: warnings are errors)" suite
stage sanitizers "deps" "build and test under ASan and UBSan, and the parallel scan under TSan" sanitizers
stage readme "deps" "the README's commands: build, test, package and install by hand" readme
stage windows-zip "deps" "the Windows cross build and its release zip" windows_zip
stage wine "suite windows-zip" "the zip's executable under Wine, compared with the Linux build" wine_e2e
stage package "suite windows-zip" "the Debian package, the zip's contents and installs to a temporary prefix" package
stage fuzz "deps" "fuzz smoke runs" fuzz

echo "== summary" >&2
failed=0 passed=0 not_run=0
for i in "${!names[@]}"; do
  printf '  %-8s %-12s %s\n' "${results[i]}" "${names[i]}" "${times[i]}" >&2
  case "${results[i]}" in
    passed) passed=$((passed + 1)) ;;
    failed) failed=$((failed + 1)) ;;
    *) not_run=$((not_run + 1)) ;;
  esac
done
echo "test.sh: $passed stages passed, $failed failed, $not_run not run" >&2
((failed == 0 && not_run == 0))
