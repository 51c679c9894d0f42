#!/usr/bin/env bash
# Closing the window ends the program.
# Usage: close_window.sh CHAIN20-BINARY WORK-DIRECTORY [CLOSE-HELPER]
# With the helper the window gets WM_DELETE_WINDOW, as from a window
# manager's close button; without it, the program's X connection is killed.
binary=$1
work=$2
helper=${3:-}
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk

launch_program "$binary"

if [ -n "$helper" ]; then
    say "sending WM_DELETE_WINDOW to window $window"
    "$helper" "$window" || fail "could not send the close request"
else
    say "killing the X connection of window $window"
    xdotool windowkill "$window"
fi
start=$(date +%s%N)
wait_for_exit 5 || fail "the program still runs 5 s after its window was closed"
elapsed=$((($(date +%s%N) - start) / 1000000))
say "the program ended ${elapsed} ms after the close, exit status $app_status"
[ "$app_status" -lt 128 ] || fail "the program was ended by signal $((app_status - 128))"
[ -z "$(top_level_windows)" ] || fail "a window is left: $(top_level_windows)"
say "PASS"
