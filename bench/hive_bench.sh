#!/usr/bin/env bash
# Cost of a Windows volume's registry hive, run by hand:
#   bench/hive_bench.sh [build-dir] [filler keys]
# Writes an installation whose SOFTWARE hive holds the test PKI's root (ROOT)
# and intermediate (CA) among KEYS filler keys (default 400000, about
# 300 MiB, the size of a real SOFTWARE hive), then shows with strace that an
# unsigned file opens no hive and a signed one opens it once, and times with
# a warm cache `exelore /c` on the signed file trusted only through the
# hive, against the same file with the root given as SSL_CERT_FILE and no
# SystemRoot, and against `cat` of the hive to /dev/null.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
keys=${2:-400000}
cmake --build "$build" --target exelore make_hive >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "generating a hive with $keys filler keys ..."
"$build/tests/make_hive" "$work" "$keys"
hive="$work/windows/System32/config/SOFTWARE"
echo "hive: $(du -m --apparent-size "$hive" | cut -f1) MiB"

export SSL_CERT_DIR=/nonexistent SSL_CERT_FILE=/nonexistent
volume=(env "SystemRoot=$work/windows")
echo "signed, volume:    $("${volume[@]}" "$build/exelore" /c "$work/signed.exe" | tail -n 1 | tr -d '\r')"
echo "signed, no volume: $("$build/exelore" /c "$work/signed.exe" | tail -n 1 | tr -d '\r')"
for f in unsigned signed; do
  opened=$(strace -f -e trace=openat "${volume[@]}" "$build/exelore" /c "$work/$f.exe" 2>&1 >/dev/null |
             grep -c 'config/SOFTWARE' || true)
  echo "$f.exe opens the hive $opened time(s)"
done
"${volume[@]}" /usr/bin/time -f "signed, volume: peak RSS %M KiB (the hive is mapped)" \
  "$build/exelore" /c "$work/signed.exe" >/dev/null

hyperfine -N -i --warmup 3 --runs 15 \
  -n "cat hive" "bash -c 'cat \"$hive\" > /dev/null'" \
  -n "signed, volume" "env SystemRoot=$work/windows $build/exelore /c $work/signed.exe" \
  -n "unsigned, volume" "env SystemRoot=$work/windows $build/exelore /c $work/unsigned.exe" \
  -n "signed, root in SSL_CERT_FILE" "env SSL_CERT_FILE=$work/pki/root.pem $build/exelore /c $work/signed.exe"
