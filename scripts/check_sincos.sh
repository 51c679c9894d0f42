#!/usr/bin/env bash
# Exhaustive check of sinCos and sinCosMany over all 2^32 float bit patterns
# against libquadmath's sinq and cosq rounded to float, on every core. Prints
# each mismatch, the hardest-to-round arguments and the number of mismatches
# (0 when correct); exits non-zero otherwise. Takes minutes, not part of the
# unit tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

mkdir -p build-check
# libquadmath and its header come with GCC.
g++ -std=c++20 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math -I. \
  scripts/check_sincos.cpp dynamics/sincos.cpp -o build-check/check_sincos -lquadmath -pthread
time build-check/check_sincos
