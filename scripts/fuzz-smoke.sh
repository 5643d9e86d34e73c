#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan) and runs each for a
# short fixed time from the seed corpus (as many at once as there are
# cores), so a regression is caught. Longer runs: see fuzz/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${EXELORE_FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target fuzz_targets
targets=$(cat build/fuzz/fuzz/targets.txt)  # written by fuzz/CMakeLists.txt

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/fuzz/fuzz/make_seeds "$work/seeds"
# One run per core at a time; each prints its line as it starts and its
# statistics as it ends, and a failure shows the end of its log.
cores=$(nproc 2>/dev/null || echo 2)
fuzz_one() {
  local t=$1
  mkdir -p "$work/corpus/$t" "$work/seeds/$t"
  echo "-- fuzz_$t for ${seconds}s" >&2
  if (cd "$work" && "$OLDPWD/build/fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=65536 \
        -print_final_stats=1 "corpus/$t" "seeds/$t" "$OLDPWD/fuzz/regressions/$t") 2>"$work/$t.log"; then
    echo "-- fuzz_$t: $(grep -E '^stat::number_of_executed_units' "$work/$t.log" || echo done)" >&2
  else
    tail -n 60 "$work/$t.log" >&2
    echo "-- fuzz_$t failed" >&2
    return 1
  fi
}
pids=() failed=0
for t in $targets; do
  while (($(jobs -rp | wc -l) >= cores)); do wait -n || failed=1; done
  fuzz_one "$t" &
  pids+=($!)
done
while (($(jobs -rp | wc -l) > 0)); do wait -n || failed=1; done
exit "$failed"
