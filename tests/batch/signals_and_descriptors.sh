#!/usr/bin/env bash
# The process around the run: signals that were ignored at start stay
# ignored (nohup, background jobs of a script), a stop request is heeded
# during the set-up too, a wait for a FIFO's reader ends on a signal like the
# run does, closed standard descriptors never become the output, and a reader
# that goes away ends the run quietly as it ends any filter, whether SIGPIPE
# kills it or is ignored.
#   signals_and_descriptors.sh CHAIN20_BATCH
source "$(dirname "$0")/common.sh"
batch=$1
dir="$scratch/out"
mkdir "$dir"

# SIGHUP ignored as nohup does, SIGINT as in a background job of a script:
# both must be shrugged off; SIGTERM then stops the run.
(trap '' HUP INT; exec "$batch" --steps 100000000 --every 1000 --out "$dir/run.csv") 2> "$scratch/stderr" &
runner=$!
for _ in $(seq 100); do
    [ -n "$(ls -A "$dir")" ] && break
    sleep 0.05
done
kill -HUP "$runner" 2> /dev/null || true
kill -INT "$runner" 2> /dev/null || true
sleep 0.3
kill -TERM "$runner" 2> /dev/null || true
status=0
wait "$runner" || status=$?
expect_run "ignored SIGHUP and SIGINT" 143 '^chain20-batch: interrupted at step [0-9]+; no output written$'
[ -z "$(ls -A "$dir")" ] || fail "the stopped run left files: $(ls -A "$dir")"

# Sets cpu_ms to the CPU time, in ms, that this script's ended children have
# used. Unlike the clock, it does not grow while other processes hold the
# cores. (times reports "MmS.SSSs" for user and system time.)
children_cpu_ms() {
    local user system t seconds
    times > "$scratch/times"
    { read -r _ _; read -r user system; } < "$scratch/times"
    cpu_ms=0
    for t in "${user%s}" "${system%s}"; do
        seconds=${t#*m}
        cpu_ms=$((cpu_ms + ${t%%m*} * 60000 + ${seconds%.*} * 1000 + 10#${seconds#*.}))
    done
}

# SIGTERM during a long set-up: six resets to 30,000 links before the first
# step. The run stops after the set-up under way, not after all six, with
# the usual line and no file. Both runs are timed in CPU time, which load on
# the machine leaves alone.
children_cpu_ms
start=$cpu_ms
"$batch" --steps 0 --links 29999 --out /dev/null 2> /dev/null
children_cpu_ms
one=$((cpu_ms - start))
for links in 30000 29999 30000 29999 30000 29999; do printf '0 set links %d\n0 reset\n' "$links"; done \
    > "$scratch/resets.events"
start=$cpu_ms
"$batch" --steps 10 --events "$scratch/resets.events" --out "$dir/set_up.csv" 2> "$scratch/stderr" &
runner=$!
for _ in $(seq 100); do
    [ -n "$(ls -A "$dir")" ] && break
    sleep 0.01
done
kill -TERM "$runner" 2> /dev/null || true
status=0
wait "$runner" || status=$?
children_cpu_ms
stopped=$((cpu_ms - start))
echo "SIGTERM in the set-up: stopped after $stopped ms of CPU time, one set-up takes $one ms"
expect_run "SIGTERM in the set-up" 143 '^chain20-batch: interrupted at step 0; no output written$'
[ -z "$(ls -A "$dir")" ] || fail "the run stopped in its set-up left files: $(ls -A "$dir")"
[ "$stopped" -lt $((3 * one)) ] || fail "SIGTERM in the set-up took $stopped ms to stop the run"

# A FIFO without a reader: the run says it waits, and SIGTERM ends the wait
# as it ends a run, leaving the FIFO and nothing else. The signal goes to the
# run itself once it has said so; stderr is emptied first, as the child opens
# it only after the fork. No timeout around this run: a signal that reaches
# timeout before it has noted its child's number ends timeout alone, and the
# run would wait on, unseen. With a reader that comes late, all rows arrive.
mkfifo "$dir/fifo"
waiting="chain20-batch: waiting for a reader of '$dir/fifo'"
: > "$scratch/stderr"
"$batch" --steps 10 --out "$dir/fifo" 2> "$scratch/stderr" &
runner=$!
for _ in $(seq 100); do
    grep -qxF "$waiting" "$scratch/stderr" && break
    sleep 0.05
done
grep -qxF "$waiting" "$scratch/stderr" ||
    fail "FIFO without a reader: stderr '$(head -c 300 "$scratch/stderr")' does not say it waits"
kill -TERM "$runner" 2> /dev/null || true
for _ in $(seq 100); do
    kill -0 "$runner" 2> /dev/null || break
    sleep 0.05
done
kill -KILL "$runner" 2> /dev/null && fail "FIFO without a reader: still waiting 5 s after SIGTERM"
status=0
wait "$runner" || status=$?
expect_run "FIFO without a reader, SIGTERM" 143 '^chain20-batch: interrupted at step 0; no output written$'
[ -p "$dir/fifo" ] && [ "$(ls -A "$dir")" = fifo ] || fail "FIFO without a reader: left $(ls -A "$dir")"
timeout -k 5 20 "$batch" --steps 10 --out "$dir/fifo" 2> "$scratch/stderr" &
runner=$!
sleep 0.3
rows=$(timeout 60 cat "$dir/fifo" | grep -c '^[0-9]') || true
status=0
wait "$runner" || status=$?
expect_run "FIFO with a late reader" 0 '^steps run: 10$'
[ "$rows" -eq 10 ] || fail "FIFO with a late reader: $rows rows, expected 10"
rm "$dir/fifo"

# With stderr closed, the key echo must not land in the CSV.
printf '1 right\n2 right\n' > "$scratch/keys.events"
status=0
"$batch" --steps 10 --events "$scratch/keys.events" --out "$dir/keys.csv" 2>&- || status=$?
[ "$status" -eq 0 ] || fail "stderr closed: exit status $status"
read -r rows _ < <(check_csv "$dir/keys.csv") || fail "stderr closed: the CSV holds other lines"
[ "${rows:-0}" -eq 10 ] || fail "stderr closed: ${rows:-no} rows, expected 10"

# A reader that leaves after one line: killed by SIGPIPE, or, with SIGPIPE
# ignored, the same status 141 and no message, long before the last step.
for disposition in default ignored; do
    trap_pipe=':'
    [ "$disposition" = ignored ] && trap_pipe="trap '' PIPE"
    status=0
    timeout 60 bash -c "$trap_pipe; exec \"\$0\" --steps 100000000" "$batch" 2> "$scratch/stderr" |
        head -1 > "$scratch/first_line" || status=${PIPESTATUS[0]}
    [ "$status" -eq 141 ] || fail "reader gone, SIGPIPE $disposition: exit status $status, expected 141"
    [ ! -s "$scratch/stderr" ] || fail "reader gone, SIGPIPE $disposition: stderr '$(head -c 300 "$scratch/stderr")'"
    grep -q '^step,time,' "$scratch/first_line" || fail "reader gone, SIGPIPE $disposition: no header"
done

# An ensemble of few steps takes a stop request between its groups of
# members: interrupted at once, not after its million members.
members_dir="$scratch/members"
mkdir "$members_dir"
(trap - INT; exec "$batch" --steps 10 --members 1000000 --every 5 --threads 2 --out "$members_dir/many.csv") \
    2> "$scratch/stderr" &
runner=$!
for _ in $(seq 100); do
    [ -n "$(ls -A "$members_dir")" ] && break
    sleep 0.05
done
kill -INT "$runner"
for _ in $(seq 50); do
    kill -0 "$runner" 2> /dev/null || break
    sleep 0.1
done
kill -0 "$runner" 2> /dev/null && { fail "short ensemble: still running 5 s after SIGINT"; kill -KILL "$runner"; }
status=0
wait "$runner" || status=$?
expect_run "short ensemble, SIGINT" 130 '^chain20-batch: interrupted after [0-9]+ of 1000000 members; no output written$'
[ -z "$(ls -A "$members_dir")" ] || fail "the stopped ensemble left files: $(ls -A "$members_dir")"

# On a terminal, a short ensemble's progress is counted in members.
script -qec "'$batch' --steps 10 --members 40000 --threads 2 --out /dev/null" /dev/null > "$scratch/terminal" ||
    fail "ensemble on a terminal: exit status $?"
grep -Eq 'member [0-9]+ of 40000' "$scratch/terminal" || fail "ensemble on a terminal: no progress by members"

# A merge waiting for a reader of its FIFO output ends on a signal, leaving
# the FIFO as it was.
for i in 0 1; do
    "$batch" --steps 20 --members 4 --shard $i/2 --out "$scratch/slice$i.csv" 2>/dev/null || fail "slice $i failed"
done
mkfifo "$members_dir/merged.fifo"
"$batch" --merge "$scratch/slice0.csv" "$scratch/slice1.csv" --out "$members_dir/merged.fifo" 2> "$scratch/stderr" &
runner=$!
for _ in $(seq 100); do
    grep -q 'waiting for a reader' "$scratch/stderr" && break
    sleep 0.05
done
kill -TERM "$runner"
status=0
wait "$runner" || status=$?
expect_run "merge waiting for a reader, SIGTERM" 143 '^chain20-batch: interrupted during the merge; no output written$'
[ -p "$members_dir/merged.fifo" ] || fail "merge waiting for a reader: the FIFO is gone"
rm "$members_dir/merged.fifo"
finish
