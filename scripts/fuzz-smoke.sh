#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan and UBSan) and runs each for a
# short fixed time from the seed corpus, so a regression is caught. Longer
# runs: see fuzz/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${EXELORE_FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
targets=$(sed -n 's/^set(EXELORE_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
build_targets=(make_seeds)
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build build/fuzz -j "$(nproc 2>/dev/null || echo 2)" --target "${build_targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/fuzz/fuzz/make_seeds "$work/seeds"
for t in $targets; do
  mkdir -p "$work/corpus/$t" "$work/seeds/$t"
  echo "-- fuzz_$t for ${seconds}s" >&2
  (cd "$work" && "$OLDPWD/build/fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=65536 \
      -print_final_stats=1 "corpus/$t" "seeds/$t" "$OLDPWD/fuzz/regressions/$t") \
    2>"$work/$t.log" || { tail -n 60 "$work/$t.log" >&2; exit 1; }
  grep -E '^(stat::number_of_executed_units|#[0-9]+ +DONE)' "$work/$t.log" >&2 || true
done
