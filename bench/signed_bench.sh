#!/usr/bin/env bash
# Signature verification timings, run by hand (not in CI).
#
#   bench/signed_bench.sh [build-dir]     (default: build/default)
#
# Builds a small and a 100 MiB signed file with the test tools (make_pe,
# sigtool pki, osslsigncode) and prints medians and ratios:
#  (a) a small signed file: sigtool verify (WinVerifyTrust through the
#      stand-in, whole process) vs osslsigncode verify       -- want <= 0.3
#  (b) the same with SSL_CERT_FILE = the system bundle and the test root in
#      SSL_CERT_DIR                                          -- want <= 5 ms
#  (c) the 100 MiB file vs openssl dgst -sha256              -- want <= 1.15
#      and peak RSS of the verification                      -- want < 16 MiB
# When the exelore binary prints the publisher line, its console mode is
# timed as well.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/default}
cmake --build "$build" --target sigtool make_pe >/dev/null
command -v hyperfine >/dev/null || { echo "hyperfine is needed (apt-get install -y hyperfine)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tests/sigtool" pki "$work/pki"
"$build/tests/make_pe" "$work/small-unsigned.exe" >/dev/null
"$build/tests/make_pe" --size-mib 100 "$work/big-unsigned.exe" >/dev/null
for f in small big; do
  osslsigncode sign -certs "$work/pki/signer-chain.pem" -key "$work/pki/signer.key" -h sha256 \
    -in "$work/$f-unsigned.exe" -out "$work/$f.exe" >/dev/null
done
export SSL_CERT_DIR=$work/pki/ca SSL_CERT_FILE=$work/none
"$build/tests/sigtool" verify "$work/small.exe"
"$build/tests/sigtool" verify "$work/big.exe"

median() {  # prints the median in milliseconds of hyperfine's JSON export
  python3 -c 'import json,sys; print("%.3f" % (json.load(open(sys.argv[1]))["results"][0]["median"]*1000))' "$1"
}
run() {  # name, command...
  local name=$1; shift
  hyperfine -N -w 5 -m 30 --export-json "$work/$name.json" "$@" >/dev/null 2>&1 ||
    hyperfine -w 5 -m 30 --export-json "$work/$name.json" "$*" >/dev/null
  median "$work/$name.json"
}
ratio() { python3 -c "import sys; print('%.3f' % (float(sys.argv[1]) / float(sys.argv[2])))" "$1" "$2"; }

echo "(a) small signed file, root in SSL_CERT_DIR"
a_ours=$(run a-ours "$build/tests/sigtool" verify "$work/small.exe")
a_ref=$(run a-ref osslsigncode verify -CAfile "$work/pki/root.pem" -in "$work/small.exe")
echo "    sigtool verify       ${a_ours} ms"
echo "    osslsigncode verify  ${a_ref} ms"
echo "    ratio                $(ratio "$a_ours" "$a_ref")   (want <= 0.3)"
if [ -x "$build/exelore" ] && "$build/exelore" /c "$work/small.exe" 2>/dev/null | grep -q '(verified)'; then
  a_exe=$(run a-exe "$build/exelore" /c "$work/small.exe")
  echo "    exelore /c           ${a_exe} ms, ratio $(ratio "$a_exe" "$a_ref")"
fi

echo "(b) SSL_CERT_FILE = system bundle, root in SSL_CERT_DIR"
b_ours=$(SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt run b-ours "$build/tests/sigtool" verify "$work/small.exe")
echo "    sigtool verify       ${b_ours} ms   (want <= 5)"

echo "(c) 100 MiB signed file"
c_ours=$(run c-ours "$build/tests/sigtool" verify "$work/big.exe")
c_ref=$(run c-ref openssl dgst -sha256 "$work/big.exe")
echo "    sigtool verify       ${c_ours} ms"
echo "    openssl dgst -sha256 ${c_ref} ms"
echo "    ratio                $(ratio "$c_ours" "$c_ref")   (want <= 1.15)"
rss=$(/usr/bin/time -v "$build/tests/sigtool" verify "$work/big.exe" 2>&1 >/dev/null |
      awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
echo "    peak RSS             $((rss / 1024)) MiB (${rss} KiB)   (want < 16 MiB)"
