#!/usr/bin/env bash
# Drives the real exelore dialog on the X display in $DISPLAY the way a user
# does: types a path into the path box, clicks "Get Info", copies the report
# box to the clipboard, optionally saves a picture of the window, and closes
# the window with its close-box message, or with Escape in the report box
# when CLOSE_WITH=escape.
#
#   drive_dialog.sh EXELORE X11_TOOL FIXTURE REPORT-OUT [PNG-OUT]
#
# Writes the report box's text to REPORT-OUT, and what the window asks of a
# window manager's frame (x11_tool frame) to REPORT-OUT.frame, and exits with
# exelore's exit status. Needs xdotool (and ImageMagick's `import` for
# PNG-OUT).
set -euo pipefail
exelore=$1 x11_tool=$2 fixture=$3 report_out=$4 png_out=${5:-}

"$exelore" &
pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^ExeLore$' | head -n1)
xdotool windowfocus --sync "$window" 2>/dev/null || true
read -r width height < <(xdotool getwindowgeometry --shell "$window" |
  awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}')

# Dialog units to window pixels: the dialog is 391 x 230 units.
click() {  # click at the centre of a control given in dialog units (x y cx cy)
  local x=$(( ($1 * 2 + $3) * width / 782 )) y=$(( ($2 * 2 + $4) * height / 460 ))
  xdotool mousemove --window "$window" "$x" "$y" click 1
  sleep 0.1
}

copy_box() {  # copies a box's text to a file, through select all and copy
  local file=$1
  shift
  click "$@"
  xdotool key ctrl+a ctrl+c
  sleep 0.1
  "$x11_tool" clipboard >"$file" 2>/dev/null || : >"$file"
}

# Input can be lost while the window is still settling (or the machine is
# busy), so each step is checked and repeated.
for _ in $(seq 20); do
  click 15 8 292 15                 # the path box
  xdotool key ctrl+a BackSpace
  xdotool type --delay 2 "$fixture"
  copy_box "$report_out" 15 8 292 15
  [[ "$(cat "$report_out")" == "$fixture" ]] && break
done
for _ in $(seq 20); do
  click 321 24 50 14                # Get Info
  copy_box "$report_out" 15 42 356 167
  [[ -s "$report_out" && "$(cat "$report_out")" != "$fixture" ]] && break
  sleep 0.3
done
if [[ -n "$png_out" ]]; then
  click 321 24 50 14                # Get Info again: a fresh report, nothing selected
  sleep 0.3
  import -window "$window" "$png_out"
fi

"$x11_tool" frame "$window" >"$report_out.frame"
if [[ "${CLOSE_WITH:-}" == escape ]]; then
  click 15 42 356 167               # the report box
  xdotool key Escape
else
  "$x11_tool" close "$window"
fi
status=0
wait "$pid" || status=$?
exit "$status"
