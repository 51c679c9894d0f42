#!/usr/bin/env bash
# Bad input is refused before the first step: exit status 2, one line on
# stderr that names the file and line (for the script) and what is wrong,
# nothing on stdout, and no output file, complete-looking or partial, left in
# the output's directory. An output file that already exists stays as it was.
#   bad_input.sh CHAIN20_BATCH
source "$(dirname "$0")/common.sh"
batch=$1

out_dir="$scratch/out"
mkdir "$out_dir"

# expect_refusal NAME EXPECTED_MESSAGE_REGEX ARGS...
expect_refusal() {
    local name=$1 pattern=$2
    shift 2
    local status=0
    "$batch" "$@" > "$scratch/stdout" 2> "$scratch/stderr" || status=$?
    [ "$status" -eq 2 ] || fail "$name: exit status $status, expected 2"
    [ "$(wc -l < "$scratch/stderr")" -eq 1 ] || fail "$name: stderr is not one line: $(cat "$scratch/stderr")"
    grep -Eq "^chain20-batch: $pattern" "$scratch/stderr" ||
        fail "$name: message '$(cat "$scratch/stderr")' does not match '$pattern'"
    [ ! -s "$scratch/stdout" ] || fail "$name: wrote to stdout"
    local left
    left=$(ls -A "$out_dir")
    [ -z "$left" ] || fail "$name: left files behind in the output directory: $left"
    echo "ok  $name: $(cat "$scratch/stderr")"
}

# script_case NAME CONTENT LINE MESSAGE_REGEX: the script is refused, naming its line.
script_case() {
    local name=$1 content=$2 line=$3 pattern=$4
    printf '%b' "$content" > "$scratch/$name.events"
    expect_refusal "$name" "$scratch/$name.events:$line: $pattern" \
        --steps 1000 --events "$scratch/$name.events" --out "$out_dir/run.csv"
    # Also when the CSV would go to stdout: nothing may be written there.
    expect_refusal "$name (stdout)" "$scratch/$name.events:$line: $pattern" \
        --steps 1000 --events "$scratch/$name.events"
}

script_case unknown_verb '1 press 10 10\n2 jump 3 4\n' 2 "unknown event 'jump'"
script_case missing_coordinate '# header\n1 press 10\n' 2 "press needs the X and Y window coordinates"
script_case missing_both '1 drag\n' 1 "drag needs the X and Y window coordinates"
script_case non_numeric_x '1 press ten 10\n' 1 "X coordinate 'ten' is not a whole number of pixels"
script_case non_numeric_y '1 drag 10 1.5\n' 1 "Y coordinate '1.5' is not a whole number of pixels"
script_case coordinate_out_of_range '1 drag 99999999 0\n' 1 "X coordinate '99999999' is out of range"
script_case trailing_junk '1 press 1 2\n\n3 release please\n' 3 "unexpected 'please' after the release event"
script_case trailing_junk_after_key '5 right 2\n' 1 "unexpected '2' after the right event"
script_case missing_verb '1 press 1 1\n40\n' 2 "no event after the step"
script_case step_out_of_order '1 press 1 1\n50 drag 2 2\n49 release\n' 3 \
    "step 49 comes after step 50 on line 2; steps must not decrease"
script_case negative_step '-1 press 1 1\n' 1 "step -1 is negative"
script_case non_numeric_step 'soon press 1 1\n' 1 "step 'soon' is not a whole number"
script_case step_beyond_run '1 press 1 1\n1001 release\n' 2 "step '1001' lies beyond the last step of the run \\(1000\\)"
script_case absurd_step '99999999999999999999 release\n' 1 "step '99999999999999999999' lies beyond the last step"

# The script is read from stdin under the name "stdin".
printf '1 press 1 1\n2 wiggle\n' > "$scratch/stdin.events"
expect_refusal "script on stdin" "stdin:2: unknown event 'wiggle'" \
    --steps 10 --events - --out "$out_dir/run.csv" < "$scratch/stdin.events"

# Files that cannot be read or written.
expect_refusal "missing script" "cannot read event script '$scratch/none.events': No such file or directory" \
    --steps 10 --events "$scratch/none.events" --out "$out_dir/run.csv"
expect_refusal "script is a directory" "cannot read event script '$scratch': Is a directory" \
    --steps 10 --events "$scratch" --out "$out_dir/run.csv"
expect_refusal "output directory missing" "cannot write output '$scratch/nowhere/run.csv': No such file or directory" \
    --steps 10 --out "$scratch/nowhere/run.csv"
status=0
"$batch" --steps 2000 > /dev/full 2> "$scratch/stderr" || status=$?
[ "$status" -eq 2 ] || fail "stdout on a full device: exit status $status, expected 2"
grep -q "^chain20-batch: cannot write output 'stdout': No space left on device$" "$scratch/stderr" ||
    fail "stdout on a full device: message '$(cat "$scratch/stderr")'"
expect_refusal "output is a directory" "cannot write output '$out_dir': it is a directory" \
    --steps 10 --out "$out_dir"

# Counts and sizes on the command line.
expect_refusal "steps missing" "--steps is required \\(see --help\\)$" --out "$out_dir/run.csv"
# Only a recording's final line can stand for --steps; a lookalike cannot.
printf '1 release\n# final: step 40\n' > "$scratch/unfinished.events"
expect_refusal "steps missing, script without a final line" "--steps is required \\(see --help\\)$" \
    --events "$scratch/unfinished.events" --out "$out_dir/run.csv"
long_number=$(head -c 100000 /dev/zero | tr '\0' 7)
expect_refusal "steps of 100,000 digits" "--steps: '7{40}\\.\\.\\.' is not a whole number from 0 to 2147483647" \
    --steps "$long_number"
expect_refusal "gravity of 100,000 digits" "--gravity: '7{40}\\.\\.\\.' is not a finite number$" \
    --steps 1 --gravity "${long_number}x"
expect_refusal "steps negative" "--steps: '-5' is not a whole number from 0 to 2147483647" --steps -5
expect_refusal "steps fractional" "--steps: '2.5' is not a whole number" --steps 2.5
expect_refusal "steps absurd" "--steps: '9999999999' is not a whole number from 0 to 2147483647" --steps 9999999999
expect_refusal "every zero" "--every: '0' is not a whole number from 1 to 2147483647" --steps 10 --every 0
expect_refusal "every text" "--every: 'often' is not a whole number" --steps 10 --every often
expect_refusal "width zero" "--width: '0' is not a whole number from 1 to 16384" --steps 10 --width 0
expect_refusal "height absurd" "--height: '100000' is not a whole number from 1 to 16384" --steps 10 --height 100000
expect_refusal "unknown option" ".*--speed" --steps 10 --speed 3

# Ensembles: members, slices, sweeps and merges that cannot be.
expect_refusal "no members" "--members: '0' is not a whole number from 1 to 1000000" --steps 10 --members 0
expect_refusal "shard past the slices" "--shard: '3/2' is not I/K with 0 <= I < K <= 4" \
    --steps 10 --members 4 --shard 3/2
expect_refusal "member past the members" "--member: 4 is not a member \\(0 to 3\\)" --steps 10 --members 4 --member 4
expect_refusal "unknown sweep" "--sweep: unknown parameter 'links' \\(expected gravity, damping, stiffness or initial-angle\\)" \
    --steps 10 --members 4 --sweep links=1:5
expect_refusal "negative damping sweep" "--sweep: damping must stay >= 0" --steps 10 --members 4 --sweep damping=-1:5
# Values the chain's precision cannot hold: a swept parameter that rounds
# to an infinity, a Lyapunov shadow lost in rounding or more than half a
# turn away, for the chain's length at the start or as the script sets it,
# in the precision of --precision or of the recording.
expect_refusal "gravity sweep to a float infinity" "--sweep: gravity must stay finite in float$" \
    --steps 10 --members 4 --sweep gravity=1e39:0
expect_refusal "stiffness sweep to a float infinity" "--sweep: stiffness must stay finite in float$" \
    --steps 10 --members 4 --sweep stiffness=0:1e308
expect_refusal "perturbation past a float's range" "--perturb: 1e\\+39 must leave the starting angles finite in float$" \
    --steps 10 --members 4 --perturb 1e39
expect_refusal "perturbation past a double's range" "--perturb: 1e\\+308 must leave the starting angles finite in double$" \
    --steps 10 --members 4 --perturb 1e308 --sweep initial-angle=0:1e308 --precision double
expect_refusal "sweep whose step overflows a double" "--sweep: gravity must stay finite in double$" \
    --steps 10 --members 4 --sweep gravity=-1e308:1e308 --precision double
shadow_bounds="is not from 2.67e-07 to 14 for 20 links in float \\(a shadow nearer is lost in rounding, one farther is more than half a turn away on each angle\\)$"
expect_refusal "shadow lost in float rounding" "--lyapunov: 2.66e-07 $shadow_bounds" --steps 10 --members 2 --lyapunov 2.66e-07
expect_refusal "shadow far away" "--lyapunov: 1e\\+300 $shadow_bounds" --steps 10 --members 2 --lyapunov 1e300
expect_refusal "shadow lost in double rounding" "--lyapunov: 1e-30 is not from 4.97e-16 to 14 for 20 links in double" \
    --steps 10 --members 2 --lyapunov 1e-30 --precision double
printf '5 set links 2000\n' > "$scratch/long_chain.events"
expect_refusal "shadow lost for the links a script sets" "--lyapunov: 1e-06 is not from 2.67e-06 to 140 for 2000 links" \
    --steps 10 --members 2 --lyapunov 1e-6 --events "$scratch/long_chain.events"
printf '# precision: double\n0 set links 2\n# final: step 10, state hash 0123456789abcdef\n' > "$scratch/double.events"
"$batch" --members 2 --lyapunov 1e-10 --events "$scratch/double.events" --out /dev/null 2>"$scratch/stderr" ||
    fail "a shadow 1e-10 away in a double recording's chain was refused: $(cat "$scratch/stderr")"
for edge in 2.67e-07 14; do
    "$batch" --steps 10 --members 2 --lyapunov $edge --out /dev/null 2>"$scratch/stderr" ||
        fail "the shadow distance $edge at the edge of the bounds was refused: $(cat "$scratch/stderr")"
done
expect_refusal "sweep without members" "--perturb, --lyapunov, --seed, --sweep, --member and --shard need --members" \
    --steps 10 --sweep damping=0:5
printf '5 set damping 3\n' > "$scratch/sets_damping.events"
expect_refusal "script sets a swept parameter" "--sweep damping: the script sets it at line 1" \
    --steps 10 --members 4 --sweep damping=0:5 --events "$scratch/sets_damping.events"
for i in 0 1; do
    "$batch" --steps 20 --members 4 --shard $i/2 --out "$scratch/shard$i.csv" 2>/dev/null || fail "shard $i/2 failed"
done
"$batch" --steps 20 --members 4 --perturb 1e-3 --shard 1/2 --out "$scratch/foreign1.csv" 2>/dev/null ||
    fail "a shard of another run failed"
expect_refusal "merge of overlapping shards" "shards overlap: member 2 is in more than one" \
    --merge "$scratch/shard0.csv" "$scratch/shard1.csv" "$scratch/shard1.csv" --out "$out_dir/run.csv"
expect_refusal "merge with a shard missing" "members 2 to 3 are missing" \
    --merge "$scratch/shard0.csv" --out "$out_dir/run.csv"
expect_refusal "merge of a foreign shard" "'$scratch/foreign1.csv' is a shard of another run than '$scratch/shard0.csv'" \
    --merge "$scratch/shard0.csv" "$scratch/foreign1.csv" --out "$out_dir/run.csv"

# A slice proves its rows: one edited, cut short, padded or with a row lost is
# refused, as are options the merge does not take and slices that are no
# regular files (a device or a FIFO would be read without end or wait).
for i in 0 1; do
    "$batch" --steps 20 --members 4 --every 10 --shard $i/2 --out "$scratch/rows$i.csv" 2>/dev/null ||
        fail "shard $i/2 with rows failed"
done
sed '5s/,/,1/' "$scratch/rows1.csv" > "$scratch/edited.csv"
sed '4d' "$scratch/rows1.csv" > "$scratch/lost.csv"
sed '$d' "$scratch/rows1.csv" > "$scratch/cut.csv"
sed '4a 3,20,0.02,0,0,0,0,0,0' "$scratch/rows1.csv" > "$scratch/padded.csv"
sed '4,6d' "$scratch/rows1.csv" > "$scratch/dropped.csv"
{ head -c 3000000 /dev/zero | tr '\0' 7; } | cat "$scratch/rows1.csv" - > "$scratch/trailing.csv"
{ head -n 3 "$scratch/rows1.csv"; head -c 6000000 /dev/zero | tr '\0' 7; } > "$scratch/long.csv"
truncate -s 100G "$scratch/huge.csv"
for case in "edited:its rows do not match their hash \(edited or damaged\)" \
            "lost:its rows do not match their hash \(edited or damaged\)" "cut:it ends before its rows hash \(cut short\?\)" \
            "padded:line 5 is not a line of member 2" \
            "dropped:line 4 is not a line of member 2" "trailing:its last line is not its rows hash" \
            "long:line 4 is too long"; do
    expect_refusal "merge of a slice ${case%%:*}" "'$scratch/${case%%:*}.csv': ${case#*:}$" \
        --merge "$scratch/rows0.csv" "$scratch/${case%%:*}.csv" --out "$out_dir/run.csv"
done
expect_refusal "merge of a huge file" "'$scratch/huge.csv' is not the output of a chain20-batch --shard run$" \
    --merge "$scratch/rows0.csv" "$scratch/huge.csv" --out "$out_dir/run.csv"
rm "$scratch/huge.csv"
merge_usage="--merge joins finished shard outputs: give it the slices' outputs after --merge, and only --out$"
expect_refusal "merge with a chain option" "$merge_usage" --merge "$scratch/shard0.csv" "$scratch/shard1.csv" --links 5
expect_refusal "merge with threads" "$merge_usage" --threads 2 --merge "$scratch/shard0.csv" "$scratch/shard1.csv"
expect_refusal "merge with a slice after --out" "$merge_usage" \
    --merge "$scratch/shard0.csv" --out "$out_dir/run.csv" "$scratch/shard1.csv"
expect_refusal "merge of nothing" "$merge_usage" --merge --out "$out_dir/run.csv"
mkfifo "$scratch/slice.fifo"
for slice in /dev/zero "$scratch/slice.fifo" "$scratch"; do
    expect_refusal "merge of $slice" "cannot read shard '$slice': it is not a regular file$" \
        --merge "$scratch/shard0.csv" "$slice" --out "$out_dir/run.csv"
done
run_batch --out "$out_dir/run.csv" --merge "$scratch/rows1.csv" "$scratch/rows0.csv"
expect_run "merge of good slices, --out first" 0 '^ensemble hash: [0-9a-f]{16}$'
"$batch" --steps 20 --members 4 --every 10 --out "$scratch/rows.csv" 2>/dev/null || fail "the whole run failed"
cmp "$scratch/rows.csv" "$out_dir/run.csv" || fail "merged slices with rows differ from the whole run"
rm "$out_dir/run.csv"

# The help names all eight verbs of the event script with their arguments.
"$batch" --help > "$scratch/help" || fail "--help: exit status $?"
for usage in 'press X Y' 'drag X Y' release left right reset 'resize W H' 'set NAME VALUE'; do
    grep -q "STEP $usage\b" "$scratch/help" || fail "--help does not list 'STEP $usage'"
done

# A run stopped by a signal removes its unfinished output.
"$batch" --steps 100000000 --every 1000 --out "$out_dir/long.csv" 2> "$scratch/stderr" &
runner=$!
for _ in $(seq 100); do
    [ -n "$(ls -A "$out_dir")" ] && break
    sleep 0.05
done
sleep 0.2
kill -TERM "$runner"
status=0
wait "$runner" || status=$?
[ "$status" -eq 143 ] || fail "stopped run: exit status $status, expected 143"
grep -q '^chain20-batch: interrupted at step [0-9]*; no output written$' "$scratch/stderr" ||
    fail "stopped run: message '$(cat "$scratch/stderr")'"
[ -z "$(ls -A "$out_dir")" ] || fail "a stopped run left files: $(ls -A "$out_dir")"

# A refused run leaves an existing output file untouched.
echo "an earlier result" > "$out_dir/keep.csv"
printf '1 press 1\n' > "$scratch/short.events"
status=0
"$batch" --steps 10 --events "$scratch/short.events" --out "$out_dir/keep.csv" 2> /dev/null || status=$?
[ "$status" -eq 2 ] || fail "refused run over an existing file: exit status $status"
[ "$(cat "$out_dir/keep.csv")" = "an earlier result" ] || fail "a refused run changed the existing output file"
[ "$(ls -A "$out_dir")" = "keep.csv" ] || fail "a refused run left files: $(ls -A "$out_dir")"

# A good run over it replaces it, and leaves nothing else behind.
status=0
"$batch" --steps 10 --out "$out_dir/keep.csv" 2> /dev/null || status=$?
[ "$status" -eq 0 ] || fail "good run: exit status $status"
[ "$(wc -l < "$out_dir/keep.csv")" -eq 11 ] || fail "good run did not replace the file with 10 rows and a header"
[ "$(ls -A "$out_dir")" = "keep.csv" ] || fail "a good run left files: $(ls -A "$out_dir")"

finish
