#!/usr/bin/env bash
# The scaling study: how the recursion, in float and in double, and the dense
# float formulation grow with the number of links N, and how accurate the
# float and the double chain stay.
#
#   bash scripts/scaling.sh [REPETITIONS [OLD_BENCH]]     (default 5)
#
# Builds chain20-bench and chain20-accuracy in an optimised build, runs the
# scaling benchmarks (derivative and Runge-Kutta step, recursion in float and
# in double for N = 1 to 10000, dense up to 500 links) with interleaved
# repetitions, and writes
#   docs/scaling.dat, docs/scaling.png    median CPU ns per call against N
#   docs/accuracy.dat, docs/accuracy.png  float and double error, cond(M)
# then prints the targets: derivative cost per link at N = 10000 against
# N = 100 (float and double), the step at N = 5000, dense / recursion at
# N = 200, double / float derivative at N = 20, the double derivative's error
# at N = 500 and 10000, and the largest N that still runs in real time (one
# 1 ms step per 1 ms), interpolated log-log between the measured N. Given
# OLD_BENCH, a chain20-bench built from an earlier commit, it also times the
# 20-link float derivative and step of both binaries, one run of each in turn,
# REPETITIONS times, and prints their medians. Timings on a shared machine are
# noisy: medians and same-run ratios only.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
repetitions=${1:-5}
old_bench=${2:-}

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCHAIN20_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target chain20-bench chain20-accuracy

results=$(mktemp)
turns=$(mktemp -d)
trap 'rm -rf "$results" "$turns"' EXIT
build-bench/bench/chain20-bench --benchmark_filter='^scaling/' --benchmark_repetitions="$repetitions" \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results" --benchmark_out_format=csv > /dev/null

# Rows look like: "scaling/step/recursion/200_median",5,812.3,811.9,ns,...
awk -F, '
  $1 ~ /^"scaling\// && $1 ~ /_median"$/ {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    split(name, part, "/")
    n = part[4] + 0
    cpu[part[2] "/" part[3], n] = $4
    seen[n] = 1
  }
  END {
    print "# N  recursion_derivative  recursion_step  dense_derivative  dense_step  double_derivative  double_step   (median CPU ns)"
    count = 0
    for (n in seen) list[++count] = n + 0
    for (i = 2; i <= count; ++i) { v = list[i]; for (j = i - 1; j >= 1 && list[j] > v; --j) list[j + 1] = list[j]; list[j + 1] = v }
    for (i = 1; i <= count; ++i) {
      n = list[i]
      printf "%d", n
      split("derivative/recursion step/recursion derivative/dense step/dense derivative/double step/double", names, " ")
      for (k = 1; k <= 6; ++k) printf " %s", ((names[k], n) in cpu) ? cpu[names[k], n] : "nan"
      printf "\n"
    }
  }' "$results" > docs/scaling.dat

build-bench/bench/chain20-accuracy > docs/accuracy.dat

# Real-time N: where the step's median crosses 1e6 ns, log-log between points.
realtime() {  # realtime COLUMN
  awk -v c="$1" '!/^#/ && $c != "nan" {
      if (have && prev <= 1e6 && $c > 1e6) {
        t = (log(1e6) - log(prev)) / (log($c) - log(prev))
        printf "%.0f\n", exp(log(prevN) + t * (log($1) - log(prevN))); found = 1; exit
      }
      prev = $c; prevN = $1; have = 1 }
    END { if (!found) printf "beyond %d\n", prevN }' docs/scaling.dat
}
recursion_rt=$(realtime 3)
dense_rt=$(realtime 5)
double_rt=$(realtime 7)

gnuplot <<GNUPLOT
set terminal pngcairo size 900,600 font ",11"
set output "docs/scaling.png"
set logscale xy
set format y "10^{%L}"
set xlabel "links N"
set ylabel "CPU time per call (ns), median"
set key bottom right
set grid
set title "Cost against chain length: linear recursion in float and double, dense float formulation"
plot "docs/scaling.dat" using 1:2 with linespoints lw 2 lc rgb "dark-violet" title "float recursion: derivative", \
     "" using 1:3 with linespoints lw 2 lc rgb "dark-green" title "float recursion: RK4 step", \
     "" using 1:6 with linespoints lw 2 dt 4 lc rgb "red" title "double recursion: derivative", \
     "" using 1:7 with linespoints lw 2 dt 4 lc rgb "dark-orange" title "double recursion: RK4 step", \
     "" using 1:4 with linespoints lw 2 lc rgb "dark-cyan" title "dense float: derivative", \
     "" using 1:5 with linespoints lw 2 lc rgb "navy" title "dense float: RK4 step", \
     1e6 with lines dt 2 lc rgb "black" title "1 ms: real time (float recursion to N = ${recursion_rt}, double to ${double_rt}, dense to ${dense_rt})"
GNUPLOT

gnuplot <<'GNUPLOT'
set terminal pngcairo size 900,700 font ",11"
set output "docs/accuracy.png"
set logscale xy
set format y "10^{%L}"
set xlabel "links N"
set ylabel "normwise relative error of the derivative (median)"
set y2label "cond(M) (median)"
set logscale y2
set format y2 "10^{%L}"
set y2tics
set ytics nomirror
set key below maxrows 4
set grid
set title "Float derivative against a double reference, double derivative against a long-double one"
plot "docs/accuracy.dat" using 1:3 with linespoints lw 2 lc rgb "dark-violet" title "float recursion dq/dt", \
     "" using 1:4 with linespoints lw 2 lc rgb "dark-green" title "float recursion dp/dt", \
     "" using 1:5 with linespoints lw 2 lc rgb "dark-cyan" title "dense float dq/dt", \
     "" using 1:6 with linespoints lw 2 lc rgb "navy" title "dense float dp/dt", \
     "" using 1:7 with linespoints lw 2 dt 4 lc rgb "red" title "double recursion dq/dt", \
     "" using 1:8 with linespoints lw 2 dt 4 lc rgb "dark-orange" title "double recursion dp/dt", \
     "" using 1:9 with lines lw 2 dt 3 lc rgb "gray50" title "banded reference run in double, dq/dt", \
     "" using 1:2 axes x1y2 with lines dt 2 lw 2 lc rgb "black" title "cond(M), right axis"
GNUPLOT

echo "median CPU ns per call (docs/scaling.dat):"
cat docs/scaling.dat
echo
echo "float and double accuracy (docs/accuracy.dat):"
cat docs/accuracy.dat
echo
awk '!/^#/ { d[$1] = $2; s[$1] = $3; ds[$1] = $5; dd[$1] = $6 }
  END {
    r = (d[10000] / 10000) / (d[100] / 100)
    printf "derivative per link: %.1f ns at N = 100, %.1f ns at N = 10000, ratio %.2f (target <= 1.25: %s)\n", \
      d[100] / 100, d[10000] / 10000, r, (r <= 1.25) ? "met" : "MISSED"
    printf "RK4 step at N = 5000: %.0f ns (target <= 1e6: %s)\n", s[5000], (s[5000] <= 1e6) ? "met" : "MISSED"
    q = ds[200] / s[200]
    printf "dense / recursion step at N = 200: %.0fx (target >= 100: %s)\n", q, (q >= 100) ? "met" : "MISSED"
    r = (dd[10000] / 10000) / (dd[100] / 100)
    printf "double derivative per link: %.1f ns at N = 100, %.1f ns at N = 10000, ratio %.2f (target <= 1.25: %s)\n", \
      dd[100] / 100, dd[10000] / 10000, r, (r <= 1.25) ? "met" : "MISSED"
    q = dd[20] / d[20]
    printf "double / float derivative at N = 20: %.0f / %.0f ns = %.2fx (target <= 1.3: %s)\n", dd[20], d[20], q, \
      (q <= 1.3) ? "met" : "MISSED"
  }' docs/scaling.dat
awk '!/^#/ { e[$1] = ($7 > $8) ? $7 : $8 }
  END {
    printf "double derivative error (larger of dq/dt, dp/dt) at N = 500: %.2e (target <= 1e-9: %s)\n", e[500], \
      (e[500] <= 1e-9) ? "met" : "MISSED"
    printf "double derivative error at N = 10000: %.2e (target <= 1e-6: %s)\n", e[10000], \
      (e[10000] <= 1e-6) ? "met" : "MISSED"
  }' docs/accuracy.dat
echo "real time (step <= 1 ms): float recursion up to N = $recursion_rt, double up to N = $double_rt, dense up to N = $dense_rt"

# The 20-link float derivative and step against an earlier build, one run of
# each binary in turn so that both see the same load.
if [[ -n $old_bench ]]; then
  for ((turn = 1; turn <= repetitions; ++turn)); do
    for which in old new; do
      binary=build-bench/bench/chain20-bench
      [[ $which == old ]] && binary=$old_bench
      "$binary" --benchmark_filter='^(derivative|step)/recursion/swinging$' --benchmark_out_format=csv \
        --benchmark_out="$turns/$which.$turn.csv" > /dev/null 2>&1
    done
  done
  # median FILES... : the median CPU ns of the benchmark $name over the runs.
  median() {
    cat "$@" | awk -F, -v name="\"$name\"" '$1 == name { print $4 }' | sort -g |
      awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
  }
  for name in derivative/recursion/swinging step/recursion/swinging; do
    old=$(median "$turns"/old.*.csv)
    new=$(median "$turns"/new.*.csv)
    awk -v name="$name" -v old="$old" -v new="$new" -v runs="$repetitions" 'BEGIN {
      printf "20-link %s: %.0f ns before, %.0f ns now (medians of %d alternating runs), now / before %.3f (target <= 1: %s)\n",
        name, old, new, runs, new / old, (new <= old) ? "met" : "MISSED" }'
  done
fi
