#!/usr/bin/env bash
# The window title.
# Usage: title.sh CHAIN20-BINARY WORK-DIRECTORY empty-argv|glut-option
#   empty-argv   started with an empty argument vector, the window is titled
#                with the program's own name, chain20
#   glut-option  GLUT's own options (here -display) are consumed and the title
#                is still the command the program was started as
binary=$1
work=$2
case_name=$3
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xprop xdotool perl

prepare_work
start_xvfb
case $case_name in
    empty-argv)
        start_app_without_arguments "$binary"
        expected=chain20
        ;;
    glut-option)
        display=$DISPLAY
        unset DISPLAY
        start_app "$binary" -display "$display"
        export DISPLAY=$display
        expected=$binary
        ;;
    *) fail "unknown case $case_name" ;;
esac
wait_for_window
title=$(window_title "$window")
say "window $window: title \"$title\""
say "top-level windows: $(top_level_windows | tr '\n' ';')"
if [ "$case_name" = empty-argv ]; then
    # What the program was actually handed: a kernel may replace an empty
    # argument vector by one empty string.
    say "the process received $(perl -0ne 'chomp; push @a, "[$_]"; END { print scalar(@a), " argument(s) @a" }' "/proc/$app_pid/cmdline" 2>/dev/null || echo '?')"
fi
[ "$title" = "$expected" ] || fail "window title \"$title\", expected \"$expected\""
found=$(xdotool search --name "^$(printf '%s' "$expected" | sed 's/[][\\.^$*+?(){}|/]/\\&/g')\$" 2>/dev/null | head -n 1 || true)
[ -n "$found" ] && [ "$((found))" -eq "$((window))" ] || fail "xdotool finds no window named \"$expected\""
say "PASS"
