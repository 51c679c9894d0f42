#!/usr/bin/env bash
# chain20-batch compiled to WebAssembly and run under node against the native
# chain20-batch: for the same options and script, in float and in double
# precision, the same CSV bytes, the same standard output, the same messages
# (apart from the wall-clock figures) and the same exit status, for good runs
# and bad command lines alike; and the same clean stop on a signal.
#
# Usage: same_bytes.sh NATIVE_BATCH WASM_BATCH_JS
set -euo pipefail

native=$1
wasm=$2
source "$(dirname "$0")/../batch/common.sh"
# Node names the program by its whole path.
wasm_path=$(realpath "$wasm")

# Runs both programs with the given arguments, keeping an output file
# $scratch/NAME.csv that they write as NAME.native.csv and NAME.wasm.csv;
# compares what they leave, and the programs' names in the help's usage line
# alike.
compare_arguments() {
    local name=$1
    shift
    local status_native=0 status_wasm=0
    "$native" "$@" >"$scratch/$name.native.out" 2>"$scratch/$name.native.err" || status_native=$?
    [ ! -e "$scratch/$name.csv" ] || mv "$scratch/$name.csv" "$scratch/$name.native.csv"
    node "$wasm" "$@" >"$scratch/$name.wasm.out" 2>"$scratch/$name.wasm.err" || status_wasm=$?
    [ ! -e "$scratch/$name.csv" ] || mv "$scratch/$name.csv" "$scratch/$name.wasm.csv"
    if [ "$status_native" != "$status_wasm" ]; then
        fail "$name: exit status $status_wasm under node, $status_native natively"
    fi
    if [ -e "$scratch/$name.native.csv" ] || [ -e "$scratch/$name.wasm.csv" ]; then
        if ! cmp "$scratch/$name.native.csv" "$scratch/$name.wasm.csv"; then
            fail "$name: the CSV files differ"
        fi
    fi
    if ! diff <(sed "s|$native|PROGRAM|" "$scratch/$name.native.out") \
              <(sed "s|$wasm_path|PROGRAM|" "$scratch/$name.wasm.out") >&2; then
        fail "$name: the standard output differs"
    fi
    local wall='^(wall seconds|steps per second|member-steps per second|real-time factor):'
    if ! diff <(grep -Ev "$wall" "$scratch/$name.native.err") <(grep -Ev "$wall" "$scratch/$name.wasm.err") >&2; then
        fail "$name: the messages differ"
    fi
}

# The same, writing the CSV to a file.
compare() {
    local name=$1
    shift
    compare_arguments "$name" "$@" --out "$scratch/$name.csv"
}

# Hanging still, every row.
compare hang --steps 1500
# A new output file gets the mode the process's umask leaves, as natively.
for mask in 022 077; do
    rm -f "$scratch/mode.csv"
    (umask "$mask" && node "$wasm" --steps 10 --out "$scratch/mode.csv" 2>/dev/null)
    expected=$(printf '%o' $((0666 & ~0$mask)))
    [ "$(stat -c %a "$scratch/mode.csv")" = "$expected" ] ||
        fail "umask $mask: a new output file has mode $(stat -c %a "$scratch/mode.csv"), not $expected"
done

# A drag that lifts the chain, crosses the window and leaves it far outside,
# in a window that is not square, with the arrow keys between.
cat >"$scratch/drag.txt" <<'SCRIPT'
100 press 600 320
400 drag 500 100
700 right
800 drag -2000 700
1100 drag 1000 -40000
1300 left
1400 release
SCRIPT
compare drag --steps 2500 --every 7 --events "$scratch/drag.txt" --width 977 --height 500

# Targets thrown far away fast enough that the state leaves the finite numbers
# and the chain is put back at rest, again and again.
cat >"$scratch/resets.txt" <<'SCRIPT'
10 press 600 320
200 drag -3000 900000
400 drag 900000 -3000
600 release
SCRIPT
compare resets --steps 1500 --every 3 --events "$scratch/resets.txt"

# Chains of other lengths and parameters, pulled by the same drag.
compare seven --steps 2000 --every 5 --events "$scratch/drag.txt" --links 7 --gravity 3.5 --damping 2 \
  --stiffness 450 --initial-angle -0.3
compare long --steps 600 --every 11 --events "$scratch/drag.txt" --links 45

# The verbs that reset the chain, change its parameters and the window.
cat >"$scratch/verbs.txt" <<'SCRIPT'
0 set links 12
0 resize 800 500
100 press 700 250
600 set stiffness 500
700 set damping 5
900 set links 30
1000 reset
1100 drag 100 450
1300 set gravity 2.5
1500 release
SCRIPT
compare verbs --steps 2000 --every 9 --events "$scratch/verbs.txt"

# The drag and the verbs with the chain in double precision, chosen by the
# option or, as a recording does, by the script.
compare drag_double --steps 2500 --every 7 --events "$scratch/drag.txt" --width 977 --height 500 --precision double
# Ensembles: perturbed, swept members with Lyapunov shadows, in both
# precisions, their rows at the end and every K steps.
compare ensemble --steps 2500 --events "$scratch/drag.txt" --members 11 --perturb 1e-4 --sweep damping=5:40 \
    --lyapunov 1e-3
compare ensemble_double --steps 2500 --every 500 --events "$scratch/drag.txt" --members 6 --perturb 1e-6 \
    --sweep gravity=1:20 --lyapunov 1e-8 --precision double
{ echo '# precision: double'; cat "$scratch/verbs.txt"; } >"$scratch/verbs_double.txt"
compare verbs_double --steps 2000 --every 9 --events "$scratch/verbs_double.txt"
if cmp -s "$scratch/verbs_double.native.csv" "$scratch/verbs.native.csv"; then
    fail "verbs_double: the same CSV as in float"
fi

# A bad script is refused the same way.
printf '5 press 1\n' >"$scratch/bad.txt"
compare bad --steps 10 --events "$scratch/bad.txt"

# Bad command lines: one line and status 2, or the help and status 0; no
# file written.
compare_arguments no_arguments
compare_arguments help --help
compare_arguments negative_steps --steps -1 --out "$scratch/negative_steps.csv"
compare_arguments every_zero --steps 10 --every 0 --out "$scratch/every_zero.csv"
compare_arguments too_wide --steps 10 --width 16385 --out "$scratch/too_wide.csv"
compare_arguments unknown_option --steps 10 --frobnicate 3 --out "$scratch/unknown_option.csv"
compare_arguments infinite_gravity --steps 10 --gravity 1e39 --out "$scratch/infinite_gravity.csv"

# A run long enough for the progress bar, which a redirected stderr never
# shows.
compare progress --steps 200000 --every 50000

# Values at the bottom of the floats: a subnormal gravity, and starting
# angles that round to zero, to the smallest subnormal (halfway between it and
# the next, to the even one) or from below to the smallest normal float,
# written out at rest, as options and as set lines.
compare subnormal_gravity --steps 300 --every 100 --gravity 1e-40
halfway_1_2=2.101947696487225606385594374934874196920392912814773657635602425834686624028790902229957282543182373046875e-45
halfway_to_normal=1.1754942807573642917278829910357665133228589927589904276829631184250030649651730385585324256680905818939208984375e-38
for angle in 1e-46 -7e-46 1e-45 $halfway_1_2 $halfway_to_normal; do
    compare "angle_$angle" --steps 1 --links 2 --gravity 0 --initial-angle "$angle"
done
printf '0 set initial-angle %s\n0 set gravity 1e-46\n0 set damping 0e99999\n' "$halfway_1_2" >"$scratch/tiny.txt"
compare tiny_set_values --steps 20 --every 10 --links 3 --events "$scratch/tiny.txt"

# A signal during the run stops it after the step at hand with the native
# message and status, and leaves no file, not even the temporary one.
interrupt() {
    local label=$1 signal=$2
    shift 2
    local folder="$scratch/$label-$signal" status=0
    mkdir "$folder"
    # A background job of a script starts with SIGINT ignored: restore it.
    (trap - INT; exec "$@" --steps 100000000 --out "$folder/run.csv" 2>"$folder.err") &
    local pid=$!
    # Once the temporary output is there, the run takes stop requests.
    for _ in $(seq 300); do
        ! compgen -G "$folder/.run.csv.partial-*" >/dev/null || break
        sleep 0.1
    done
    kill -"$signal" "$pid"
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        fail "$label, SIG$signal: still running 10 s after the signal"
        kill -KILL "$pid"
    fi
    wait "$pid" || status=$?
    [ "$status" -eq $((128 + $(kill -l "$signal"))) ] || fail "$label, SIG$signal: exit status $status"
    grep -Eqx 'chain20-batch: interrupted at step [0-9]+; no output written' "$folder.err" ||
        fail "$label, SIG$signal: stderr '$(head -c 300 "$folder.err")'"
    [ -z "$(ls -A "$folder")" ] || fail "$label, SIG$signal: left $(ls -A "$folder")"
}
for signal in INT TERM HUP; do
    interrupt native "$signal" "$native"
    interrupt node "$signal" node "$wasm"
done

finish
