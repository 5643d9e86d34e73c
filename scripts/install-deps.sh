#!/usr/bin/env bash
# Installs the Debian packages ExeLore needs to build and test, skipping those
# already present. Runs apt-get as root (through sudo when not root).
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config libssl-dev openssl
  # a mounted Windows installation's registry hive (its certificate stores)
  libhivex-dev
  # tests: GoogleTest, a real Authenticode signer, the Windows cross compiler,
  # the system's CA store (beside Windows' roots when comparing with osslsigncode)
  libgtest-dev osslsigncode g++-mingw-w64-x86-64 ca-certificates
  # the dialog's front end and its tests
  qt6-base-dev qt6-qpa-plugins libgl-dev libx11-dev fonts-dejavu-core xvfb xauth xdotool
  # source formatting (.clang-format)
  clang-format
  # sanitizer and fuzzer runtimes
  clang libclang-rt-dev
  # the Windows build run under Wine; the Debian package and its checks
  wine64 dpkg-dev lintian binutils-mingw-w64-x86-64
)
# npm fetches the real signed files of the tests (scripts/fetch-real-files.sh);
# a machine that already has one keeps it.
command -v npm >/dev/null || packages+=(npm)
if [[ -n "${EXELORE_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"${EXELORE_EXTRA_PACKAGES}"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then as_root=(sudo); fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
