#!/usr/bin/env bash
# Installs what is missing, builds, makes a sample executable, signs it with a
# throwaway test certificate, and prints its report in console mode.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target exelore make_pe

work=build/demo
rm -rf "$work" && mkdir -p "$work"
build/default/tests/make_pe --company "ExeLore Demo" --product "Sample" \
  --description "A sample executable" "$work/unsigned.exe" >/dev/null

# A throwaway root and code-signing certificate, trusted only for this run.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
  -subj "/CN=ExeLore Demo Root" -keyout "$work/root.key" -out "$work/root.pem" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -subj "/CN=ExeLore Demo Publisher" -keyout "$work/signer.key" -out "$work/signer.csr" 2>/dev/null
openssl x509 -req -in "$work/signer.csr" -CA "$work/root.pem" -CAkey "$work/root.key" \
  -CAcreateserial -days 30 -out "$work/signer.pem" \
  -extfile <(printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n') 2>/dev/null
osslsigncode sign -certs "$work/signer.pem" -key "$work/signer.key" -h sha256 \
  -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null

echo "--- exelore /c $work/signed.exe"
SSL_CERT_FILE="$work/root.pem" build/default/exelore /c "$work/signed.exe"
