#!/usr/bin/env bash
# A whole Windows volume, run by hand:
#   bench/volume_bench.sh [build-dir] [scale] [sample] [runs]
# Writes a synthetic volume with tests/make_volume (at scale 1: 3,500 PE
# images in System32, 3,000 catalogs of ~100 KiB and four of ~49 MiB; a
# scale of 0.1 makes a tenth of everything), checks what exelore-scan says of
# each image against what the volume was made to hold, then times with a
# warm cache, RUNS (default 5) rounds run alternately (bench/interleave.py):
#  - exelore-scan over System32 (default jobs, and --jobs 1), with SystemRoot
#    the volume's Windows folder and the test root as the trust anchor;
#  - one `openssl dgst -sha1` process over every file of the volume (the
#    floor: each file read and hashed once at OpenSSL's speed)
#                                       -- want scan / openssl-sha1 <= 2.0;
#  - one sha1sum pass over the same files (slower than OpenSSL's SHA-1)
#                                               -- want scan / sha1sum <= 1.5;
#  - `xargs -n 1 exelore /c` over SAMPLE of the images (default 100, 0 for
#    all; evenly spaced in path order), the time for all of them extrapolated
#    from it                   -- want (xargs exelore /c) / scan >= 100;
#  - with BASELINE=other-build-dir, that build's exelore-scan too, in the
#    same rounds (a before/after figure under the same load).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# /usr/bin/time for the peak RSS and python3 for the timings.
EXELORE_EXTRA_PACKAGES="time python3" "$root/scripts/install-deps.sh"
build=${1:-$root/build/default}
scale=${2:-1}
sample=${3:-100}
runs=${4:-5}
((runs >= 2)) || { echo "volume_bench: runs must be at least 2 (medians and ranges)" >&2; exit 2; }
cmake --build "$build" --target exelore exelore-scan make_volume >/dev/null
interleave=$root/bench/interleave.py

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
volume=$work/volume
system32=$volume/Windows/System32
echo "generating a volume at scale $scale ..."
"$build/tests/make_volume" "$volume" "$scale"
export SystemRoot=$volume/Windows SSL_CERT_FILE=$volume/pki/root.pem SSL_CERT_DIR=$volume/pki/ca

cut -f1 "$volume/expected.tsv" | sort > "$work/images"
total=$(wc -l < "$work/images")
if ((sample <= 0 || sample > total)); then sample=$total; fi
awk -v total="$total" -v n="$sample" -v dir="$volume" \
  'NR - 1 == int(taken * total / n) { print dir "/" $0; ++taken }' "$work/images" > "$work/sample"
catalogs=$(find "$system32/CatRoot" -type f | wc -l)
echo "volume: $(find "$volume/Windows" -type f | wc -l) files," \
  "$(du -sm --apparent-size "$volume/Windows" | cut -f1) MiB; $total PE images" \
  "($(find "$system32" -path "$system32/CatRoot" -prune -o -type f -print0 |
      du -cm --apparent-size --files0-from=- | tail -n 1 | cut -f1) MiB outside CatRoot)," \
  "$catalogs catalogs ($(du -sm --apparent-size "$system32/CatRoot" | cut -f1) MiB)"

printf 'find %q -type f -print0 | xargs -0 sha1sum > /dev/null\n' "$volume/Windows" > "$work/sha1sum.sh"
# One process over every file: the largest command line (xargs's default
# buffer is 128 KiB).
printf 'cd %q && find . -type f -print0 | xargs -0 -s %d openssl dgst -sha1 > /dev/null\n' \
  "$volume/Windows" "$(($(getconf ARG_MAX) - 65536))" > "$work/openssl-sha1.sh"
printf 'xargs -n 1 -a %q %q /c > /dev/null\n' "$work/sample" "$build/exelore" > "$work/xargs.sh"
find "$volume/Windows" -type f -exec cat {} + > /dev/null  # warm the page cache

# What the scan and the console say, against what the volume holds. The
# console prints no publisher line for an image without a version resource.
/usr/bin/time -f "%e %M" -o "$work/scan.time" \
  "$build/exelore-scan" --format csv "$system32" > "$work/scan.csv"
xargs -n 1 -a "$work/sample" "$build/exelore" /c > "$work/console.txt"
read -r scan_seconds scan_kib < "$work/scan.time"
echo "one scan: ${scan_seconds} s, peak RSS $((scan_kib / 1024)) MiB"
checked=0
python3 - "$volume" "$work/scan.csv" "$work/sample" "$work/console.txt" <<'PY' || checked=$?
import collections, csv, sys
volume, scan_csv, sample_list, console = sys.argv[1:]
expected = {}
for line in open(f"{volume}/expected.tsv", encoding="utf-8"):
    path, verdict, source, catalogs, version = line.rstrip("\n").split("\t")
    expected[f"{volume}/{path}"] = (verdict, source, set(catalogs.split("|")) - {""}, version)
rows = {r["path"]: r for r in csv.DictReader(open(scan_csv, newline="", encoding="utf-8"))}
# The volume's list says "" where the scan says "unsigned".
for r in rows.values():
    r["verdict"] = "" if r["verdict"] == "unsigned" else r["verdict"]
want = collections.Counter((e[0], e[1]) for e in expected.values())
got = collections.Counter((r["verdict"], r["source"]) for r in rows.values())
print(f"  {'verdict':10} {'source':9} {'scan':>6} {'expected':>9}")
for key in sorted(want.keys() | got.keys(), key=lambda k: (k[0] == "", k)):
    print(f"  {key[0] or '-':10} {key[1] or '-':9} {got[key]:6} {want[key]:9}")
wrong = [p for p, e in expected.items() if p in rows and (
    (rows[p]["verdict"], rows[p]["source"]) != e[:2] or
    (e[2] and rows[p]["catalog"] not in e[2]) or rows[p]["error"])]
missing = expected.keys() - rows.keys()
extra = rows.keys() - expected.keys()
print(f"  records: {len(rows)} ({len(missing)} images missing, {len(extra)} other files,"
      f" {len(wrong)} records not as expected)")
for p in sorted(wrong)[:5] + sorted(missing)[:5] + sorted(extra)[:5]:
    print(f"    {p}: {dict(rows[p]) if p in rows else 'missing'}")
marks = {"verified": " (verified)", "unverified": " (UNVERIFIED)"}
lines = [line.rstrip("\r\n") for line in open(console, encoding="utf-8", errors="replace")]
console_got = collections.Counter(m for line in lines if line.startswith("PublisherName:")
                                  for m in marks if line.endswith(marks[m]))
sampled = [expected[p.rstrip("\n")] for p in open(sample_list, encoding="utf-8")]
console_want = collections.Counter(e[0] for e in sampled if e[0] and e[3])
print(f"  exelore /c on the sample of {len(sampled)}: {dict(console_got)}"
      f" (expected {dict(console_want)})")
sys.exit(1 if wrong or missing or extra or console_got != console_want else 0)
PY
((checked == 0)) || echo "WARNING: the answers are not what the volume holds (figures below still printed)"

declare -A ms
echo "timings: medians of $runs alternating rounds"
while read -r name median p25 p75; do
  ms[$name]=$median
  printf '    %-14s %10s ms   (%s .. %s)\n' "$name" "$median" "$p25" "$p75"
done < <(python3 "$interleave" --warmup 1 "$runs" \
  "scan=$build/exelore-scan --format csv $system32" \
  "scan-jobs-1=$build/exelore-scan --jobs 1 --format csv $system32" \
  "sha1sum=bash $work/sha1sum.sh" \
  "openssl-sha1=bash $work/openssl-sha1.sh" \
  "xargs-sample=bash $work/xargs.sh" \
  ${BASELINE:+"baseline=$BASELINE/exelore-scan --format csv $system32"} \
  ${BASELINE:+"baseline-jobs-1=$BASELINE/exelore-scan --jobs 1 --format csv $system32"})
ratio() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }
xargs_all=$(python3 -c "import sys; print('%.0f' % (float(sys.argv[1]) * int(sys.argv[2]) / int(sys.argv[3])))" \
  "${ms[xargs-sample]}" "$total" "$sample")
label="measured on all $total images"
((sample == total)) || label="EXTRAPOLATED from $sample of $total images"
echo "    xargs exelore /c, all   $xargs_all ms   ($label)"
echo "    scan / openssl-sha1       $(ratio "${ms[scan]}" "${ms[openssl-sha1]}")   (want <= 2.0; $(nproc) cores, openssl on one)"
echo "    scan / sha1sum            $(ratio "${ms[scan]}" "${ms[sha1sum]}")   (want <= 1.5; $(nproc) cores, sha1sum on one)"
echo "    scan --jobs 1 / sha1sum   $(ratio "${ms[scan-jobs-1]}" "${ms[sha1sum]}")"
if [[ -n ${BASELINE:-} ]]; then
  echo "    baseline / sha1sum        $(ratio "${ms[baseline]}" "${ms[sha1sum]}")   ($BASELINE)"
  echo "    scan / baseline           $(ratio "${ms[scan]}" "${ms[baseline]}")"
  echo "    scan --jobs 1 / baseline --jobs 1   $(ratio "${ms[scan-jobs-1]}" "${ms[baseline-jobs-1]}")"
fi
echo "    xargs exelore /c / scan   $(ratio "$xargs_all" "${ms[scan]}")   (want >= 100; $label)"
exit "$checked"
