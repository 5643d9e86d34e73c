#!/usr/bin/env bash
# Installs the Debian packages the README's commands need (scripts/demo.sh,
# scripts/test.sh and every command of the README), skipping those already
# present, and checks the versions the tests rely on. Runs apt-get as root
# (through sudo when not root).
#
# Packages come from the machine's own APT sources. Where the release's
# own version is too old (Debian 12 has osslsigncode 2.5; the tests use the
# options and output of 2.9), the release's backports suite is enabled from
# the mirror those sources already name (scripts/debian-mirror.sh), and only
# that package is installed from it. A version still missing after that
# stops the script with one line naming the package and the version needed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  # the source itself, and the format check's list of files
  git
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
  # the Windows build run under Wine; the Debian package and its checks,
  # the man page's check (man --warnings)
  wine64 dpkg-dev lintian binutils-mingw-w64-x86-64 man-db
)
# The versions the tests rely on: "package minimum-version".
versions=(
  "osslsigncode 2.9"  # -TSA-certs, -ignore-cdp, verify's checksum lines, extract-signature's output
  "cmake 3.25"        # presets of version 6 (workflow presets)
)
# npm fetches the real signed files of the tests (scripts/fetch-real-files.sh);
# a machine that already has one keeps it.
command -v npm >/dev/null || packages+=(npm)
if [[ -n "${EXELORE_EXTRA_PACKAGES:-}" ]]; then
  read -r -a extra <<<"${EXELORE_EXTRA_PACKAGES}"
  packages+=("${extra[@]}")
fi

say() { echo "install-deps: $*" >&2; }
installed_version() { { dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null || true; } | sed -n 's/^install ok installed //p'; }
at_least() { [[ -n "$1" ]] && dpkg --compare-versions "$1" ge "$2"; }
minimum_of() {
  local entry
  for entry in "${versions[@]}"; do
    if [[ "${entry%% *}" == "$1" ]]; then echo "${entry#* }"; fi
  done
}

missing=()
for p in "${packages[@]}"; do
  v=$(installed_version "$p")
  min=$(minimum_of "$p")
  if [[ -z "$v" ]] || { [[ -n "$min" ]] && ! at_least "$v" "$min"; }; then missing+=("$p"); fi
done

if ((${#missing[@]} > 0)); then
  as_root=()
  if [[ $(id -u) -ne 0 ]]; then as_root=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  log=$(mktemp "${TMPDIR:-/tmp}/exelore-apt.XXXXXX")
  trap 'rm -f "$log"' EXIT
  # What apt does, without a line per package: what it fetches in all, then
  # a count every 50 packages unpacked and set up. The whole output goes to
  # $log, shown on failure.
  apt() {
    "${as_root[@]}" apt-get -q -o Dpkg::Use-Pty=0 "$@" </dev/null >"$log" 2>&1 &
    local pid=$! status=0
    tail -f --pid=$pid -n +1 "$log" 2>/dev/null | awk '
      /^[0-9]+ upgraded, [0-9]+ newly installed/ { total = $1 + $3; print "  " $0; fflush() }
      /^Need to get/ { print "  " $0; fflush() }
      /^Unpacking / && ++unpacked % 50 == 0 { print "  unpacked " unpacked " of " total; fflush() }
      /^Setting up / && ++set % 50 == 0 { print "  set up " set " of " total; fflush() }' >&2 || true
    wait $pid || status=$?
    if ((status != 0)); then
      tail -n 20 "$log" >&2
      say "apt-get $* failed (status $status)"
      exit 1
    fi
  }
  say "reading the package lists (apt-get update)"
  apt update

  # Packages whose minimum version the release does not have come from its
  # backports suite.
  from_backports=() from_release=()
  for p in "${missing[@]}"; do
    min=$(minimum_of "$p")
    candidate=$(apt-cache policy "$p" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    if [[ -n "$min" ]] && ! at_least "$candidate" "$min"; then
      from_backports+=("$p")
    else
      from_release+=("$p")
    fi
  done
  if ((${#from_backports[@]} > 0)); then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    suite=$codename-backports
    if ! "$here/debian-mirror.sh" "$suite" >/dev/null 2>&1; then
      IFS=$'\t' read -r mirror keyring < <("$here/debian-mirror.sh" "$codename")
      say "enabling $suite from $mirror for ${from_backports[*]}"
      {
        echo "# Written by ExeLore's scripts/install-deps.sh for: ${from_backports[*]}"
        echo "Types: deb"
        echo "URIs: $mirror"
        echo "Suites: $suite"
        echo "Components: main"
        [[ -z "$keyring" ]] || echo "Signed-By: $keyring"
      } | "${as_root[@]}" tee "/etc/apt/sources.list.d/$suite.sources" >/dev/null
      say "reading the package lists again (apt-get update)"
      apt update
    fi
  fi
  if ((${#from_release[@]} > 0)); then
    say "installing ${#from_release[@]} packages and what they need: ${from_release[*]}"
    apt install -y --no-install-recommends "${from_release[@]}"
  fi
  if ((${#from_backports[@]} > 0)); then
    say "installing from $suite: ${from_backports[*]}"
    apt install -y --no-install-recommends -t "$suite" "${from_backports[@]}"
  fi
fi

for entry in "${versions[@]}"; do
  p=${entry%% *} min=${entry#* }
  v=$(installed_version "$p")
  at_least "$v" "$min" || { say "$p $min or later is needed, ${v:-none} is installed"; exit 1; }
done
