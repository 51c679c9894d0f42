#!/usr/bin/env bash
# The same event script gives byte-identical CSV: twice into files, and once
# more through stdin and stdout. The script's storms may drive the chain out of
# the finite numbers; any reset to rest must then repeat exactly too, but
# whether one happens is the fate of a chaotic run, not a property checked here.
#   determinism.sh CHAIN20_BATCH MAKE_EVENTS_AWK
source "$(dirname "$0")/common.sh"
batch=$1
generator=$2

steps=120000
every=7  # not a divisor of steps: the last step gets a row of its own
awk -v seed=18 -v steps=$steps -v tail=2000 -f "$generator" > "$scratch/run.events"

run() {
    "$batch" --steps $steps --every $every "$@" || fail "run $* exited with status $?"
}
run --events "$scratch/run.events" --out "$scratch/first.csv" 2> "$scratch/first.err"
run --events "$scratch/run.events" --out "$scratch/second.csv" 2> "$scratch/second.err"
run --events - < "$scratch/run.events" > "$scratch/piped.csv" 2> "$scratch/piped.err"

cmp "$scratch/first.csv" "$scratch/second.csv" || fail "two runs of the same script differ"
cmp "$scratch/first.csv" "$scratch/piped.csv" || fail "stdin and stdout give other bytes than files"

# Resets and key echoes repeat too; only the timing lines may differ.
untimed() { grep -Ev '^(wall seconds|steps per second|real-time factor): ' "$1"; }
diff <(untimed "$scratch/first.err") <(untimed "$scratch/second.err") >&2 || fail "stderr differs between runs"

resets=$(sed -n 's/^resets: //p' "$scratch/first.err")

read -r rows max_p < <(check_csv "$scratch/first.csv") || fail "a row is malformed or not finite"
expected_rows=$((steps / every + 1))  # every multiple of 7, and the last step
[ "${rows:-0}" -eq $expected_rows ] || fail "$rows rows, expected $expected_rows"
tail -n 2 "$scratch/first.csv" | cut -d, -f1 | tr '\n' ' ' | grep -qx "$((steps / every * every)) $steps " ||
    fail "the last rows are not the last multiple of $every and step $steps"

echo "determinism: $steps steps, $rows rows, ${resets:-no} resets, max |p| $max_p, $(wc -c < "$scratch/first.csv") bytes identical in 3 runs"
finish
