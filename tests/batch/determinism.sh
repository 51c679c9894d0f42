#!/usr/bin/env bash
# The same event script gives byte-identical CSV: twice into files, and once
# more through stdin and stdout. The script's storms may drive the chain out of
# the finite numbers; any reset to rest must then repeat exactly too, but
# whether one happens is the fate of a chaotic run, not a property checked here.
# Then an ensemble's members against their runs alone, over threads and slices.
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

# An ensemble in float and double under a drag with storms: each member is
# the run --member gives it alone, and the output's bytes are the same over
# one or two threads and over slices run by GNU parallel and merged. Member 0
# of an ensemble without perturbation or sweep is the plain run.
awk -v seed=5 -v steps=1400 -v tail=0 -f "$generator" > "$scratch/ensemble.events"
awk 'BEGIN { print 1600, "press 320 320"
             for (s = 1610; s < 2500; s += 10) print s, "drag", (s % 20 ? 100000 : -100000), 100000
             print 2500, "release" }' >> "$scratch/ensemble.events"
ensemble=(--events "$scratch/ensemble.events" --steps 3000 --members 19 --perturb 1e-4 --sweep damping=10:40
          --sweep gravity=9.81:3 --lyapunov 1e-6)
"$batch" --events "$scratch/ensemble.events" --steps 3000 --out "$scratch/plain.csv" 2>/dev/null ||
    fail "the plain run failed"
"$batch" --events "$scratch/ensemble.events" --steps 3000 --members 5 --member 0 --out "$scratch/member0.csv" \
    2>/dev/null || fail "--member 0 failed"
cmp "$scratch/plain.csv" "$scratch/member0.csv" || fail "member 0 of a plain ensemble is not the plain run"
for precision in float double; do
    "$batch" "${ensemble[@]}" --precision $precision --threads 1 --out "$scratch/one.csv" 2>/dev/null ||
        fail "$precision ensemble failed"
    "$batch" "${ensemble[@]}" --precision $precision --threads 2 --out "$scratch/two.csv" 2>"$scratch/two.err" ||
        fail "$precision ensemble on two threads failed"
    cmp "$scratch/one.csv" "$scratch/two.csv" || fail "$precision: one and two threads give other bytes"
    parallel -j2 "'$batch' ${ensemble[*]} --precision $precision --shard {}/3 --out '$scratch/shard{}.csv' 2>/dev/null" \
        ::: 0 1 2 || fail "$precision: a slice failed under parallel"
    "$batch" --merge "$scratch"/shard{2,0,1}.csv --out "$scratch/merged.csv" 2>"$scratch/merge.err" ||
        fail "$precision: merge failed: $(cat "$scratch/merge.err")"
    cmp "$scratch/one.csv" "$scratch/merged.csv" || fail "$precision: merged slices differ from the whole run"
    [ "$(grep 'ensemble hash' "$scratch/merge.err")" = "$(grep 'ensemble hash' "$scratch/two.err")" ] ||
        fail "$precision: the merge's ensemble hash is not the run's"
    for k in 0 7 18; do
        alone=$("$batch" "${ensemble[@]}" --precision $precision --member $k --out /dev/null 2>&1 |
            sed -n 's/^state hash: //p')
        row=$(awk -F, -v k=$k '$1 == k { print $NF }' "$scratch/one.csv")
        [ -n "$alone" ] && [ "$alone" = "$row" ] || fail "$precision member $k: alone $alone, in the ensemble $row"
    done
    echo "ensemble ($precision): 19 members, $(awk -F, 'NR == 2 { for (i = 1; i <= NF; ++i) if ($i == "resets") c = i }
        NR > 2 { r += $c } END { print r }' "$scratch/one.csv") resets, the same bytes over threads and slices, members 0, 7, 18 as alone"
done
# The finite-time largest exponent in double: a chaotic undamped chain
# released level separates from its shadow, a damped one at rest hanging
# down draws it in.
"$batch" --steps 20000 --members 2 --sweep damping=0:20 --sweep initial-angle=0:-1.5707963267948966 \
    --precision double --lyapunov 1e-8 --out "$scratch/lyapunov.csv" 2>/dev/null || fail "the Lyapunov run failed"
read -r free settled < <(awk -F, 'NR > 2 { printf "%s ", $(NF - 1) } END { print "" }' "$scratch/lyapunov.csv")
awk -v free="$free" -v settled="$settled" 'BEGIN { exit !(free > 1 && settled < 0) }' ||
    fail "largest exponents $free (undamped, level) and $settled (damped, hanging): expected > 1 and < 0"
echo "lyapunov: undamped and level $free /s, damped and hanging $settled /s"

# An ensemble's rows stream out in member order: 20,000 members' rows at
# every step, some 40 MB, pass through a few groups' worth of memory, and
# come out the same on two threads as on one.
peak_kb() {  # peak_kb OUT ARGS...: the run's peak resident memory in KiB, its CSV in OUT
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0" /usr/bin/python3 -c '
import resource, subprocess, sys
with open(sys.argv[1], "wb") as out:
    subprocess.run(sys.argv[2:], stdout=out, stderr=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@"
}
streamed=(--steps 20 --links 1 --members 20000)
summary_kb=$(peak_kb "$scratch/summary.csv" "$batch" "${streamed[@]}" --threads 2) || fail "the summary run failed"
rows_kb=$(peak_kb "$scratch/rows2.csv" "$batch" "${streamed[@]}" --threads 2 --every 1) || fail "the rows run failed"
"$batch" "${streamed[@]}" --every 1 --threads 1 --out "$scratch/rows1.csv" 2>/dev/null || fail "one thread failed"
cmp "$scratch/rows1.csv" "$scratch/rows2.csv" || fail "streamed rows: one and two threads give other bytes"
bytes=$(wc -c < "$scratch/rows2.csv")
[ $(((rows_kb - summary_kb) * 1024 * 8)) -lt "$bytes" ] ||
    fail "streamed rows: $bytes bytes of rows took $((rows_kb - summary_kb)) KiB more memory than the summary"
echo "streamed rows: $bytes bytes in $rows_kb KiB at most, $summary_kb KiB without rows"
finish
