#!/usr/bin/env bash
# Stability of the fixed 1 ms Runge-Kutta step as the chain grows: for each N
# (default 50 200 1000 10000) two 10 s runs of chain20-batch,
#   fall  released at rest from horizontal (--initial-angle 0), no spring;
#   drag  hanging at rest, the tip spring taking hold at 0.5 s while the cursor
#         circles the window's centre once every 4 s (radius 150 pixels of a
#         640 x 640 window), let go at 9.5 s,
# and prints per run the resets to rest, the energy at the start and at the
# end, and the largest rise of the energy from one row (every 10 ms) to the
# next while no spring acts: with damping, a rise is the integrator's doing.
#
#   bash scripts/stability.sh [N...]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target chain20-batch >/dev/null
batch=build/bin/chain20-batch

work=$(mktemp -d "${TMPDIR:-/tmp}/stability.XXXXXX")
trap 'rm -rf "$work"' EXIT

awk 'BEGIN {
  print 500, "press", 480, 320
  for (step = 550; step < 9500; step += 50) {
    a = 2 * 3.14159265358979 * (step - 500) / 4000
    printf "%d drag %d %d\n", step, 330 + 150 * cos(a), 320 - 150 * sin(a)
  }
  print 9500, "release"
}' > "$work/drag.events"

# summary LABEL CSV ERR SPRING_FROM SPRING_TO: one line per run.
summary() {
  local resets first
  resets=$(sed -n 's/^resets: //p' "$3")
  first=$(grep -m1 'left the finite numbers at step' "$3" | sed 's/.*at step \([0-9]*\).*/\1/' || true)
  awk -F, -v label="$1" -v resets="$resets" -v first="${first:--}" -v from="$4" -v to="$5" '
    NR == 2 { start = $(NF - 2) }
    NR > 1 {
      e = $(NF - 2)
      if (NR > 2 && ($1 <= from || $1 > to + 10) && e - last > rise) rise = e - last
      last = e
    }
    END { printf "%-14s resets %-4s first at step %-6s energy start %-12.6g end %-12.6g largest rise %.3g\n", \
          label, resets, first, start, last, rise }' "$2"
}

for n in "${@:-50 200 1000 10000}"; do
  for links in $n; do
    "$batch" --links "$links" --initial-angle 0 --steps 10000 --every 10 --out "$work/fall.csv" 2> "$work/fall.err"
    summary "N=$links fall" "$work/fall.csv" "$work/fall.err" 0 0
    "$batch" --links "$links" --steps 10000 --every 10 --events "$work/drag.events" --out "$work/drag.csv" \
      2> "$work/drag.err"
    summary "N=$links drag" "$work/drag.csv" "$work/drag.err" 500 9500
  done
done
