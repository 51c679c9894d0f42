#!/usr/bin/env bash
# What a script can do to the terminal and to memory: a script holds at most
# 64 MiB (an endless one is refused, not swallowed), messages show control
# bytes escaped and long words cut short, a byte-order mark is accepted, lone
# carriage returns are named as such, and a storm of resets prints ten lines
# and a count instead of one line each.
#   script_limits.sh CHAIN20_BATCH
source "$(dirname "$0")/common.sh"
batch=$1

limit=$((64 << 20))
{ printf '#'; head -c $((limit - 2)) /dev/zero | tr '\0' x; echo; } > "$scratch/comment.events"
run_batch --steps 1 --events - < "$scratch/comment.events"
expect_run "a 64 MiB comment" 0 '^steps run: 1$'
echo >> "$scratch/comment.events"
run_batch --steps 1 --events - < "$scratch/comment.events"
expect_run "one byte more" 2 "^chain20-batch: event script 'stdin' is larger than 64 MiB, the most a script may hold$"
rm "$scratch/comment.events"
run_batch --steps 1 --events /dev/zero
expect_run "endless script" 2 "^chain20-batch: event script '/dev/zero' is larger than 64 MiB"
run_batch --steps 1 --events ''
expect_run "empty script name" 2 "^chain20-batch: cannot read event script '': No such file or directory$"

# script_says NAME CONTENT STATUS STDERR_REGEX: the script given as printf
# format on stdin.
script_says() {
    printf -- "$2" > "$scratch/$1.events"
    run_batch --steps 1000 --events "$scratch/$1.events"
    expect_run "$1" "$3" "$4"
}
script_says negative_megabyte "-1%01000000d release\n" 2 "events:1: step -10{38}\.\.\. is negative$"
[ "$(wc -c < "$scratch/stderr")" -lt 200 ] || fail "negative_megabyte: a $(wc -c < "$scratch/stderr")-byte message"
script_says minus_zero '-0 release\n' 2 "events:1: step '-0' carries a sign; steps are written without one$"
script_says control_bytes '1 jump\033[2J\a\n' 2 "events:1: unknown event 'jump\\\\x1b\[2J\\\\x07'"
! grep -q $'[\x01-\x09\x0b-\x1f]' "$scratch/stderr" || fail "control_bytes: raw control bytes reached stderr"
script_says byte_order_mark '\357\273\2771 right\n' 0 '^stepsPerFrame: '
script_says lone_carriage_returns '1 press 1 1\r2 release\r' 2 \
    'events:1: carriage return in the middle of a line; end lines with a newline'

# A storm that overflows the state every few steps: ten reset lines under
# the program's own name, then one count; the closing summary has the total.
awk 'BEGIN { print "1 press 0 0"
             for (s = 10; s <= 2000; s += 10) print s, "drag", (s % 20 ? 1000000 : -1000000), 1000000 }' \
    > "$scratch/storm.events"
run_batch --steps 2000 --events "$scratch/storm.events" --out /dev/null
expect_run "reset storm" 0 '^chain20-batch: [0-9]+ more resets after the first 10 were not shown$'
shown=$(grep -c '^chain20-batch: the state left the finite numbers at step [0-9]*; the chain was put back at rest$' \
    "$scratch/stderr" || true)
held=$(sed -n 's/^chain20-batch: \([0-9]*\) more resets.*/\1/p' "$scratch/stderr")
total=$(sed -n 's/^resets: //p' "$scratch/stderr")
[ "$shown" -eq 10 ] || fail "reset storm: $shown reset lines, expected 10"
[ "$total" -eq $((shown + ${held:-0})) ] || fail "reset storm: total $total is not $shown shown + ${held:-0} held back"
[ "$(wc -l < "$scratch/stderr")" -eq 18 ] || fail "reset storm: $(wc -l < "$scratch/stderr") lines on stderr"
finish
