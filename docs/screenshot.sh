#!/usr/bin/env bash
# Rebuilds docs/dialog.png: the dialog on a virtual X server after "Get Info"
# on a sample executable made by make_pe.
#
#   apt-get install xvfb xauth xdotool imagemagick fonts-dejavu-core qt6-qpa-plugins
#   docs/screenshot.sh [BUILD-DIR]     (default build/default, already built)
#
# Uses the build's exelore, libexelore_qt.so, tests/make_pe and tests/x11_tool,
# and ImageMagick's `import` for the picture.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
for tool in xvfb-run xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool is missing" >&2; exit 1; }
done
work=${TMPDIR:-/tmp}/exelore-screenshot  # a stable path: it shows in the picture
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
sample="$work/sample.exe"
"$build/tests/make_pe" --company "ExeLore Demo" --product "Sample" \
  --description "A sample executable" "$sample" >/dev/null
env -u QT_QPA_PLATFORM xvfb-run -a -s "-screen 0 1024x768x24" \
  tests/support/drive_dialog.sh "$build/exelore" "$build/tests/x11_tool" "$sample" \
  "$work/report.txt" "$work/dialog.png"
cp "$work/dialog.png" docs/dialog.png
echo "wrote docs/dialog.png" >&2
