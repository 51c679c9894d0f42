#!/usr/bin/env bash
# Random-drag soak: a million steps of targets jumping across the whole window
# every 10 to 50 steps, the button toggling, arrow keys, and storms of far
# corner-to-corner jumps that spin the chain up until the arithmetic overflows.
# Every row written must be finite, every overflow must have been reset, and
# the rows must come at the promised steps.
#   soak.sh CHAIN20_BATCH MAKE_EVENTS_AWK
source "$(dirname "$0")/common.sh"
batch=$1
generator=$2

steps=1000000
every=50
seed=20240611

awk -v seed=$seed -v steps=$steps -f "$generator" > "$scratch/soak.events"
events=$(grep -vc '^#' "$scratch/soak.events")
storms=$(grep -Ec 'press (0|639) (0|639)$' "$scratch/soak.events")

started=$(date +%s.%N)
status=0
"$batch" --steps $steps --every $every --events "$scratch/soak.events" --out "$scratch/soak.csv" \
    2> "$scratch/soak.err" || status=$?
finished=$(date +%s.%N)
[ "$status" -eq 0 ] || { cat "$scratch/soak.err" >&2; fail "exit status $status"; finish; }

read -r rows max_p < <(check_csv "$scratch/soak.csv") || fail "a row is malformed or not finite"

# Rows at steps every, 2 every, ..., steps, with time = step / 1000.
awk -F, -v every=$every 'NR > 1 {
        want = (NR - 1) * every
        if ($1 != want) { print "row " NR - 1 " is step " $1 ", expected " want > "/dev/stderr"; exit 1 }
        if ($2 != sprintf("%d.%03d", int($1 / 1000), $1 % 1000)) { print "row " NR - 1 ": time " $2 " for step " $1 > "/dev/stderr"; exit 1 }
        last = $1
    }
    END { if (last != '$steps') { print "last row is step " last > "/dev/stderr"; exit 1 } }' \
    "$scratch/soak.csv" || fail "rows are not at the promised steps"

resets=$(sed -n 's/^resets: //p' "$scratch/soak.err")
reset_lines=$(grep -c 'left the finite numbers' "$scratch/soak.err" || true)
held_back=$(sed -n 's/^chain20-batch: \([0-9]*\) more resets after the first 10 were not shown$/\1/p' "$scratch/soak.err")
[ -n "$resets" ] || fail "no reset count in the summary"
[ "$resets" = "$((reset_lines + ${held_back:-0}))" ] ||
    fail "summary says $resets resets, $reset_lines reset lines were written and ${held_back:-0} held back"
[ "${resets:-0}" -ge 1 ] || fail "the storms never drove the state to overflow: the reset went untested"
# Reset lines name increasing steps within the run.
grep 'left the finite numbers' "$scratch/soak.err" | sed 's/.* at step \([0-9]*\);.*/\1/' |
    awk -v steps=$steps '$1 <= prev || $1 > steps { exit 1 } { prev = $1 }' ||
    fail "reset lines do not name increasing steps within the run"
grep -q '^steps run: '$steps'$' "$scratch/soak.err" || fail "summary does not report $steps steps"
# Nothing but the summary, the reset lines and the key echo reaches stderr.
allowed='^(stepsPerFrame: [0-9]+'
allowed+='|chain20-batch: the state left the finite numbers at step [0-9]+; the chain was put back at rest'
allowed+='|chain20-batch: [0-9]+ more resets after the first 10 were not shown'
allowed+='|(steps run|simulated seconds|wall seconds|steps per second|real-time factor|resets): .*'
allowed+='|state hash: [0-9a-f]{16})$'
if grep -Ev "$allowed" \
    "$scratch/soak.err" >&2; then
    fail "unexpected lines on stderr"
fi

printf 'soak: %d steps, %d events (%d storms), %d rows, %s resets, max |p| %s, %.1f s wall (%s steps/s)\n' \
    $steps "$events" "$storms" "${rows:-0}" "${resets:-?}" "${max_p:-?}" \
    "$(awk "BEGIN { print $finished - $started }")" \
    "$(sed -n 's/^steps per second: //p' "$scratch/soak.err")"
finish
