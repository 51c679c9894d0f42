#!/usr/bin/env bash
# Draws the chain's energy over a scripted 20 s run of chain20-batch into a PNG.
#
#   scripts/plot_energy.sh [OUTPUT.png]        (default docs/energy.png)
#
# The run: at 0.5 s the tip spring takes hold of the hanging chain, and the
# cursor sweeps up the right-hand side for four seconds, lifting the chain to
# 45 degrees above the horizontal; at 6 s it lets go, and the chain swings
# down and swings on for 14 s under gravity alone, joint damping taking
# energy out. The upper panel shows H = kinetic + potential energy (the spring's own
# energy is not part of it), the lower one where the tip is.
#
# Uses the chain20-batch in $CHAIN20_BATCH, or build/bin/chain20-batch, which
# it builds first if it is missing. Needs gnuplot (Debian gnuplot-nox).
set -euo pipefail
cd "$(dirname "$0")/.."

output=${1:-docs/energy.png}
batch=${CHAIN20_BATCH:-build/bin/chain20-batch}
if [ ! -x "$batch" ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
    cmake --build build -j2 --target chain20-batch
    batch=build/bin/chain20-batch
fi
command -v gnuplot > /dev/null || { echo "plot_energy.sh: gnuplot is missing (apt-get install gnuplot-nox)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/plot-energy.XXXXXX")
trap 'rm -rf "$work"' EXIT

steps=20000
# Window pixels of a 640 x 640 window. The target is (95 x / 640 - 49,
# 50 - 100 y / 640) at two units per link, so radius 40 around the base
# (pixel 330, 320) reaches as far as the chain does.
awk -v steps=$steps '
    function pixel_x(tx) { return int((tx + 49) * 640 / 95 + 0.5) }
    function pixel_y(ty) { return int((50 - ty) * 640 / 100 + 0.5) }
    function target(step, verb, angle,   tx, ty) {
        tx = 40 * cos(angle); ty = 40 * sin(angle)
        print step, verb, pixel_x(tx), pixel_y(ty)
    }
    BEGIN {
        pi = atan2(0, -1)
        print "# Take hold of the tip where it hangs and lift it up the right-hand side."
        target(500, "press", -0.5 * pi)
        for (step = 520; step <= 4500; step += 20) target(step, "drag", -0.5 * pi + (step - 500) / 4000 * 0.75 * pi)
        print "# Let go."
        print 6000, "release"
    }' > "$work/run.events"

"$batch" --steps $steps --every 10 --events "$work/run.events" --out "$work/run.csv" 2> "$work/run.log" ||
    { cat "$work/run.log" >&2; exit 1; }

if gnuplot -e 'set terminal' 2> /dev/null | grep -q pngcairo; then
    terminal="pngcairo size 1200,800 font 'Sans,11'"
else
    terminal="png size 1200,800"
fi

mkdir -p "$(dirname "$output")"
gnuplot <<GNUPLOT
set terminal $terminal
set output '$output'
set datafile separator ','
set key autotitle columnhead top right box opaque
set grid
set xrange [0:20]
set multiplot layout 2,1 title 'chain20: 20-link pendulum, lifted by the tip spring, released, swinging free (chain20-batch, RK4, h = 1 ms)'

# Press and release marks.
do for [mark in "0.5:press 6:release"] {
    t = real(substr(mark, 1, strstrt(mark, ':') - 1))
    set arrow from t, graph 0 to t, graph 1 nohead dashtype 2 linecolor rgb '#888888'
    set label substr(mark, strstrt(mark, ':') + 1, strlen(mark)) at t, graph 0.96 offset 0.5,0 textcolor rgb '#555555'
}

set ylabel 'energy H = T + V  [J]'
set format x ''
set lmargin 12
set bmargin 0.5
set yrange [-2500:*]
set label 100 'at rest: -1962 J' at 19.8, -1962 right offset 0,0.8 textcolor rgb '#2a7f2a'
set label 101 'the spring lifts the chain' at 3.25, graph 0.05 center
set label 102 'free swing: gravity alone, joint damping takes energy out' at 13, graph 0.75 center
plot '$work/run.csv' using 2:43 with lines linewidth 2 linecolor rgb '#1f5fbf' title 'energy (spring energy not included)', \
     -1962 with lines dashtype 3 linecolor rgb '#2a7f2a' notitle

unset label 100
unset label 101
unset label 102
set xlabel 'simulated time  [s]'
set format x '%g'
set ylabel 'tip position from the base  [m]'
set yrange [-21:21]
set tmargin 0.5
set bmargin 3.5
plot '$work/run.csv' using 2:44 with lines linewidth 1.5 linecolor rgb '#c0392b' title 'tip x', \
     '$work/run.csv' using 2:45 with lines linewidth 1.5 linecolor rgb '#7d3c98' title 'tip y'
unset multiplot
GNUPLOT

echo "wrote $output ($(sed -n 's/^resets: //p' "$work/run.log") resets, $(tail -n 1 "$work/run.csv" | cut -d, -f43) J at the end)"
