#!/usr/bin/env bash
# Signature verification timings, run by hand (not in CI).
#
#   bench/signed_bench.sh [build-dir]     (default: build/default)
#
# Builds small and 100 MiB signed files with the test tools (make_pe,
# sigtool pki, osslsigncode) and prints medians and ratios, each group of
# commands timed alternately in one run (bench/interleave.py):
#  (a) a small signed file (EC P-256 chain): exelore /c (whole process) and
#      sigtool verify (WinVerifyTrust alone) vs osslsigncode verify
#      -CAfile <test root>                                   -- want <= 0.3
#      and exelore / `true` (what starting any process costs) -- want <= 1.7
#  (a') the same with an RSA 2048 signer and issuer
#  (b) (a) with SSL_CERT_FILE = the system bundle and the test root in
#      SSL_CERT_DIR                                          -- want <= 5 ms
#  (c) the 96 MiB file vs openssl dgst -sha256               -- want <= 1.1
#      and peak RSS of the verification                      -- want < 16 MiB
#  (d) real files from scripts/fetch-real-files.sh [--large], when present,
#      in the default environment (Microsoft's root program list): a small
#      Microsoft DLL vs `true` and osslsigncode verify with the same anchors
#      (want <= 2.4 and <= 0.7), and the 83 MB node.exe vs openssl dgst
#      -sha256 (want <= 1.1)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# /usr/bin/time for the peak RSS and python3 for the timings.
EXELORE_EXTRA_PACKAGES="time python3" "$root/scripts/install-deps.sh"
build=${1:-$root/build/default}
cmake --build "$build" --target exelore sigtool make_pe >/dev/null
interleave=$root/bench/interleave.py

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tests/sigtool" pki "$work/pki"
"$build/tests/make_pe" "$work/small-unsigned.exe" >/dev/null
"$build/tests/make_pe" --size-mib 96 "$work/big-unsigned.exe" >/dev/null
sign() {  # identity, in, out
  osslsigncode sign -certs "$work/pki/$1-chain.pem" -key "$work/pki/$1.key" -h sha256 \
    -in "$work/$2" -out "$work/$3" >/dev/null
}
sign signer small-unsigned.exe small.exe
sign signer-rsa small-unsigned.exe small-rsa.exe
sign signer big-unsigned.exe big.exe
export SSL_CERT_DIR=$work/pki/ca SSL_CERT_FILE=$work/none
for f in small.exe small-rsa.exe; do
  "$build/exelore" /c "$work/$f" | grep -q '(verified)' || { echo "$f does not verify"; exit 1; }
done
"$build/tests/sigtool" verify "$work/big.exe" >/dev/null

declare -A ms
timed() {  # runs, name=command...: fills ms[name] with medians, prints them
  local name median p25 p75
  while read -r name median p25 p75; do
    ms[$name]=$median
    printf '    %-22s %8s ms   (%s .. %s)\n' "$name" "$median" "$p25" "$p75"
  done < <(python3 "$interleave" "$@")
}
ratio() { python3 -c "import sys; print('%.3f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }
reference="osslsigncode verify -CAfile $work/pki/root.pem -in"

echo "(a) small signed file, EC chain, root in SSL_CERT_DIR (medians, 300 alternating runs)"
timed 300 "true=true" "exelore=$build/exelore /c $work/small.exe" \
  "sigtool=$build/tests/sigtool verify $work/small.exe" "osslsigncode=$reference $work/small.exe"
echo "    exelore / osslsigncode   $(ratio "${ms[exelore]}" "${ms[osslsigncode]}")   (want <= 0.3)"
echo "    exelore / true           $(ratio "${ms[exelore]}" "${ms[true]}")   (want <= 1.7)"
echo "    sigtool / osslsigncode   $(ratio "${ms[sigtool]}" "${ms[osslsigncode]}")"

echo "(a') small signed file, RSA chain"
timed 300 "true=true" "exelore=$build/exelore /c $work/small-rsa.exe" \
  "osslsigncode=$reference $work/small-rsa.exe"
echo "    exelore / osslsigncode   $(ratio "${ms[exelore]}" "${ms[osslsigncode]}")"

echo "(b) as (a), SSL_CERT_FILE = the system bundle"
SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt \
  timed 300 "true=true" "exelore=$build/exelore /c $work/small.exe" \
  "sigtool=$build/tests/sigtool verify $work/small.exe"
echo "    (want exelore <= 5 ms)"

echo "(c) 96 MiB signed file (30 alternating runs)"
timed 30 "sigtool=$build/tests/sigtool verify $work/big.exe" "openssl-dgst=openssl dgst -sha256 $work/big.exe"
echo "    sigtool / openssl dgst   $(ratio "${ms[sigtool]}" "${ms[openssl-dgst]}")   (want <= 1.1)"
rss=$(/usr/bin/time -v "$build/tests/sigtool" verify "$work/big.exe" 2>&1 >/dev/null |
      awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
echo "    peak RSS                 $((rss / 1024)) MiB (${rss} KiB)   (want < 16 MiB)"

real=${EXELORE_REAL_FILES:-$root/build/real-files}
small_real=$real/ms-conpty-x64-2025.dll
large_real=$real/large-digicert-node-22.12.0.exe
if [[ -f $small_real ]]; then
  unset SSL_CERT_FILE SSL_CERT_DIR
  cp "$root"/platform/posix/common/authenticode/root_program/roots.pem "$work/anchors.pem"
  "$build/exelore" /c "$small_real" | grep -q '(verified)' || { echo "$small_real does not verify"; exit 1; }
  echo "(d) real Microsoft DLL (RFC 3161 token), default environment (300 alternating runs)"
  timed 300 "true=true" "exelore=$build/exelore /c $small_real" \
    "osslsigncode=osslsigncode verify -ignore-cdp -ignore-crl -CAfile $work/anchors.pem -TSA-CAfile $work/anchors.pem -in $small_real"
  echo "    exelore / true           $(ratio "${ms[exelore]}" "${ms[true]}")   (want <= 2.4)"
  echo "    exelore / osslsigncode   $(ratio "${ms[exelore]}" "${ms[osslsigncode]}")   (want <= 0.7)"
fi
if [[ -f $large_real ]]; then
  echo "(d') real 83 MB signed node.exe (30 alternating runs)"
  timed 30 "exelore=$build/exelore /c $large_real" "openssl-dgst=openssl dgst -sha256 $large_real"
  echo "    exelore / openssl dgst   $(ratio "${ms[exelore]}" "${ms[openssl-dgst]}")   (want <= 1.1)"
fi
