# Shared by the chain20-batch test scripts: a scratch directory removed on
# exit, and failure reporting.
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/chain20-batch-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}

# Checks that every line of a CSV file after the header is a row of 45
# finite numbers and that the header is the expected one. Prints the number
# of rows and the largest |p| on stdout as "ROWS MAXP".
check_csv() {
    awk -F, '
        NR == 1 {
            if ($1 != "step" || $2 != "time" || $3 != "p1" || $22 != "p20" || $23 != "q1" || $42 != "q20" ||
                $43 != "energy" || $44 != "tip_x" || $45 != "tip_y" || NF != 45) {
                print "bad header: " $0 > "/dev/stderr"; bad = 1; exit 1
            }
            next
        }
        {
            if (NF != 45) { print "line " NR ": " NF " fields" > "/dev/stderr"; bad = 1; exit 1 }
            for (i = 1; i <= NF; i++) {
                if ($i !~ /^-?([0-9]+\.?[0-9]*|\.[0-9]+)(e[-+]?[0-9]+)?$/) {
                    print "line " NR ", column " i ": not a finite number: " $i > "/dev/stderr"; bad = 1; exit 1
                }
            }
            for (i = 3; i <= 22; i++) { a = $i < 0 ? -$i : $i; if (a > maxp) maxp = a }
            rows++
        }
        END { if (!bad) printf "%d %.9g\n", rows, maxp; exit bad }
    ' "$1"
}

# run_batch ARGS...: runs "$batch" with its stdout and stderr in
# $scratch/stdout and $scratch/stderr, and its exit status in $status.
run_batch() {
    status=0
    "$batch" "$@" > "$scratch/stdout" 2> "$scratch/stderr" || status=$?
}

# expect_run NAME STATUS STDERR_REGEX: checks the last run_batch.
expect_run() {
    local name=$1 want=$2 pattern=$3
    [ "$status" -eq "$want" ] || fail "$name: exit status $status, expected $want"
    grep -Eq -- "$pattern" "$scratch/stderr" || fail "$name: stderr '$(head -c 300 "$scratch/stderr")' lacks '$pattern'"
}
