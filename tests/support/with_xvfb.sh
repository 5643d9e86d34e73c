#!/usr/bin/env bash
# Runs a command on a virtual X server of its own. Xvfb picks a free display
# itself and names it on a pipe once it accepts connections (-displayfd), so
# two runs never race for one display number and the command never starts
# before the server is up. -noreset: a server left by its last client
# resets, refusing connections for a moment, which the dialog's own display
# probe (connect, disconnect) would otherwise trigger just before the next
# client connects.
#
#   with_xvfb.sh COMMAND [ARGS...]
set -euo pipefail
dir=$(mktemp -d)
xvfb=
cleanup() {
  if [[ -n $xvfb ]]; then kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
mkfifo "$dir/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$dir/display" 2>"$dir/log" &
xvfb=$!
# Blocks until the server writes its display number, or exits (end of file).
display=$(timeout 60 head -n 1 "$dir/display" || true)
if [[ -z $display ]]; then
  echo "with_xvfb: Xvfb did not start: $(cat "$dir/log")" >&2
  exit 1
fi
DISPLAY=:$display "$@"
