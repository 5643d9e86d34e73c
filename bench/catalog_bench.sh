#!/usr/bin/env bash
# Catalog lookup cost, run by hand:
#   bench/catalog_bench.sh [build-dir] [count] [KiB per catalog] [large] [KiB per large]
# Builds a CatRoot of COUNT signed catalogs (default 5000 of ~60 KiB, about
# 300 MiB), the last LARGE of them (default none) of the larger size, then
# times with a warm cache `exelore /c` on an unsigned image that no catalog
# lists (every catalog is read) and on one that only the last catalog lists
# (every catalog read, that one decoded and verified), against `cat` of the
# whole folder to /dev/null in the same run (target: <= 1.5x), and against
# `grep -rFq` of each image's hash bytes (for the miss every file read and
# searched, the same work as a lookup's scan). A real-size folder:
#   bench/catalog_bench.sh build/ci 3000 103 4 51200   (~500 MiB, four of 50 MiB)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
count=${2:-5000}
kib=${3:-60}
large=${4:-0}
large_kib=${5:-$kib}
cmake --build "$build" --target exelore make_catalogs >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "generating $count catalogs of ~$kib KiB, $large of them of ~$large_kib KiB ..."
"$build/tests/make_catalogs" "$work" "$count" "$kib" "$large" "$large_kib"
catroot="$work/windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}"
# Each hash as grep's fixed string (its 20 bytes hold no line end or NUL for
# the images make_catalogs writes; checked here). grep visits files in
# directory order, not the lookup's, so for the hit it may stop early.
for f in hit miss; do
  if od -An -tx1 "$work/$f.sha1" | grep -qE ' (00|0a)'; then echo "$f hash holds a line end" >&2; exit 1; fi
  printf 'LC_ALL=C grep -rFqa -- "$(cat %q)" %q\n' "$work/$f.sha1" "$catroot" > "$work/grep-$f.sh"
done
echo "database: $(ls "$catroot" | wc -l) files, $(du -sm --apparent-size "$catroot" | cut -f1) MiB"

export SystemRoot="$work/windows" SSL_CERT_FILE="$work/pki/root.pem" SSL_CERT_DIR="$work/pki/ca"
echo "hit:  $("$build/exelore" /c "$work/hit.exe" | tail -n 1 | tr -d '\r')"
echo "miss: $("$build/exelore" /c "$work/miss.exe" | tail -n 1 | tr -d '\r')"
for f in hit miss; do
  /usr/bin/time -f "$f: peak RSS %M KiB" "$build/exelore" /c "$work/$f.exe" >/dev/null
done

hyperfine -N -i --warmup 3 --runs 15 --export-json "$work/times.json" \
  -n cat "bash -c 'cat \"$catroot\"/* > /dev/null'" \
  -n grep-miss "bash $work/grep-miss.sh" \
  -n grep-hit "bash $work/grep-hit.sh" \
  -n miss "$build/exelore /c $work/miss.exe" \
  -n hit "$build/exelore /c $work/hit.exe" >/dev/null

python3 - "$work/times.json" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
cat = runs["cat"]["median"]
print(f"{'case':9} {'median ms':>10} {'min ms':>8} {'x cat':>6} {'x grep of the same hash':>24}")
for name in ("cat", "grep-miss", "grep-hit", "miss", "hit"):
    r = runs[name]
    grep = runs.get("grep-" + name, r)["median"]
    print(f"{name:9} {r['median']*1e3:10.1f} {r['min']*1e3:8.1f} {r['median']/cat:6.2f} {r['median']/grep:24.2f}")
PY
