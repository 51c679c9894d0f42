#!/bin/bash
# Installs the build into a fresh prefix, builds the consumer against that
# prefix alone with the build's compiler, and checks that it prints
# chain20-batch's state hash for the same 1000 steps.
# Usage: installed_core.sh CMAKE BUILD_DIR CONSUMER_SOURCE CXX BATCH_PROGRAM
# (run by the Python package's tests, tests/python)
set -euo pipefail
cmake=$1 build=$2 consumer=$3 cxx=$4 batch=$5

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
# The core's four header folders and nothing of the programs around it.
folders=$(cd "$prefix/include/chain20" && echo *)
[[ $folders == "dynamics matrix model sim" ]] || fail "installed header folders: $folders"
stray=$(find "$prefix" -ipath '*window*' -o -ipath '*batch*' -o -ipath '*cli*' -o -ipath '*python*')
[[ -z $stray ]] || fail "installed beyond the core: $stray"

"$cmake" -S "$consumer" -B "$tmp/consumer" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
"$cmake" --build "$tmp/consumer" >/dev/null
grep -qx "chain20_DIR:PATH=$prefix/lib/cmake/chain20" "$tmp/consumer/CMakeCache.txt" || fail "chain20 not found in $prefix"

# main.cpp compiled against the prefix only, with the core's rounding flags:
# the hash alone would not show them missing, as the chain's arithmetic is
# compiled into the archives.
command=$(grep '"command"' "$tmp/consumer/compile_commands.json")
for flag in -ffp-contract=off -fno-fast-math; do
    [[ " $command " == *" $flag "* ]] || fail "main.cpp compiled without $flag: $command"
done
includes=$(grep -oE -- '(-I ?|-isystem )[^ ]+' <<<"$command" | sed -E 's/^(-I ?|-isystem )//')
[[ -n $includes ]] || fail "main.cpp compiled without an include path: $command"
while read -r dir; do
    [[ $dir == "$prefix"/* ]] || fail "main.cpp compiled against $dir"
done <<<"$includes"
grep -q "$prefix/lib/chain20/libsim.a" "$tmp/consumer/CMakeFiles/chain20_consumer.dir/link.txt" ||
    fail "not linked with the installed libsim.a"

got=$("$tmp/consumer/chain20_consumer")
want=$("$batch" --steps 1000 --out /dev/null 2>&1 >/dev/null | sed -n 's/^state hash: //p')
echo "consumer: $got, chain20-batch: $want"
[[ -n $want && $got == "$want" ]] || fail "the consumer's state hash $got is not chain20-batch's $want"
