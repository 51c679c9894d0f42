#!/usr/bin/env bash
# Whatever --out names comes to no harm: a device, FIFO or socket is written
# directly and stays what it was, a descriptor named as a path is written
# where it stands, a symbolic link is followed and its target replaced, an
# existing file keeps its mode and owner (and its hard links, written in
# place), a long valid name is usable, and the event script is never
# overwritten. A write that fails stops the run at
# once with exit status 2 and leaves no file.
#   output_paths.sh CHAIN20_BATCH
source "$(dirname "$0")/common.sh"
batch=$1
dir="$scratch/out"
mkdir "$dir"

# rows FILE: the number of CSV rows after the header.
rows() { echo $(($(wc -l < "$1") - 1)); }

if [ "$(id -u)" -eq 0 ]; then
    mknod "$dir/null" c 1 3
    mknod "$dir/full" c 1 7
    run_batch --steps 10 --out "$dir/null"
    expect_run "null device" 0 '^steps run: 10$'
    [ -c "$dir/null" ] || fail "null device: no longer a character device"
    # A full device refuses the first buffer: the run stops there instead of
    # computing all its steps (which would take minutes).
    status=0
    timeout 60 "$batch" --steps 100000000 --out "$dir/full" 2> "$scratch/stderr" || status=$?
    expect_run "full device" 2 "^chain20-batch: cannot write output '$dir/full': No space left on device$"
    [ -c "$dir/full" ] || fail "full device: no longer a character device"
    rm "$dir/null" "$dir/full"
else
    echo "skipped the device node cases: mknod needs root"
fi

mkfifo "$dir/fifo"
# The reader gives up after 60 s, should the FIFO have been replaced.
timeout 60 cat "$dir/fifo" > "$scratch/from_fifo" &
reader=$!
run_batch --steps 10 --out "$dir/fifo"
wait "$reader" || true
expect_run "FIFO" 0 '^steps run: 10$'
[ "$(rows "$scratch/from_fifo")" -eq 10 ] || fail "FIFO: the reader did not get 10 rows"
[ -p "$dir/fifo" ] || fail "FIFO: no longer a FIFO"
rm "$dir/fifo"

# A descriptor named as a path, directly or through links (one of them to
# the folder /dev/fd), is written from where it stands: what the shell wrote
# before and after stays around the rows, and >> keeps what the file held.
ln -s /dev/stdout "$dir/stdout"
ln -s /dev/fd "$dir/fds"
for path in /dev/stdout /dev/fd/1 /proc/self/fd/1 "$dir/stdout" "$dir/fds/1"; do
    echo held > "$scratch/log"
    { echo before; "$batch" --steps 2 --out "$path" 2> /dev/null; echo after; } >> "$scratch/log"
    [ "$(head -1 "$scratch/log")" = held ] || fail "$path: what the file held was lost"
    [ "$(sed -n '2p;$p' "$scratch/log" | tr '\n' ' ')" = "before after " ] || fail "$path: the lines around it were lost"
    [ "$(grep -c '^[12],' "$scratch/log")" -eq 2 ] || fail "$path: not 2 rows between them"
done
[ -L "$dir/stdout" ] && [ -L "$dir/fds" ] || fail "a link to a descriptor was replaced"
rm "$dir/stdout" "$dir/fds"
{ echo before >&2; "$batch" --steps 2 --out /dev/stderr; echo after >&2; } 2> "$scratch/log"
[ "$(sed -n '1p;$p' "$scratch/log" | tr '\n' ' ')" = "before after " ] || fail "/dev/stderr: the lines around it were lost"
grep -q '^step,time,' "$scratch/log" || fail "/dev/stderr: no header"
run_batch --steps 2 --out /dev/fd/0 < /dev/null
expect_run "read-only descriptor" 2 "^chain20-batch: cannot write output '/dev/fd/0': descriptor 0 is not open for writing$"
if command -v python3 > /dev/null; then
    # A socket on stdout, as a service manager or inetd gives it.
    rows_from_socket=$(python3 -c '
import socket, subprocess, sys
ours, theirs = socket.socketpair()
run = subprocess.Popen([sys.argv[1], "--steps", "3", "--out", "/dev/stdout"], stdout=theirs, stderr=subprocess.DEVNULL)
theirs.close()
print(run.wait(), sum(1 for line in ours.makefile() if line[0].isdigit()))' "$batch")
    [ "$rows_from_socket" = "0 3" ] || fail "socket on stdout: exit status and rows '$rows_from_socket', expected '0 3'"
else
    echo "skipped the socket on stdout: no python3"
fi

# Links, relative to their own directory, are followed to the file they name,
# whether it exists yet or not; the links stay.
mkdir "$dir/sub"
echo old > "$dir/existing.csv"
ln -s ../existing.csv "$dir/sub/to_existing"
ln -s sub/to_existing "$dir/chained"
ln -s new.csv "$dir/sub/to_new"
for link in chained sub/to_new; do
    run_batch --steps 10 --out "$dir/$link"
    expect_run "link $link" 0 '^steps run: 10$'
    [ -L "$dir/$link" ] || fail "link $link: the link was replaced"
done
[ "$(rows "$dir/existing.csv")" -eq 10 ] || fail "chained link: its target was not replaced"
[ "$(rows "$dir/sub/new.csv")" -eq 10 ] || fail "dangling link: its target was not created"

# An existing file keeps its mode, and under root its owner and group; a
# file with a second hard link is written in place, so both names show the
# new rows. A name of NAME_MAX (255) bytes is usable.
chmod 600 "$dir/existing.csv"
[ "$(id -u)" -eq 0 ] && chown 1234:5678 "$dir/existing.csv"
owner=$(stat -c %u:%g "$dir/existing.csv")
ln "$dir/existing.csv" "$dir/linked.csv"
run_batch --steps 7 --out "$dir/existing.csv"
[ "$(stat -c %a "$dir/existing.csv")" = 600 ] || fail "mode 600 became $(stat -c %a "$dir/existing.csv")"
[ "$(stat -c %u:%g "$dir/existing.csv")" = "$owner" ] || fail "owner $owner became $(stat -c %u:%g "$dir/existing.csv")"
[ "$(stat -c %h "$dir/existing.csv")" -eq 2 ] && [ "$(rows "$dir/linked.csv")" -eq 7 ] ||
    fail "hard link: the file was split from its other name"
rm "$dir/linked.csv"
run_batch --steps 5 --out "$dir/existing.csv"
[ "$(stat -c %u:%g:%a "$dir/existing.csv")" = "$owner:600" ] ||
    fail "replaced file: $owner:600 became $(stat -c %u:%g:%a "$dir/existing.csv")"
long=$(printf 'n%.0s' $(seq 251)).csv
run_batch --steps 10 --out "$dir/$long"
expect_run "255-byte name" 0 '^steps run: 10$'
[ -f "$dir/$long" ] || fail "255-byte name: no file"

# No name, and the script itself under another spelling.
run_batch --steps 10 --out ''
expect_run "empty name" 2 "^chain20-batch: cannot write output '': No such file or directory$"
printf '1 right\n' > "$dir/script.txt"
(cd "$dir" && run_batch --steps 10 --events script.txt --out ./script.txt)
expect_run "output is the script" 2 "^chain20-batch: cannot write output './script.txt': it is the event script$"
[ "$(cat "$dir/script.txt")" = "1 right" ] || fail "output is the script: the script was changed"

# A file that may not grow past 200 KiB: the failed write is noticed when it
# happens, and the unfinished file is removed.
status=0
(trap '' XFSZ; ulimit -f 200; exec timeout 60 "$batch" --steps 100000000 --out "$dir/big.csv") \
    2> "$scratch/stderr" || status=$?
expect_run "file size limit" 2 "^chain20-batch: cannot write output '$dir/big.csv': File too large$"
[ ! -e "$dir/big.csv" ] || fail "file size limit: left big.csv"

# A merge checks its slices before it opens its output: a refused merge
# leaves a hard-linked output as it was, and a slice named as the output,
# directly or through another name, is refused and stays whole.
for i in 0 1; do
    "$batch" --steps 20 --members 4 --shard $i/2 --out "$scratch/slice$i.csv" 2>/dev/null || fail "slice $i failed"
done
echo "an earlier merge" > "$scratch/linked.csv"
ln "$scratch/linked.csv" "$dir/linked.csv"
run_batch --merge "$scratch/slice0.csv" --out "$dir/linked.csv"
expect_run "refused merge over a hard link" 2 "^chain20-batch: members 2 to 3 are missing$"
[ "$(cat "$scratch/linked.csv")" = "an earlier merge" ] || fail "a refused merge truncated a hard-linked output"
cp "$scratch/slice1.csv" "$scratch/kept.csv"
ln -s "$scratch/slice1.csv" "$dir/slice_link.csv"
for out in "$scratch/slice1.csv" "$dir/slice_link.csv"; do
    run_batch --merge "$scratch/slice0.csv" "$scratch/slice1.csv" --out "$out"
    expect_run "merge over its slice as $out" 2 "^chain20-batch: cannot write output '$out': it is the shard '$scratch/slice1.csv'$"
    cmp "$scratch/slice1.csv" "$scratch/kept.csv" || fail "merge over its slice as $out: the slice changed"
done
run_batch --merge "$scratch/slice0.csv" "$scratch/slice1.csv" --out /dev/fd/3 3>> "$scratch/slice1.csv"
expect_run "merge over its slice as a descriptor" 2 "^chain20-batch: cannot write output '/dev/fd/3': it is the shard"
cmp "$scratch/slice1.csv" "$scratch/kept.csv" || fail "merge over its slice as a descriptor: the slice changed"
rm "$dir/linked.csv" "$dir/slice_link.csv"

# An ensemble whose one group of lanes holds more rows than memory allows
# ends as a failed write does. (AddressSanitizer needs more address space
# than the limit leaves.)
if [[ "$(ldd "$batch" 2>/dev/null)" != *libasan* ]]; then
    status=0
    (ulimit -v 100000; exec "$batch" --steps 100000 --links 1 --members 8 --every 1 --threads 1 \
        --out "$dir/lanes.csv") 2> "$scratch/stderr" || status=$?
    expect_run "rows past memory" 2 "^chain20-batch: cannot write output '$dir/lanes.csv': Cannot allocate memory$"
fi

left=$(cd "$dir" && ls -A | grep -v -x -e existing.csv -e sub -e script.txt -e chained -e "$long" || true)
[ -z "$left" ] || fail "temporary files left behind: $left"
finish
