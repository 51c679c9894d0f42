#!/usr/bin/env bash
# Holding the left mouse button pulls the chain's free end toward the cursor
# (toward the point half a unit left of the point under it); dragging moves
# the target; releasing the button lets the chain fall back toward hanging
# straight down.
# Usage: pull_tip.sh CHAIN20-BINARY WORK-DIRECTORY right|left
binary=$1
work=$2
side=$3
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk

case $side in
    right) cursor_x=600 drag_x=560 drag_y=400 ;;
    left) cursor_x=40 drag_x=120 drag_y=420 ;;
    *) fail "side must be right or left, not $side" ;;
esac
cursor_y=450

launch_program "$binary"

tip() { analyse tip "$1" >"$work/tip.txt" || fail "no chain in $1"; }
# Takes a screenshot into NAME.png and measures the chain in it.
shoot_tip() {
    shoot "$work/$1.png"
    tip "$work/$1.png"
}
tip "$work/first.png"
base_x=$(value_of base <"$work/tip.txt" | cut -d , -f 1)
base_y=$(value_of base <"$work/tip.txt" | cut -d , -f 2)
start_x=$(value_of tip_x <"$work/tip.txt")
start_y=$(value_of tip_y <"$work/tip.txt")
say "at rest: base at $base_x,$base_y, free end at $start_x,$start_y"
check 'x - b < 3 && b - x < 3' x="$start_x" b="$base_x" || fail "the chain does not start hanging below its base"

# The spring pulls the drawn tip toward half a unit (640/47.5 px per unit)
# left of the cursor. From the base, that point is out of the chain's reach,
# so the pulled chain lies stretched along the line toward it.
target_x=$(awk -v c="$cursor_x" 'BEGIN { printf "%.1f", c - 0.5 * 640 / 47.5 }')
target_angle=$(awk -v tx="$target_x" -v ty="$cursor_y" -v bx="$base_x" -v by="$base_y" \
    'BEGIN { printf "%.1f", atan2(ty - by, tx - bx) * 45 / atan2(1, 1) }')
say "left button held at window $cursor_x,$cursor_y: tip target $target_x,$cursor_y, direction $target_angle deg"

xdotool mousemove --window "$window" --sync "$cursor_x" "$cursor_y"
xdotool mousedown 1
pulled=
for sample in $(seq 20); do
    sleep 0.5
    shoot_tip pulled
    tip_x=$(value_of tip_x <"$work/tip.txt")
    tip_y=$(value_of tip_y <"$work/tip.txt")
    reach=$(value_of reach <"$work/tip.txt")
    angle=$(value_of angle <"$work/tip.txt")
    say "  held ${sample}: free end at $tip_x,$tip_y, reach $reach px, direction $angle deg"
    if check 'sign * (x - b) > 150 && reach > 230 && a - t < 6 && t - a < 6' \
        sign="$([ "$side" = right ] && echo 1 || echo -1)" x="$tip_x" b="$base_x" reach="$reach" \
        a="$angle" t="$target_angle"; then
        pulled=yes
        break
    fi
done
[ -n "$pulled" ] || fail "the free end did not move out to the $side toward the cursor within 10 s"
say "pulled: free end moved from x $start_x to x $tip_x ($side of the base at $base_x)"
pulled_offset=$(awk -v x="$tip_x" -v b="$base_x" 'BEGIN { d = x - b; print (d < 0 ? -d : d) }')

# Dragging moves the target. Within reach of the chain, the free end comes to
# rest on the target, half a unit left of the point under the cursor, up to
# the little the spring gives under the chain's weight (downward only).
target_x=$(awk -v c="$drag_x" 'BEGIN { printf "%.1f", c - 0.5 * 640 / 47.5 }')
say "dragged to window $drag_x,$drag_y: tip target $target_x,$drag_y"
xdotool mousemove --window "$window" --sync "$drag_x" "$drag_y"
settled=
previous=
for sample in $(seq 20); do
    sleep 0.5
    shoot_tip dragged
    end=$(value_of end_in_plane <"$work/tip.txt")
    end_x=${end%,*}
    end_y=${end#*,}
    say "  dragged ${sample}: end of the chain at $end_x,$end_y"
    if [ -n "$previous" ] && check '(x - px) * (x - px) + (y - py) * (y - py) < 1' \
        x="$end_x" y="$end_y" px="${previous%,*}" py="${previous#*,}"; then
        settled=yes
        break
    fi
    previous=$end
done
[ -n "$settled" ] || fail "the chain did not come to rest within 10 s of the drag"
say "settled: end at $end_x,$end_y, target $target_x,$drag_y (off by $(awk -v a="$end_x" -v b="$target_x" 'BEGIN { printf "%.1f", a - b }'), $(awk -v a="$end_y" -v b="$drag_y" 'BEGIN { printf "%.1f", a - b }') px)"
check 'x - tx <= 5 && tx - x <= 5 && y - ty >= -4 && y - ty <= 12' x="$end_x" tx="$target_x" y="$end_y" ty="$drag_y" ||
    fail "the end of the chain did not come to rest on the target half a unit left of the cursor"

xdotool mouseup 1
released=
for sample in $(seq 20); do
    sleep 0.5
    shoot_tip released
    tip_x=$(value_of tip_x <"$work/tip.txt")
    tip_y=$(value_of tip_y <"$work/tip.txt")
    say "  released ${sample}: free end at $tip_x,$tip_y"
    if check '(x - b) * (x - b) < (0.25 * p) * (0.25 * p) && y > by + 200' \
        x="$tip_x" b="$base_x" p="$pulled_offset" y="$tip_y" by="$base_y"; then
        released=yes
        break
    fi
done
[ -n "$released" ] || fail "after the release the chain did not fall back below its base within 10 s"
say "released: free end back at $tip_x,$tip_y"
app_running || fail "the program ended"
say "PASS"
