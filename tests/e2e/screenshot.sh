#!/usr/bin/env bash
# Takes the README's picture of the running program, the way the end-to-end
# tests take theirs: the chain's free end held by the left mouse button at a
# point to the right of the base, within reach, so that the chain sags
# between its base and the cursor. With "panel", the readouts and controls
# panel is open (Tab) while the chain is pulled.
# Usage: screenshot.sh CHAIN20-BINARY OUTPUT.png [CURSOR-X CURSOR-Y [panel]]
binary=$1
output=$2
cursor_x=${3:-520}
cursor_y=${4:-330}
panel=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/chain20-screenshot.XXXXXX")
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk

start_xvfb
start_app "$binary"
wait_for_window
wait_for_first_frame "$work/first.png"
if [ "$panel" = panel ]; then
    xdotool mousemove --window "$window" --sync 320 100
    xdotool windowfocus --sync "$window"
    xdotool key Tab
fi
xdotool mousemove --window "$window" --sync "$cursor_x" "$cursor_y"
xdotool mousedown 1
sleep 3
shoot "$work/held.png"
xdotool mouseup 1
analyse stats "$work/held.png"
convert "$work/held.png" -strip "png:$output"
say "wrote $output (left button held at window $cursor_x,$cursor_y)"
rm -rf "$work"
