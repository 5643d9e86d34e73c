#!/usr/bin/env bash
# Catalog lookup cost, run by hand:
#   bench/catalog_bench.sh [build-dir] [count] [KiB per catalog] [large] [KiB per large]
# Builds a CatRoot of COUNT signed catalogs (default 5000 of ~60 KiB, about
# 300 MiB), the last LARGE of them (default none) of the larger size, then
# times with a warm cache `exelore /c` on an unsigned image that no catalog
# lists (every catalog is read) and on one that only the last catalog lists
# (every catalog read, that one verified), against `cat` of the whole folder
# to /dev/null in the same run (target: <= 1.5x), against `grep -rFq` of
# each image's hash bytes (for the miss every file read and searched, the
# same work as a lookup's scan), and the hit against `openssl dgst -sha256`
# of the catalog that lists it (the floor of checking its signature; target
# <= 2x). `scan` is one `exelore-scan --jobs 1` of 100 files, half listed by
# the last catalog and half by none: one process, the folder indexed once
# and the catalog verified once; its per-file cost is printed against the
# miss. Peak RSS from /usr/bin/time (target for the hit: <= 64 MiB). A
# real-size folder:
#   bench/catalog_bench.sh build/ci 3000 103 4 51200   (~500 MiB, four of 50 MiB)
# and the hit in one large catalog alone:
#   bench/catalog_bench.sh build/ci 1 51200
# Timed with bench/interleave.py, the commands run alternately.
set -euo pipefail
cd "$(dirname "$0")/.."
# /usr/bin/time for the peak RSS and python3 for the timings.
EXELORE_EXTRA_PACKAGES="time python3" ./scripts/install-deps.sh
build=${1:-build/default}
count=${2:-5000}
kib=${3:-60}
large=${4:-0}
large_kib=${5:-$kib}
cmake --build "$build" --target exelore exelore-scan make_catalogs >/dev/null

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
last=$(ls "$catroot" | LC_ALL=C sort -f | tail -n 1)
echo "the hit's catalog: $last, $(du -m --apparent-size "$catroot/$last" | cut -f1) MiB"
mkdir "$work/tree"
for i in $(seq 50); do cp "$work/hit.exe" "$work/tree/hit$i.exe"; cp "$work/miss.exe" "$work/tree/miss$i.exe"; done
# A process keeps what it read of a catalog only once the file has settled.
sleep 2

export SystemRoot="$work/windows" SSL_CERT_FILE="$work/pki/root.pem" SSL_CERT_DIR="$work/pki/ca"
echo "hit:  $("$build/exelore" /c "$work/hit.exe" | tail -n 1 | tr -d '\r')"
echo "miss: $("$build/exelore" /c "$work/miss.exe" | tail -n 1 | tr -d '\r')"
echo "scan: $("$build/exelore-scan" --jobs 1 "$work/tree" | grep -c ",verified,catalog,") of 100 verified through the catalog"
for f in hit miss; do
  /usr/bin/time -f "$f: peak RSS %M KiB" "$build/exelore" /c "$work/$f.exe" >/dev/null
done
/usr/bin/time -f "scan: peak RSS %M KiB" "$build/exelore-scan" --jobs 1 "$work/tree" >/dev/null

python3 bench/interleave.py 15 \
  "cat=bash -c 'cat $catroot/* > /dev/null'" \
  "grep-miss=bash $work/grep-miss.sh" \
  "grep-hit=bash $work/grep-hit.sh" \
  "dgst=openssl dgst -sha256 $catroot/$last" \
  "miss=$build/exelore /c $work/miss.exe" \
  "hit=$build/exelore /c $work/hit.exe" \
  "scan=$build/exelore-scan --jobs 1 $work/tree" > "$work/times.txt"

python3 - "$work/times.txt" <<'PY'
import sys
runs = {}
for line in open(sys.argv[1]):
    name, median, p25, p75 = line.split()
    runs[name] = (float(median), float(p25), float(p75))
cat = runs["cat"][0]
print(f"{'case':9} {'median ms':>10} {'p25 ms':>8} {'x cat':>6} {'x grep of the same hash':>24}")
for name in ("cat", "grep-miss", "grep-hit", "dgst", "miss", "hit", "scan"):
    median, p25, _ = runs[name]
    grep = runs.get("grep-" + name, runs[name])[0]
    print(f"{name:9} {median:10.1f} {p25:8.1f} {median/cat:6.2f} {median/grep:24.2f}")
print(f"hit: {runs['hit'][0]/runs['dgst'][0]:.2f} x openssl dgst -sha256 of its catalog (target <= 2)")
print(f"scan: {runs['scan'][0]/100:.2f} ms per file, {runs['scan'][0]/100/runs['miss'][0]:.3f} x one miss")
PY
