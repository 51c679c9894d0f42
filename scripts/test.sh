#!/usr/bin/env bash
# Installs what is missing, builds chain20 natively and for WebAssembly and
# runs every test: once in the optimised build (unit, end-to-end, soak and web
# tests) and once more under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The WebAssembly build (the page and chain20-batch for node), which the web
# tests compare with the native build.
bash scripts/web.sh --build-only

jobs=2
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCHAIN20_WERROR=ON -DCHAIN20_WEB_BUILD="$PWD/build-web"
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHAIN20_SANITIZE=ON -DCHAIN20_WERROR=ON \
  -DCHAIN20_BUILD_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs" -LE 'e2e|soak|web'
