#!/usr/bin/env bash
# The run controls, seen on the screen:
#   pause   while paused nothing moves, not even under a drag; '.' steps it
#   reset   after a drag, r brings back the chain hanging straight down
#   help    h shows the help overlay over the chain and h hides it again
#   companions  s and f add the shadow chain and the ensemble fan to the
#           picture of a chaotic chain, and take them away again
# Usage: controls.sh CHAIN20-BINARY WORK-DIRECTORY pause|reset|help|companions
binary=$1
work=$2
case_name=$3
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk md5sum

if [ "$case_name" = companions ]; then
    launch_program "$binary" --damping 0 --initial-angle 0
else
    launch_program "$binary"
fi
focus_window

# Holds the left button to the right of the chain until the chain has
# swung well away from hanging straight down.
pull_right() {
    xdotool mousemove --window "$window" --sync 600 450
    xdotool mousedown 1
    sleep 1
    shoot "$work/pulled.png"
    ! analyse column "$work/pulled.png" >/dev/null || fail "the chain did not move under the pull"
}

case $case_name in
    pause)
        pull_right
        press_key space
        sleep 0.3
        shoot "$work/paused1.png"
        # A drag while paused moves the target but runs no step.
        xdotool mousemove --window "$window" --sync 560 200
        sleep 0.5
        shoot "$work/paused2.png"
        same_picture "$work/paused1.png" "$work/paused2.png" || fail "the picture changed while paused"
        say "paused: two pictures 0.5 s apart are identical"
        press_key period 150
        sleep 0.3
        shoot "$work/stepped.png"
        ! same_picture "$work/paused2.png" "$work/stepped.png" || fail "150 single steps did not change the picture"
        sleep 0.5
        shoot "$work/stepped2.png"
        same_picture "$work/stepped.png" "$work/stepped2.png" || fail "the chain moved on after the single steps"
        say "'.' x 150 moved the chain, and it stays paused"
        xdotool mouseup 1
        ;;
    reset)
        pull_right
        xdotool mouseup 1
        sleep 0.2
        press_key r
        sleep 0.3
        shoot "$work/reset.png"
        analyse column "$work/reset.png" || fail "after r the chain is not hanging straight down"
        ;;
    help)
        press_key h
        sleep 0.3
        shoot "$work/help.png"
        ! analyse column "$work/help.png" >/dev/null || fail "h showed no overlay"
        say "h: overlay shown ($(analyse stats "$work/help.png" | value_of white_fraction) white)"
        press_key h
        sleep 0.3
        shoot "$work/hidden.png"
        analyse column "$work/hidden.png" || fail "a second h did not hide the overlay"
        ;;
    companions)
        # The chain was released level with no damping (see below): s adds
        # the shadow, which runs free and soon shows its grey well away from
        # the black chain; f adds the fan; paused, the picture with them has
        # the fan's tint and the one without has none.
        press_key s
        apart=0
        for _ in $(seq 40); do
            shoot "$work/shadow.png"
            apart=$(analyse shadow "$work/shadow.png" | value_of shadow_apart)
            [ "$apart" -gt 300 ] && break
            sleep 0.2
        done
        say "s: $apart pixels of the shadow's grey away from the black chain"
        [ "$apart" -gt 300 ] || fail "the shadow never left the chain: $apart grey pixels apart"
        press_key f
        sleep 3
        press_key space
        sleep 0.3
        shoot "$work/with.png"
        tinted=$(analyse stats "$work/with.png" | value_of tinted_pixels)
        press_key s
        press_key f
        sleep 0.3
        shoot "$work/without.png"
        left=$(analyse stats "$work/without.png" | value_of tinted_pixels)
        say "s and f: $tinted tinted pixels with them, $left without"
        [ "$tinted" -gt 500 ] || fail "the fan is not seen: $tinted tinted pixels"
        [ "$left" -eq 0 ] || fail "s and f again left $left tinted pixels"
        cmp -s "$work/with.png" "$work/without.png" && fail "s and f did not change the picture"
        ;;
    *) fail "unknown case $case_name" ;;
esac
app_running || fail "the program ended"
[ ! -s "$work/stdout.txt" ] || fail "unexpected standard output: $(head -c 200 "$work/stdout.txt")"
grep -qx 'press h for help' "$work/stderr.txt" || fail "no 'press h for help' line on standard error"
say "PASS"
