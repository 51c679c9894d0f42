#!/usr/bin/env bash
# The arrow keys: each right-arrow press prints the new redraw divisor on its
# own line (31, 32, 33 from the start of 30); the left arrow lowers it and
# prints nothing.
# Usage: arrow_keys.sh CHAIN20-BINARY WORK-DIRECTORY
binary=$1
work=$2
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk

launch_program "$binary"
focus_window

# Waits up to 5 s for `count` lines on the program's standard output, then a
# little longer for any line too many.
wait_for_lines() {
    local count=$1 i
    for i in $(seq 50); do
        [ "$(wc -l <"$work/stdout.txt")" -ge "$count" ] && break
        sleep 0.1
    done
    sleep 0.5
}

show_output() { say "standard output: [$(tr '\n' ' ' <"$work/stdout.txt")]"; }

[ ! -s "$work/stdout.txt" ] || fail "output before any key press: $(cat "$work/stdout.txt")"

for press in 1 2 3; do
    xdotool key Right
done
wait_for_lines 3
show_output
[ "$(cat "$work/stdout.txt"; echo x)" = "$(printf '31\n32\n33\nx')" ] ||
    fail "three right-arrow presses should print exactly 31, 32 and 33 on their own lines"

xdotool key Left Left
sleep 0.5
xdotool key Right
wait_for_lines 4
show_output
[ "$(cat "$work/stdout.txt"; echo x)" = "$(printf '31\n32\n33\n32\nx')" ] ||
    fail "two left-arrow presses and one right-arrow press after 33 should print just 32"
app_running || fail "the program ended"
say "PASS"
