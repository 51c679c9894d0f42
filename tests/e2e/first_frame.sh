#!/usr/bin/env bash
# The window as it first appears: 640x640 at (100, 100), titled with the
# command used to start the program, white, with the chain hanging at rest as
# one vertical column of dark boxes below its base.
# Usage: first_frame.sh CHAIN20-BINARY WORK-DIRECTORY
binary=$1
work=$2
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xprop xwd convert perl awk

launch_program "$binary"

geometry=$(window_geometry "$window")
title=$(window_title "$window")
say "window geometry: $geometry, title: \"$title\""
[ "$geometry" = "640x640+100+100" ] || fail "window geometry $geometry, expected 640x640+100+100"
[ "$title" = "$binary" ] || fail "window title \"$title\", expected the command \"$binary\""

analyse column "$work/first.png" || fail "the first frame is not the chain hanging straight down"

# The chain starts at rest, so it is still the same column a moment later,
# after many steps.
sleep 1
shoot "$work/later.png"
say "one second later:"
analyse column "$work/later.png" || fail "the chain at rest did not stay hanging straight down"
app_running || fail "the program ended on its own"
say "PASS"
