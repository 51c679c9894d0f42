#!/usr/bin/env bash
# Builds chain20-bench in an optimised build, runs every benchmark ten times
# and prints a compact table: per benchmark the median, minimum, maximum, mean
# and standard deviation of the CPU time per iteration, then the dense/recursion
# and sincosf/sinCosMany ratios of the medians and the speed targets.
#
# Extra arguments go to the benchmark program, e.g.
#   bash scripts/bench.sh --benchmark_filter=derivative
#   bash scripts/bench.sh --benchmark_min_time=1
# Timings on a shared two-core machine are noisy: compare medians and minima.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DCHAIN20_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-bench -j2 --target chain20-bench

results=$(mktemp)
trap 'rm -f "$results"' EXIT

# Repetitions of different benchmarks run interleaved in random order, so that
# a burst of load elsewhere on the machine does not land on one benchmark only.
# The 20-link cases only; scripts/scaling.sh runs the scaling/ ones.
build-bench/bench/chain20-bench --benchmark_filter='^(trigonometry|derivative|step)/' --benchmark_repetitions=10 \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results" --benchmark_out_format=csv "$@"

echo
awk -F, '
  # Rows look like: "derivative/recursion/rest_median",10,812.3,811.9,ns,...
  $1 ~ /^"/ && $5 == "ns" {
    name = $1
    gsub(/"/, "", name)
    if (!match(name, /_(median|mean|stddev|min|max)$/)) next
    statistic = substr(name, RSTART + 1)
    bench = substr(name, 1, RSTART - 1)
    cpu[bench, statistic] = $4
    if (!(bench in seen)) { seen[bench] = 1; order[++count] = bench }
  }
  # The sine-cosine pairs, then derivatives, then steps, each by state, our own
  # code before its comparison.
  function sortKey(b,    parts) {
    split(b, parts, "/")
    return (parts[1] == "trigonometry" ? "0" : (parts[1] == "derivative" ? "1" : "2")) "/" parts[3] "/" \
           ((parts[2] == "recursion" || parts[2] == "sinCosMany") ? "0" : "1")
  }
  function denseOf(b,    d) { d = b; sub(/\/recursion\//, "/dense/", d); return d }
  END {
    if (count == 0) { print "no results"; exit 1 }
    for (i = 2; i <= count; ++i) {
      b = order[i]
      for (j = i - 1; j >= 1 && sortKey(order[j]) > sortKey(b); --j) order[j + 1] = order[j]
      order[j + 1] = b
    }
    printf "%-38s %10s %10s %10s %10s %9s\n", "CPU time per iteration (ns)", "median", "min", "max", "mean", "stddev"
    for (i = 1; i <= count; ++i) {
      b = order[i]
      printf "%-38s %10.0f %10.0f %10.0f %10.0f %9.0f\n", b, cpu[b, "median"], cpu[b, "min"], cpu[b, "max"], \
             cpu[b, "mean"], cpu[b, "stddev"]
    }
    print ""
    printf "%-38s %10s %10s\n", "dense / recursion", "medians", "minima"
    for (i = 1; i <= count; ++i) {
      b = order[i]
      d = denseOf(b)
      if (b !~ /\/recursion\// || !((d, "median") in cpu)) continue
      label = b
      sub(/\/recursion\//, "/", label)
      printf "%-38s %9.2fx %9.2fx\n", label, cpu[d, "median"] / cpu[b, "median"], cpu[d, "min"] / cpu[b, "min"]
    }
    if (("trigonometry/sinCosMany/swinging", "median") in cpu && ("trigonometry/sincosf/swinging", "median") in cpu) {
      printf "%-38s %9.2fx %9.2fx\n", "sincosf / sinCosMany, 40 pairs", \
             cpu["trigonometry/sincosf/swinging", "median"] / cpu["trigonometry/sinCosMany/swinging", "median"], \
             cpu["trigonometry/sincosf/swinging", "min"] / cpu["trigonometry/sinCosMany/swinging", "min"]
    }
    print ""
    print "Targets (medians): 40 pairs <= 80 ns, derivative (swinging) <= 420 ns, step <= 1700 ns, dense/recursion >= 2.5x"
    for (i = 1; i <= count; ++i) {
      b = order[i]
      if (b == "trigonometry/sinCosMany/swinging") {
        printf "  %-36s %8.0f ns (%s)\n", b, cpu[b, "median"], ((cpu[b, "median"] <= 80) ? "met" : "MISSED")
      }
      if (b !~ /\/recursion\//) continue
      limit = (b ~ /^derivative\//) ? 420 : 1700
      verdict = (cpu[b, "median"] <= limit) ? "met" : "MISSED"
      d = denseOf(b)
      ratio = ((d, "median") in cpu) ? cpu[d, "median"] / cpu[b, "median"] : 0
      printf "  %-36s %8.0f ns (%s)", b, cpu[b, "median"], verdict
      if (ratio > 0) printf ", %.2fx (%s)", ratio, ((ratio >= 2.5) ? "met" : "MISSED")
      printf "\n"
    }
  }' "$results"
