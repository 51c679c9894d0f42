#!/usr/bin/env bash
# chain20-batch compiled to WebAssembly and run under node against the native
# chain20-batch: for the same options and script, the same CSV bytes, the same
# messages (apart from the wall-clock figures) and the same exit status.
#
# Usage: same_bytes.sh NATIVE_BATCH WASM_BATCH_JS
set -euo pipefail

native=$1
wasm=$2
source "$(dirname "$0")/../batch/common.sh"

# Runs both programs with the given options; compares their output files,
# standard error without the wall-clock lines, and exit status.
compare() {
    local name=$1
    shift
    local status_native=0 status_wasm=0
    "$native" "$@" --out "$scratch/$name.native.csv" >/dev/null 2>"$scratch/$name.native.err" || status_native=$?
    node "$wasm" "$@" --out "$scratch/$name.wasm.csv" >/dev/null 2>"$scratch/$name.wasm.err" || status_wasm=$?
    if [ "$status_native" != "$status_wasm" ]; then
        fail "$name: exit status $status_wasm under node, $status_native natively"
    fi
    if [ -e "$scratch/$name.native.csv" ] || [ -e "$scratch/$name.wasm.csv" ]; then
        if ! cmp "$scratch/$name.native.csv" "$scratch/$name.wasm.csv"; then
            fail "$name: the CSV files differ"
        fi
    fi
    local wall='^(wall seconds|steps per second|real-time factor):'
    if ! diff <(grep -Ev "$wall" "$scratch/$name.native.err") <(grep -Ev "$wall" "$scratch/$name.wasm.err") >&2; then
        fail "$name: the messages differ"
    fi
}

# Hanging still, every row.
compare hang --steps 1500

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

# A bad script is refused the same way.
printf '5 press 1\n' >"$scratch/bad.txt"
compare bad --steps 10 --events "$scratch/bad.txt"

finish
