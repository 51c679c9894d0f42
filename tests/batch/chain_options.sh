#!/usr/bin/env bash
# The chain options of chain20-batch: bad values are refused before anything
# runs (exit status 2, one line naming the option, no output file); a chain
# of N links writes p1..pN, q1..qN; and an undamped five-link chain falling
# from horizontal, with no spring, keeps its energy to 1e-4 of g N^2 L / 2
# (the potential energy it has to give up to hang) over 10 s; a one-metre
# link at a huge angle (1e20 rad) still has its tip one metre from the base.
#   chain_options.sh CHAIN20_BATCH
source "$(dirname "$0")/common.sh"
batch=$1

# refused NAME ARGS...
refused() {
    local name=$1 status=0
    shift
    "$batch" --steps 10 --out "$scratch/refused.csv" "$@" > "$scratch/stdout" 2> "$scratch/stderr" || status=$?
    [ "$status" -eq 2 ] || fail "$*: exit status $status, expected 2"
    [ "$(wc -l < "$scratch/stderr")" -eq 1 ] || fail "$*: stderr is not one line: $(cat "$scratch/stderr")"
    grep -q "^chain20-batch: --$name" "$scratch/stderr" || fail "$*: message does not name --$name"
    [ ! -e "$scratch/refused.csv" ] || fail "$*: wrote an output file"
}
refused links --links 0
refused links --links 100001
refused links --links 2.5
refused links --links=twenty
refused links --links
refused gravity --gravity nan
refused gravity --gravity -inf
refused gravity --gravity 1e39
refused damping --damping -0.1
refused stiffness --stiffness=-3
refused initial-angle --initial-angle 1.5rad

"$batch" --links 3 --steps 2 --out "$scratch/three.csv" 2> /dev/null || fail "--links 3: exit status $?"
[ "$(head -1 "$scratch/three.csv")" = "step,time,p1,p2,p3,q1,q2,q3,energy,tip_x,tip_y" ] ||
    fail "--links 3: header $(head -1 "$scratch/three.csv")"

"$batch" --links 5 --damping 0 --initial-angle 0 --steps 10000 --every 10 --out "$scratch/fall.csv" 2> /dev/null ||
    fail "five-link fall: exit status $?"
drift=$(awk -F, 'NR == 2 { start = $(NF - 2) }
    NR > 1 { d = $(NF - 2) - start; if (d < 0) d = -d; if (d > most) most = d; q = $8 }
    END { printf "%.3g %s", most / (9.81 * 25 / 2), (q < -0.5 || q > 0.5) ? "moved" : "still" }' "$scratch/fall.csv")
echo "five-link fall: largest energy change / (g N^2 L/2), and whether joint 1 swung: $drift" >&2
awk -v d="${drift% *}" 'BEGIN { exit !(d < 1e-4) }' || fail "five-link fall: energy drifted by $drift"
[ "${drift#* }" = moved ] || fail "five-link fall: joint 1 did not swing down"

"$batch" --links 1 --gravity 0 --initial-angle 1e20 --steps 1 --out "$scratch/huge.csv" 2> /dev/null ||
    fail "angle 1e20: exit status $?"
reach=$(awk -F, 'END { printf "%.17g", sqrt($(NF - 1) ^ 2 + $NF ^ 2) }' "$scratch/huge.csv")
echo "one link at 1e20 rad: tip $(tail -n 1 "$scratch/huge.csv" | cut -d, -f5-) at $reach m from the base" >&2
awk -v r="$reach" 'BEGIN { d = r - 1; exit !(d < 1e-12 && d > -1e-12) }' || fail "angle 1e20: the tip lies $reach m from the base"
finish
