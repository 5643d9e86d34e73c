#!/usr/bin/env bash
# Replaces the built-in Microsoft root program list with a newer one:
#   scripts/update-root-program.sh NEW_AUTHROOT_STL NEW_ROOTS_PEM
# NEW_AUTHROOT_STL is Microsoft's authroot.stl as downloaded, NEW_ROOTS_PEM
# the root certificates it names (PEM, one block each; comment lines between
# blocks are kept). Checks that the list is a PKCS #7 SignedData and that the
# PEM holds one certificate per entry, copies both into the tree and updates
# the sha256 lines of PROVENANCE.md. No network: the list's signature and
# its match with the certificates are checked by the tests (root_program_test).
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 NEW_AUTHROOT_STL NEW_ROOTS_PEM" >&2
  exit 2
fi
stl=$1
pem=$2
here=$(cd "$(dirname "$0")/.." && pwd)
dest=$here/platform/posix/common/authenticode/root_program

for f in "$stl" "$pem"; do
  [[ -f $f && -r $f ]] || { echo "$0: cannot read $f" >&2; exit 1; }
done

# A SignedData whose content is a CTL (1.3.6.1.4.1.311.10.1).
if ! openssl pkcs7 -inform DER -in "$stl" -noout 2>/dev/null; then
  echo "$0: $stl is not a PKCS #7 SignedData in DER" >&2
  exit 1
fi
structure=$(openssl asn1parse -inform DER -in "$stl")
if ! grep -q ':1.3.6.1.4.1.311.10.1$' <<<"$structure"; then
  echo "$0: $stl does not hold a certificate trust list (1.3.6.1.4.1.311.10.1)" >&2
  exit 1
fi
# The entries: one 20-byte identifier (a root's SHA-1) each, at depth 8 of
# ContentInfo / SignedData / ContentInfo / [0] / CTL / SEQUENCE OF / entry.
subjects=$(grep -cE 'd=8 +hl=2 l= *20 prim: +OCTET STRING' <<<"$structure" || true)
certificates=$(grep -c -- '-----BEGIN CERTIFICATE-----' "$pem" || true)
if [[ $subjects -eq 0 || $subjects -ne $certificates ]]; then
  echo "$0: the list names $subjects roots, $pem holds $certificates certificates" >&2
  exit 1
fi
# Every block must decode as a certificate.
if ! openssl crl2pkcs7 -nocrl -certfile "$pem" | openssl pkcs7 -print_certs -noout >/dev/null; then
  echo "$0: $pem holds a block that is not a certificate" >&2
  exit 1
fi

# Windows' own ROOT store roots are read from roots.pem: every one must stay.
fingerprints=$(openssl crl2pkcs7 -nocrl -certfile "$pem" | openssl pkcs7 -print_certs \
  | awk '/-----BEGIN CERTIFICATE-----/{c=""} {c=c $0 "\n"} /-----END CERTIFICATE-----/{printf "%s", c | "openssl x509 -noout -fingerprint -sha1"; close("openssl x509 -noout -fingerprint -sha1")}' \
  | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f')
while read -r thumbprint _; do
  [[ $thumbprint =~ ^[0-9a-f]{40}$ ]] || continue
  if ! grep -qx "$thumbprint" <<<"$fingerprints"; then
    echo "$0: $pem lacks Windows' own root $thumbprint (windows-root-store.txt)" >&2
    exit 1
  fi
done <"$dest/windows-root-store.txt"

cp -- "$stl" "$dest/authroot.stl.new"
cp -- "$pem" "$dest/roots.pem.new"
mv -- "$dest/authroot.stl.new" "$dest/authroot.stl"
mv -- "$dest/roots.pem.new" "$dest/roots.pem"
chmod 644 "$dest/authroot.stl" "$dest/roots.pem"

# The sha256 column of PROVENANCE.md's table: | `file` | ... | sha256 |
for file in authroot.stl roots.pem; do
  sum=$(sha256sum "$dest/$file" | cut -d' ' -f1)
  sed -i -E "s/^(\| \`$file\` \|.*\| )[0-9a-f]{64}( \|)$/\1$sum\2/" "$dest/PROVENANCE.md"
  grep -q "$sum" "$dest/PROVENANCE.md" || { echo "$0: no sha256 line for $file in PROVENANCE.md" >&2; exit 1; }
done

this_update=$(grep -m1 -E 'd=6 +hl=2 l= *[0-9]+ prim: +(UTCTIME|GENERALIZEDTIME)' <<<"$structure" | sed 's/.*://')
echo "Copied a list of $subjects roots (thisUpdate $this_update) and its certificates into"
echo "$dest."
echo "Now update PROVENANCE.md's source, date and counts by hand, then rebuild and run the tests:"
echo "  cmake --build --preset ci && ctest --preset ci -R RootProgram"
