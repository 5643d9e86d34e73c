#!/usr/bin/env bash
# The README's commands that change the machine or the source tree, run as
# written after scripts/demo.sh and scripts/test.sh, each checked: the
# Debian package installed with apt, `cmake --install build/default` to
# /usr/local, the format target (which must change no file), and
# docs/screenshot.sh with the packages it names (the picture it makes must
# have the committed one's size; the committed one is put back). Meant for
# a throwaway system: .ci/run runs it in scripts/fresh-debian.sh's, as root.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "readme-system-commands: $*" >&2; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/default/CMakeCache.txt)
sample=build/demo/signed.exe
[[ -f "$sample" ]] || fail "$sample is missing (scripts/demo.sh makes it)"
expected=$(SSL_CERT_FILE=build/demo/root.pem build/default/exelore /c "$sample")

echo "-- apt install ./build/default/exelore_${version}_amd64.deb" >&2
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "./build/default/exelore_${version}_amd64.deb" \
  </dev/null >build/apt-install.log 2>&1 || { tail -n 20 build/apt-install.log >&2; fail "apt install failed"; }
[[ "$(SSL_CERT_FILE=build/demo/root.pem /usr/bin/exelore /c "$sample")" == "$expected" ]] ||
  fail "the installed package's exelore reports otherwise"
man -w exelore >/dev/null || fail "man finds no page for exelore"

echo "-- cmake --install build/default" >&2
cmake --install build/default >/dev/null
[[ "$(SSL_CERT_FILE=build/demo/root.pem /usr/local/bin/exelore /c "$sample")" == "$expected" ]] ||
  fail "/usr/local/bin/exelore reports otherwise"
[[ -f /usr/local/share/man/man1/exelore.1 ]] || fail "cmake --install put no man page in /usr/local/share/man/man1"

echo "-- cmake --build --preset default --target format" >&2
cmake --build --preset default --target format >/dev/null
git diff --quiet || fail "the format target changed: $(git diff --stat)"
echo "-- docs/screenshot.sh" >&2
EXELORE_EXTRA_PACKAGES=imagemagick ./scripts/install-deps.sh
committed=$(identify -format '%m %wx%h' docs/dialog.png)
docs/screenshot.sh
made=$(identify -format '%m %wx%h' docs/dialog.png)
git checkout -q -- docs/dialog.png
[[ "$made" == "$committed" ]] || fail "docs/screenshot.sh made a $made picture, the committed one is $committed"
echo "readme-system-commands: the package, the installs, the format target and the screenshot work as the README says" >&2
