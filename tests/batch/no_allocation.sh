#!/usr/bin/env bash
# The stepping loop allocates nothing: heap allocations counted over whole
# runs (malloc_count preloaded) do not depend on how many steps run, nor on
# the mouse events, the key echoes or the resets to rest that happen in them.
#   no_allocation.sh CHAIN20_BATCH MAKE_EVENTS_AWK MALLOC_COUNT_LIBRARY
source "$(dirname "$0")/common.sh"
batch=$1
generator=$2
counter=$3

# A script whose storms overflow the arithmetic, and the same script
# with every mouse event turned into a right arrow: the same number of
# events, so parsing allocates the same, but no spring and no resets.
steps=120000
awk -v seed=18 -v steps=$steps -v tail=2000 -f "$generator" > "$scratch/mouse.events"
sed -E 's/ (press|drag) -?[0-9]+ -?[0-9]+$/ right/; s/ release$/ right/' "$scratch/mouse.events" > "$scratch/keys.events"

allocations() {  # allocations LABEL ARGS...
    local label=$1
    shift
    LD_PRELOAD=$counter "$batch" --every 7 --out "$scratch/out.csv" "$@" 2> "$scratch/$label.err" ||
        fail "$label: exit status $?"
    local count resets
    count=$(sed -n 's/^heap allocations: //p' "$scratch/$label.err")
    resets=$(sed -n 's/^resets: //p' "$scratch/$label.err")
    echo "$label: $count heap allocations, $resets resets" >&2
    echo "$count"
}

mouse=$(allocations mouse --steps $steps --events "$scratch/mouse.events")
keys=$(allocations keys --steps $steps --events "$scratch/keys.events")
longer=$(allocations longer --steps $((2 * steps)) --events "$scratch/keys.events")

[ -n "$mouse" ] && [ "$mouse" -gt 0 ] || fail "the allocation counter did not report"
grep -q '^resets: [1-9]' "$scratch/mouse.err" || fail "the mouse script no longer overflows: resets are not covered"
[ "$(grep -c '^stepsPerFrame: ' "$scratch/keys.err")" -gt 1000 ] || fail "the key script echoes too little"
[ "$mouse" = "$keys" ] || fail "mouse events or resets allocate: $mouse allocations against $keys"
[ "$keys" = "$longer" ] || fail "steps allocate: $longer allocations in $((2 * steps)) steps, $keys in $steps"
finish
