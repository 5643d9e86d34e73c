#!/usr/bin/env bash
# Console-mode cost, run by hand:
#   bench/console_bench.sh [build-dir]
# Times `exelore /c` on a small PE and on a 1 GiB file (sparse overlay, no
# signature) against `true` (a bare process start) measured in the same run
# (want the small one <= 1.3 x true), and counts the bytes each run reads
# from the file (strace).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
EXELORE_EXTRA_PACKAGES="hyperfine strace" ./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build "$build" --target exelore make_pe >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tests/make_pe" "$work/small.exe" >/dev/null
cp "$work/small.exe" "$work/huge.exe"
truncate -s 1G "$work/huge.exe"

hyperfine -N --warmup 50 --runs 500 --export-json "$work/times.json" \
  -n true 'true' \
  -n small "$build/exelore /c $work/small.exe" \
  -n huge "$build/exelore /c $work/huge.exe" >/dev/null

python3 - "$work/times.json" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
base = runs["true"]["median"]
print(f"{'case':8} {'median ms':>10} {'mean ms':>9} {'x true':>7}")
for name in ("true", "small", "huge"):
    r = runs[name]
    print(f"{name:8} {r['median']*1e3:10.3f} {r['mean']*1e3:9.3f} {r['median']/base:7.2f}")
PY

for name in small huge; do
  strace -f -e trace=read,pread64 -e signal=none -o "$work/trace" \
    "$build/exelore" /c "$work/$name.exe" >/dev/null
  bytes=$(awk -F'= ' '/(read|pread64)\(/ && $NF ~ /^[0-9]+$/ {s += $NF} END {print s + 0}' "$work/trace")
  size=$(stat -c %s "$work/$name.exe")
  echo "$name: file $size bytes, read $bytes bytes in total (libraries included)"
done
