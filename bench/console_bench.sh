#!/usr/bin/env bash
# Cost of one request against its floor, run by hand:
#   bench/console_bench.sh [build-dir] [volume scale] [catalog KiB]
# One run prints, each group timed alternately (bench/interleave.py) with its
# baselines, medians and ratios:
#  (1) `exelore /c` on a small unsigned PE and on a 1 GiB file (sparse
#      overlay, no signature) against `true` (a bare process start; want the
#      small one <= 1.3 x true), and the bytes each run reads (strace);
#  (2) `exelore /c` on a small EC P-256-signed file (test PKI, root in
#      SSL_CERT_DIR) and on a real Microsoft DLL (build/real-files, RFC 3161
#      token, Microsoft's root program) against `true` and against
#      bench/floor.cpp (exelore_floor: reads the file, hashes the signed
#      ranges, and makes only the signature verifications a correct check
#      needs, with the same OpenSSL set up the same way) -- want <= 1.8 and
#      <= 2.5 x true;
#  (3) exelore-scan --jobs 2 (verdicts alone, and with its default hash
#      columns) over the System32 of a synthetic volume
#      (tests/make_volume at SCALE, default 1) against one `openssl dgst
#      -sha1` process over every file of the volume (the floor: each file
#      read and hashed once, at OpenSSL's speed) and one `sha1sum` process
#      over the same files -- want scan <= 2.0 x openssl;
#  (4) `exelore /c` on an image only a catalog lists (tests/make_catalogs:
#      one catalog of KIB KiB, default 51200) against `openssl dgst -sha256`
#      of that catalog -- want <= 1.3.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${1:-build/default}
scale=${2:-1}
catalog_kib=${3:-51200}
EXELORE_EXTRA_PACKAGES="strace python3" ./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build "$build" --target exelore exelore-scan exelore_floor make_pe sigtool make_volume \
  make_catalogs >/dev/null
interleave=$root/bench/interleave.py
floor=$build/bench/exelore_floor

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

declare -A ms
timed() {  # runs, name=command...: fills ms[name] with medians, prints them
  local name median p25 p75
  while read -r name median p25 p75; do
    ms[$name]=$median
    printf '    %-14s %10s ms   (%s .. %s)\n' "$name" "$median" "$p25" "$p75"
  done < <(python3 "$interleave" "$@")
}
ratio() { python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }

echo "(1) unsigned files (500 alternating runs)"
"$build/tests/make_pe" "$work/small.exe" >/dev/null
cp "$work/small.exe" "$work/huge.exe"
truncate -s 1G "$work/huge.exe"
timed --warmup 50 500 "true=true" "small=$build/exelore /c $work/small.exe" \
  "huge=$build/exelore /c $work/huge.exe"
echo "    small / true   $(ratio "${ms[small]}" "${ms[true]}")   (want <= 1.3)"
echo "    huge / true    $(ratio "${ms[huge]}" "${ms[true]}")"
for name in small huge; do
  strace -f -e trace=read,pread64 -e signal=none -o "$work/trace" \
    "$build/exelore" /c "$work/$name.exe" >/dev/null
  bytes=$(awk -F'= ' '/(read|pread64)\(/ && $NF ~ /^[0-9]+$/ {s += $NF} END {print s + 0}' "$work/trace")
  echo "    $name: file $(stat -c %s "$work/$name.exe") bytes, read $bytes bytes in total (libraries included)"
done

echo "(2) signed files against the floor (300 alternating runs each)"
"$build/tests/sigtool" pki "$work/pki" >/dev/null
osslsigncode sign -certs "$work/pki/signer-chain.pem" -key "$work/pki/signer.key" -h sha256 \
  -in "$work/small.exe" -out "$work/p256.exe" >/dev/null
check() {  # file anchors: both must accept the file
  "$build/exelore" /c "$1" | grep -q '(verified)' || { echo "exelore does not verify $1" >&2; exit 1; }
  "$floor" "$2" "$1" || { echo "the floor does not verify $1" >&2; exit 1; }
}
(
  export SSL_CERT_DIR=$work/pki/ca SSL_CERT_FILE=$work/none
  check "$work/p256.exe" "$work/pki/root.pem"
  echo "  small EC P-256-signed file"
  timed 300 "true=true" "exelore=$build/exelore /c $work/p256.exe" \
    "floor=$floor $work/pki/root.pem $work/p256.exe"
  echo "    exelore / true    $(ratio "${ms[exelore]}" "${ms[true]}")   (want <= 1.8)"
  echo "    floor / true      $(ratio "${ms[floor]}" "${ms[true]}")"
  echo "    exelore / floor   $(ratio "${ms[exelore]}" "${ms[floor]}")"
)
dll=${EXELORE_REAL_FILES:-$root/build/real-files}/ms-conpty-x64-2025.dll
if [[ -f $dll ]]; then
  # The floor's anchors: the program roots the DLL's two chains end at,
  # picked once from the whole list (not timed).
  "$floor" --pick platform/posix/common/authenticode/root_program/roots.pem "$dll" > "$work/ms.pem"
  check "$dll" "$work/ms.pem"
  echo "  real Microsoft DLL ($(basename "$dll"), RFC 3161 token)"
  timed 300 "true=true" "exelore=$build/exelore /c $dll" "floor=$floor $work/ms.pem $dll"
  echo "    exelore / true    $(ratio "${ms[exelore]}" "${ms[true]}")   (want <= 2.5)"
  echo "    floor / true      $(ratio "${ms[floor]}" "${ms[true]}")"
  echo "    exelore / floor   $(ratio "${ms[exelore]}" "${ms[floor]}")"
else
  echo "  $dll missing: run scripts/fetch-real-files.sh"
fi

echo "(3) exelore-scan over a synthetic volume at scale $scale (5 alternating rounds)"
volume=$work/volume
"$build/tests/make_volume" "$volume" "$scale" >/dev/null
# One process each over every file (as the scan, one program hashing every
# file): xargs given the largest command line the system takes (its default
# buffer is 128 KiB), and checked to need only one.
xargs="xargs -0 -s $(($(getconf ARG_MAX) - 65536))"
processes=$(cd "$volume/Windows" && find . -type f -print0 | $xargs sh -c 'echo' sh | wc -l)
((processes == 1)) || echo "    WARNING: the file list is split over $processes processes"
for tool in "openssl dgst -sha1" sha1sum; do
  printf 'cd %q && find . -type f -print0 | %s %s > /dev/null\n' "$volume/Windows" "$xargs" \
    "$tool" > "$work/${tool%% *}.sh"
done
find "$volume/Windows" -type f -exec cat {} + > /dev/null  # warm the page cache
echo "    $(find "$volume/Windows" -type f | wc -l) files," \
  "$(du -sm --apparent-size "$volume/Windows" | cut -f1) MiB"
(
  export SystemRoot=$volume/Windows SSL_CERT_FILE=$volume/pki/root.pem SSL_CERT_DIR=$volume/pki/ca
  # The verdicts alone (--hash none), and with the default hash columns,
  # which hash every image three times more (SHA-256 of the file, and its
  # two image hashes).
  timed --warmup 1 5 "scan=$build/exelore-scan --jobs 2 --hash none $volume/Windows/System32" \
    "scan-hashes=$build/exelore-scan --jobs 2 $volume/Windows/System32" \
    "openssl-sha1=bash $work/openssl.sh" "sha1sum=bash $work/sha1sum.sh"
  echo "    scan / openssl-sha1    $(ratio "${ms[scan]}" "${ms[openssl-sha1]}")   (want <= 2.0)"
  echo "    scan / sha1sum         $(ratio "${ms[scan]}" "${ms[sha1sum]}")"
  echo "    scan-hashes / openssl-sha1 $(ratio "${ms[scan-hashes]}" "${ms[openssl-sha1]}")"
  echo "    sha1sum / openssl-sha1 $(ratio "${ms[sha1sum]}" "${ms[openssl-sha1]}")"
)
rm -rf "$volume"

echo "(4) a catalog hit, one catalog of ~$catalog_kib KiB (30 alternating runs)"
"$build/tests/make_catalogs" "$work/cat" 1 "$catalog_kib" >/dev/null
catroot="$work/cat/windows/System32/CatRoot/{F750E6C3-38EE-11D1-85E5-00C04FC295EE}"
catalog=$(ls "$catroot" | LC_ALL=C sort -f | tail -n 1)
# A process keeps what it read of a catalog only once the file has settled.
sleep 2
(
  export SystemRoot=$work/cat/windows SSL_CERT_FILE=$work/cat/pki/root.pem SSL_CERT_DIR=$work/cat/pki/ca
  "$build/exelore" /c "$work/cat/hit.exe" | grep -q '(verified)' || { echo "the hit does not verify" >&2; exit 1; }
  timed --warmup 3 30 "hit=$build/exelore /c $work/cat/hit.exe" \
    "dgst=openssl dgst -sha256 $catroot/$catalog"
  echo "    hit / openssl dgst -sha256 of its catalog   $(ratio "${ms[hit]}" "${ms[dgst]}")   (want <= 1.3)"
)
