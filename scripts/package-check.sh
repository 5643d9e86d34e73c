#!/usr/bin/env bash
# Checks what users install, as they would use it: the Windows zip of
# build/mingw, the Debian package cpack makes from build/ci (lintian, its
# dependencies, the unpacked package run in console mode and with no
# display), and build/ci installed to a temporary prefix, whose dialog must
# open and report under Xvfb. Expects both builds to exist.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/ci
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' $build/CMakeCache.txt)
work=$(mktemp -d "${TMPDIR:-/tmp}/exelore-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package-check: $*" >&2; exit 1; }

fixture="$work/with blanks/sample.exe"
mkdir -p "$(dirname "$fixture")"
$build/tests/make_pe --company "ExeLore Package Check" "$fixture"
$build/exelore /c "$fixture" >"$work/expected"
$build/exelore-scan --format jsonl "$(dirname "$fixture")" >"$work/expected-scan"

echo "-- the man pages" >&2
for page in docs/exelore.1 docs/exelore-scan.1; do
warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
[[ -z "$warnings" ]] || fail "man --warnings $page: $warnings"
# Rendered at many widths, a line may end in a hyphen only within an English
# compound the page writes with one ("time-stamping"): never where groff
# hyphenated a word, nor within a name (a path, a GUID, an identifier).
broken=$(for width in $(seq 40 3 130); do
  MANWIDTH=$width man -E ascii -l "$page" 2>/dev/null | awk '
    cut != "" { word = cut $1; gsub(/^[("]+|[),.;:"]+$/, "", word); print word; cut = "" }
    /-$/ { cut = $NF }'
done | sort -u | while read -r word; do
  if [[ ! "$word" =~ ^[a-z]+(-[a-z]+)+$ ]] || ! grep -qw -- "$word" "$page"; then echo "$word"; fi
done)
[[ -z "$broken" ]] || fail "$page breaks these words across lines: $(echo $broken)"
done

echo "-- the Windows zip" >&2
zip=build/mingw/exelore-$version-win64.zip
listing=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
[[ "$listing" == "exelore-$version-win64/ exelore-$version-win64/LICENSE.txt exelore-$version-win64/README.txt exelore-$version-win64/exelore-scan.exe exelore-$version-win64/exelore.exe " ]] ||
  fail "$zip holds: $listing"
(cd "$work" && cmake -E tar xf "$OLDPWD/$zip")
# The licence: the notice the Debian package's copyright file holds, then
# the licence's full text, with Windows line ends.
licence="$work/exelore-$version-win64/LICENSE.txt"
cmp -s <(tr -d '\r' <"$licence") <(cat packaging/copyright; printf '\n\n'; cat LICENSE) ||
  fail "LICENSE.txt in $zip is not packaging/copyright followed by LICENSE"
(($(grep -c $'\r$' "$licence") == $(wc -l <"$licence"))) || fail "LICENSE.txt in $zip has lines without CR LF"
exe="$work/exelore-$version-win64/exelore.exe"
for f in "$exe" "$work/exelore-$version-win64/exelore-scan.exe"; do
  if x86_64-w64-mingw32-objdump -h "$f" | grep -q '\.debug'; then
    fail "$(basename "$f") in $zip has debug sections"
  fi
done
# Its resources, as "name type": the manifest (type 24), the main dialog and
# the version resource, and nothing else.
resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe" | grep -E '^[0-9]+ ' | awk '{print $1, $2}' | sort | tr '\n' ' ')
[[ "$resources" == "1 24 1 VERSIONINFO 101 DIALOGEX " ]] || fail "exelore.exe has the resources: $resources"

echo "-- the Debian package" >&2
rm -f $build/exelore_*.deb
(cd $build && cpack -G DEB >/dev/null)
deb=$build/exelore_${version}_$(dpkg --print-architecture).deb
# Warnings too: lintian runs man --warnings on the man page, among others.
lintian --fail-on error,warning "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ "$depends" =~ ^libc6(\ \([^\)]*\))?$ ]] || fail "Depends: $depends (the console tool needs only libc)"
for p in libqt6widgets6 qt6-qpa-plugins; do
  [[ "$recommends" == *"$p"* ]] || fail "Recommends lacks $p: $recommends"
done
root="$work/root"
dpkg -x "$deb" "$root"
grep -qx 'Exec=exelore' "$root/usr/share/applications/exelore.desktop" || fail "the .desktop entry does not start exelore"
cmp -s "$root/usr/share/doc/exelore/copyright" packaging/copyright || fail "the package's copyright file is not packaging/copyright"
for f in usr/lib/exelore/libexelore_qt.so usr/share/man/man1/exelore.1.gz usr/share/man/man1/exelore-scan.1.gz; do
  [[ -f "$root/$f" ]] || fail "the package lacks /$f"
done
# Only libc6's libraries: the C library and the dynamic loader.
for f in exelore exelore-scan; do
  needed=$(readelf -d "$root/usr/bin/$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    grep -v -x -e 'libc\.so\.6' -e 'ld-linux-x86-64\.so\.2' || true)
  [[ -z "$needed" ]] || fail "/usr/bin/$f needs $needed"
done
# No test seam ships: the symbols of platform/posix/testing must be in the
# test builds (so the pattern finds them) and in nothing installed.
seams='exelore_posix::testing::|exelore_qt_frontend_testing|exelore_qt::.*::(ClickItem|TypeText|PressKey|PressCloseBox|SetFileChooser|SetIdleHook)\(|kernel32::.*Failing|SetVersionDll|DebugOutputSink'
# grep -c reads all of nm's output: grep -q would stop early, and nm's
# broken pipe would fail the pipeline.
seam_count() { nm -C --defined-only "$1" 2>/dev/null | grep -cE "$seams" || true; }
(($(seam_count $build/tests/report_test) > 0)) || fail "the seam pattern misses the test build"
(($(seam_count $build/platform/posix/libexelore_qt_testing.so) > 0)) ||
  fail "the seam pattern misses the front end's test module"
for f in $build/exelore $build/exelore-scan $build/libexelore_qt.so "$root/usr/bin/exelore" \
  "$root/usr/bin/exelore-scan" "$root/usr/lib/exelore/libexelore_qt.so"; do
  (($(seam_count "$f") == 0)) || fail "$f holds test seams"
done
env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/exelore" /c "$fixture" >"$work/out"
cmp "$work/expected" "$work/out" || fail "the packaged exelore /c reports otherwise than the build"
"$root/usr/bin/exelore-scan" --format jsonl "$(dirname "$fixture")" >"$work/out"
cmp "$work/expected-scan" "$work/out" || fail "the packaged exelore-scan reports otherwise than the build"
grep -q '"CompanyName":"ExeLore Package Check"' "$work/out" || fail "exelore-scan reported: $(cat "$work/out")"
env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/exelore" >"$work/out" 2>&1 || fail "exelore without a display: status $?"
[[ ! -s "$work/out" ]] || fail "exelore without a display wrote: $(cat "$work/out")"

echo "-- an install to a temporary prefix, and the dialog it opens" >&2
cmake --install $build --prefix "$work/prefix" >/dev/null
# One X server for both: the dialog from the prefix and from the package.
env -u QT_QPA_PLATFORM tests/support/with_xvfb.sh bash -c '
  for exelore in "${@:4}"; do
    "$1" "$exelore" "$2" "$3" "$exelore.report" || { echo "the dialog of $exelore ended with status $?"; exit 1; }
  done' _ tests/support/drive_dialog.sh $build/tests/x11_tool "$fixture" \
  "$work/prefix/bin/exelore" "$root/usr/bin/exelore" || fail "the dialog did not run"
for exelore in "$work/prefix/bin/exelore" "$root/usr/bin/exelore"; do
  grep -q '^CompanyName: ExeLore Package Check' "$exelore.report" ||
    fail "the dialog of $exelore showed: $(cat "$exelore.report")"
done
echo "package-check: $(basename "$zip"), $(basename "$deb") and the installs check out" >&2
