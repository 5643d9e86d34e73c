#!/usr/bin/env bash
# What a certificate set stuffed with certificates named like the signer's
# issuer costs the chain search, run by hand (not in CI).
#
#   bench/crowd_bench.sh [build-dir]     (default: build/default)
#
# Signs a small file with the test PKI's RSA chain and adds, before the
# real issuer in the unsigned set (sigtool crowd), N certificates with the
# issuer's name and key identifier and RSA keys of their own ("others": one
# signature check each), or N cross certificates with the issuer's key
# under an attacker's authority ("crosses": each leads one level further).
# Prints the median of sigtool verify (WinVerifyTrust alone) per file, its
# ratio to the file without a crowd, and the status. Want: every "others"
# file verifies (the real issuer's key identifier ranks it first), "crosses"
# verify up to 2000 (they share the search's 2048 checks with the real
# issuer; 8000 is past that and fails with CERT_E_UNTRUSTEDROOT), and every
# file ends within about a second (most of it decoding a message of up to
# 5 MB). With --callgrind, also the instruction counts of one verification
# of each (valgrind).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
callgrind=false
if [[ ${1:-} == --callgrind ]]; then
  callgrind=true
  shift
fi
EXELORE_EXTRA_PACKAGES="python3 $($callgrind && echo valgrind)" "$root/scripts/install-deps.sh"
build=${1:-$root/build/default}
cmake --build "$build" --target sigtool make_pe >/dev/null
interleave=$root/bench/interleave.py

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tests/sigtool" pki "$work/pki"
"$build/tests/make_pe" "$work/unsigned.exe" >/dev/null
osslsigncode sign -certs "$work/pki/signer-rsa-chain.pem" -key "$work/pki/signer-rsa.key" \
  -h sha256 -in "$work/unsigned.exe" -out "$work/plain.exe" >/dev/null
export SSL_CERT_DIR=$work/pki/ca SSL_CERT_FILE=$work/none

files=(plain)
for kind in others crosses; do
  for n in 255 2000 8000; do
    "$build/tests/sigtool" crowd "$work/plain.exe" "$work/$kind-$n.exe" "$n" "$kind"
    files+=("$kind-$n")
  done
done

declare -A ms
commands=()
for f in "${files[@]}"; do commands+=("$f=$build/tests/sigtool verify $work/$f.exe"); done
echo "sigtool verify, medians of 20 alternating runs"
while read -r name median p25 p75; do ms[$name]=$median; done \
  < <(python3 "$interleave" --warmup 2 20 "${commands[@]}")
for f in "${files[@]}"; do
  verdict=$("$build/tests/sigtool" verify "$work/$f.exe" | cut -d" " -f2 || true)
  size=$(stat -c %s "$work/$f.exe")
  ratio=$(python3 -c "import sys; print('%.2f' % (float(sys.argv[1]) / float(sys.argv[2])))" \
    "${ms[$f]}" "${ms[plain]}")
  printf '    %-14s %9s bytes %9s ms  x%-7s status %s\n' "$f" "$size" "${ms[$f]}" "$ratio" "$verdict"
done
if $callgrind; then
  echo "instructions of one verification (callgrind)"
  for f in "${files[@]}"; do
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" \
      "$build/tests/sigtool" verify "$work/$f.exe" >/dev/null 2>"$work/cg.err" || true
    printf '    %-14s %s\n' "$f" "$(awk '/^summary:/ {print $2}' "$work/cg.out")"
  done
fi
