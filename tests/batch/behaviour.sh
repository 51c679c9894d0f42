#!/usr/bin/env bash
# What the runner does with simple scripts.
#   behaviour.sh CHAIN20_BATCH CHECK
# CHECK is one of:
#   rest            no events: the chain stays hanging at rest
#   key_echo        right arrow echoes on stderr only, with a prefix
#   cursor_mapping  presses pull the tip toward the pixel pressed, through
#                   the window mapping and the window size
#   energy_release  after a drag and release the energy only falls
#   event_timing    an event at step S acts from step S on; step 0 is step 1
#   replay          a recording's final line gives the steps and is checked
#   set_up          changes of the chain before the first step set it up
#                   once, as if each had set it up at once
source "$(dirname "$0")/common.sh"
batch=$1
check=$2

run() {
    local status=0
    "$batch" "$@" 2> "$scratch/stderr" || status=$?
    [ "$status" -eq 0 ] || { cat "$scratch/stderr" >&2; fail "run $* exited with status $status"; }
}

case "$check" in
rest)
    # The initial base angle lies 3.14e-7 rad off -pi/2, so gravity's moment
    # about the base is at most 9.81 x 200 x 3.14e-7 = 6.2e-4 N m, and in one
    # second no momentum can grow past that impulse. The energy moves by
    # less still: it may only change by rounding.
    run --steps 1000 > "$scratch/rest.csv"
    read -r rows max_p < <(check_csv "$scratch/rest.csv") || fail "malformed rows"
    [ "$rows" -eq 1000 ] || fail "$rows rows for 1000 steps with --every 1, expected 1000"
    awk -F, 'NR > 1 {
            for (i = 3; i <= 22; i++) { a = $i < 0 ? -$i : $i; if (a > maxp) maxp = a }
            if (NR == 2) first = $43
            d = $43 - first; if (d < 0) d = -d; if (d > spread) spread = d
            if ($44 > 1e-4 || $44 < -1e-4 || $45 > -20 + 1e-6 || $45 < -20 - 1e-6) {
                print "step " $1 ": tip (" $44 ", " $45 ") left the rest position" > "/dev/stderr"; bad = 1
            }
        }
        END {
            printf "rest: max |p| %g, energy %s, spread %g\n", maxp, first, spread
            if (maxp >= 6.2e-4) { print "momenta grew past the gravity impulse" > "/dev/stderr"; bad = 1 }
            if (first < -1962.000001 || first > -1961.999999) { print "energy at rest is not -1962 J" > "/dev/stderr"; bad = 1 }
            if (spread > 1e-8) { print "energy changed by more than rounding" > "/dev/stderr"; bad = 1 }
            exit bad
        }' "$scratch/rest.csv" || fail "the chain did not stay at rest"
    ;;

key_echo)
    printf '1 right\n1 right\n# later\n500 right\n600 left\n' > "$scratch/keys.events"
    run --steps 1000 --every 100 --events "$scratch/keys.events" > "$scratch/keys.csv"
    printf 'stepsPerFrame: 31\nstepsPerFrame: 32\nstepsPerFrame: 33\n' > "$scratch/expected"
    grep '^stepsPerFrame' "$scratch/stderr" | diff "$scratch/expected" - >&2 || fail "right arrow echo on stderr"
    allowed='^(stepsPerFrame: 3[123]|steps run: 1000|simulated seconds: 1.000|resets: 0'
    allowed+='|(wall seconds|steps per second|real-time factor): .*|state hash: [0-9a-f]{16})$'
    grep -Ev "$allowed" "$scratch/stderr" >&2 && fail "unexpected lines on stderr"
    # The summary's hash: 64-bit FNV-1a over the final state's 40 floats as
    # little-endian bytes, recomputed here from the last row's p and q.
    summary_hash=$(sed -n 's/^state hash: //p' "$scratch/stderr")
    row_hash=$(tail -n 1 "$scratch/keys.csv" | perl -Minteger -ne '
        my @f = split /,/; my $h = -3750763034362895579;    # 0xcbf29ce484222325
        for my $byte (unpack "C*", pack "f<*", @f[2 .. 41]) { $h ^= $byte; $h *= 1099511628211; }
        printf "%016x", $h;')
    [ "$summary_hash" = "$row_hash" ] || fail "state hash $summary_hash, but the last row hashes to $row_hash"
    read -r rows max_p < <(check_csv "$scratch/keys.csv") || fail "stdout holds something besides the CSV"
    [ "$rows" -eq 10 ] || fail "$rows rows, expected 10"
    # stepsPerFrame only paces the window's redraws: the rows are those of a run without keys.
    run --steps 1000 --every 100 > "$scratch/nokeys.csv"
    cmp "$scratch/keys.csv" "$scratch/nokeys.csv" || fail "arrow keys changed the simulation"
    grep -qx "state hash: $summary_hash" "$scratch/stderr" || fail "arrow keys changed the state hash"
    ;;

cursor_mapping)
    # A press held for two seconds pulls the tip toward the pixel pressed.
    # tip_at CSV: the tip after the last step.
    press_run() {  # press_run X Y [ARGS...]
        local x=$1 y=$2
        shift 2
        printf '1 press %d %d\n' "$x" "$y" > "$scratch/press.events"
        run --steps 2000 --every 10 --events "$scratch/press.events" "$@"
    }
    final_tip() { tail -n 1 "$1" | awk -F, '{ print $44, $45 }'; }

    press_run 0 320 > "$scratch/left.csv"
    press_run 639 320 > "$scratch/right.csv"
    press_run 320 0 > "$scratch/top.csv"
    read -r lx ly < <(final_tip "$scratch/left.csv")
    read -r rx ry < <(final_tip "$scratch/right.csv")
    read -r tx ty < <(final_tip "$scratch/top.csv")
    echo "tip after 2 s: press left edge ($lx, $ly), right edge ($rx, $ry), top edge ($tx, $ty)"
    awk -v v="$lx" 'BEGIN { exit !(v < -10) }' || fail "a press at the left edge did not pull the tip left"
    awk -v v="$rx" 'BEGIN { exit !(v > 10) }' || fail "a press at the right edge did not pull the tip right"
    awk -v v="$ty" 'BEGIN { exit !(v > 10) }' || fail "a press at the top edge did not lift the tip"

    # At the bottom centre the target is (-1.5, -49.84) at two units per link:
    # the chain hangs stretched toward (-0.75, -24.92), its tip near
    # 20 x (-0.75 / 24.93) = -0.60 to the side. Had the cursor been mapped
    # onto the chain's own plane or without the base offset, it would hang
    # straight down (mean 0).
    press_run 320 639 > "$scratch/bottom.csv"
    awk -F, 'NR > 1 && $1 >= 1000 { sum += $44; n++ }
        END { mean = sum / n; printf "bottom centre: mean tip_x %.4f over the second second\n", mean
              exit !(mean > -0.7 && mean < -0.5) }' "$scratch/bottom.csv" ||
        fail "a press at the bottom centre does not hang the tip about 0.6 to the left"

    # The same fraction of any window is the same target: bit for bit the same run.
    press_run 320 320 > "$scratch/centre.csv"
    press_run 640 320 --width 1280 > "$scratch/wide.csv"
    press_run 320 160 --height 320 > "$scratch/short.csv"
    press_run 960 480 --width 1920 --height 960 > "$scratch/large.csv"
    for other in wide short large; do
        cmp -s "$scratch/centre.csv" "$scratch/$other.csv" || fail "the centre of the $other window is another target"
    done
    press_run 320 320 --width 1280 > "$scratch/offcentre.csv"
    cmp -s "$scratch/centre.csv" "$scratch/offcentre.csv" && fail "--width does not change the mapping"
    ;;

energy_release)
    # The spring drags the chain out for three seconds (doing work on it),
    # then lets go. From then on gravity and damping alone act, and H can
    # only fall. Late in a long swing, when damping takes little per step, the
    # float state's rounding moves H by up to 9e-4 J a step (measured), so
    # rises below 1e-2 J count as rounding; a spring left on or a damping of
    # the wrong sign adds far more.
    printf '1 press 600 320\n1500 drag 500 100\n3000 release\n' > "$scratch/swing.events"
    run --steps 15000 --events "$scratch/swing.events" > "$scratch/swing.csv"
    check_csv "$scratch/swing.csv" > /dev/null || fail "malformed rows"
    awk -F, -v rest=-1962 'NR > 1 {
            if ($1 == 2999) held = $43
            if ($1 >= 2999) {
                if (have && $43 - prev > rise) { rise = $43 - prev; at = $1 }
                prev = $43; have = 1
            }
            last = $43
        }
        END {
            printf "energy: rest %.3f J, at release %.3f J, 12 s later %.3f J, largest rise %.3g J (step %d)\n",
                   rest, held, last, rise, at
            if (held < rest + 5000) { print "the drag did not lift the energy" > "/dev/stderr"; exit 1 }
            if (rise > 1e-2) { print "energy rose after the release" > "/dev/stderr"; exit 1 }
            if (last > held - 3000) { print "energy did not fall after the release" > "/dev/stderr"; exit 1 }
            if (last < rest) { print "energy fell below rest" > "/dev/stderr"; exit 1 }
        }' "$scratch/swing.csv" || fail "energy after the release"
    ;;

event_timing)
    # row_of CSV STEP: the row written after STEP steps.
    row_of() { awk -F, -v s="$2" 'NR > 1 && $1 == s' "$1"; }
    run --steps 5 > "$scratch/none.csv"
    for at in 0 1 2; do
        printf '%d press 0 320\n' "$at" > "$scratch/at$at.events"
        run --steps 5 --events "$scratch/at$at.events" > "$scratch/at$at.csv"
    done
    cmp -s "$scratch/at0.csv" "$scratch/at1.csv" || fail "an event at step 0 is not applied before the first step"
    [ -z "$(row_of "$scratch/none.csv" 0)" ] || fail "a row was written for step 0, before any step ran"
    [ "$(row_of "$scratch/at1.csv" 1)" != "$(row_of "$scratch/none.csv" 1)" ] || fail "a press at step 1 did not act on step 1"
    [ "$(row_of "$scratch/at2.csv" 1)" = "$(row_of "$scratch/none.csv" 1)" ] || fail "a press at step 2 acted on step 1"
    [ "$(row_of "$scratch/at2.csv" 2)" != "$(row_of "$scratch/none.csv" 2)" ] || fail "a press at step 2 did not act on step 2"
    # The spring pulls toward the left edge at once: p1 turns the chain that way.
    awk -F, -v s=1 'NR > 1 && $1 == s { exit !($3 < -1e-3) }' "$scratch/at1.csv" ||
        fail "the first step after a left-edge press does not turn the base toward the left"
    ;;

replay)
    # A script shaped as chain20 records: its final line names the steps run,
    # the hash the state had after them, here taken from a run of it, and the
    # hash of its events, here the one an ensemble's first line names.
    printf '# recorded by hand\n0 set links 7\n0 set gravity 5\n0 resize 640 640\n' > "$scratch/rec.txt"
    printf '10 press 600 320\n300 drag 500 100\n600 release\n650 reset\n700 right\n' >> "$scratch/rec.txt"
    run --steps 800 --events "$scratch/rec.txt" --out "$scratch/direct.csv"
    hash=$(sed -n 's/^state hash: //p' "$scratch/stderr")
    run --steps 800 --events "$scratch/rec.txt" --members 1 --out "$scratch/ensemble.csv"
    events=$(sed -n '1s/.*, events \([0-9a-f]\{16\}\)$/\1/p' "$scratch/ensemble.csv")
    [ -n "$events" ] || fail "the ensemble's first line names no events hash: $(head -n 1 "$scratch/ensemble.csv")"
    cp "$scratch/rec.txt" "$scratch/old.txt"
    printf '# final: step 800, state hash %s, events hash %s\n' "$hash" "$events" >> "$scratch/rec.txt"
    run_batch --events "$scratch/rec.txt" --out "$scratch/replay.csv"
    expect_run "replay" 0 '^chain20-batch: replay matches the recording$'
    cmp -s "$scratch/direct.csv" "$scratch/replay.csv" || fail "the replay without --steps ran another run"
    # Another length is not compared: one line says so.
    run_batch --events "$scratch/rec.txt" --steps 700 --out /dev/null
    expect_run "replay of 700 steps" 0 '^chain20-batch: the recording ends at step 800; not compared$'
    grep -q 'replay' "$scratch/stderr" && fail "a replay of another length was compared"
    # A tampered recording: exit status 3, the CSV still written whole.
    sed 's/^600 release$/601 release/' "$scratch/rec.txt" > "$scratch/tampered.txt"
    run_batch --events "$scratch/tampered.txt" --out "$scratch/tampered.csv"
    expect_run "tampered" 3 "^chain20-batch: replay differs from the recording: its events are not the recorded ones \\(events hash expected $events, got [0-9a-f]{16}\\)\$"
    [ "$(wc -l < "$scratch/tampered.csv")" -eq 801 ] || fail "the tampered replay's CSV is not complete"
    # Edits that leave the state as it was still differ: a press before the
    # last reset, a pacing key, an event more or one after the final line.
    for edit in 's/^10 press 600 320$/10 press 601 320/' 's/^700 right$/700 left/' '$a 800 left' \
                's/^700 right$/700 right\n700 right/'; do
        sed "$edit" "$scratch/rec.txt" > "$scratch/edited.txt"
        run_batch --events "$scratch/edited.txt" --out /dev/null
        expect_run "edited by '$edit'" 3 '^chain20-batch: replay differs from the recording: its events are not the recorded ones'
        grep -q "state hash: $hash" "$scratch/stderr" || fail "the edit '$edit' changed the state, which it should not"
    done
    # The state is checked as well as the events.
    sed "s/state hash $hash/state hash 0123456789abcdef/" "$scratch/rec.txt" > "$scratch/other_state.txt"
    run_batch --events "$scratch/other_state.txt" --out /dev/null
    expect_run "another state" 3 "^chain20-batch: replay differs from the recording \\(expected 0123456789abcdef, got $hash\\)\$"
    # A recording made before events were hashed is checked on its state,
    # and says that its events are not.
    printf '# final: step 800, state hash %s\n' "$hash" >> "$scratch/old.txt"
    run_batch --events "$scratch/old.txt" --out /dev/null
    expect_run "old recording" 0 '^chain20-batch: replay matches the recording.s state \(its final line has no events hash: the events are not checked\)$'
    ;;

set_up)
    # A set-up of 30,000 links takes a fair part of a second. Six changes of
    # the links before the first step must cost about one, not six, and end
    # in the chain that --links gives.
    seconds_of() {  # seconds_of ARGS...: the wall time of a run, hash in $scratch/stderr
        local start end
        start=$(date +%s%N)
        run "$@" --out /dev/null
        end=$(date +%s%N)
        echo $(((end - start) / 1000000))
    }
    one=$(seconds_of --steps 3 --links 29999)
    one_hash=$(sed -n 's/^state hash: //p' "$scratch/stderr")
    for links in 30000 29999 30000 29999 30000 29999; do echo "0 set links $links"; done > "$scratch/six.events"
    six=$(seconds_of --steps 3 --events "$scratch/six.events")
    echo "set-up: one chain of 29999 links in $one ms, six changes before the first step in $six ms"
    grep -qx "state hash: $one_hash" "$scratch/stderr" || fail "six changes of the links end in another chain"
    [ "$six" -lt $((3 * one)) ] || fail "six changes of the links took $six ms, one set-up $one ms"
    # A press maps the cursor by the chain's length: it sees the chain that
    # the changes before it set up.
    printf '0 set links 5\n0 set initial-angle 0.3\n0 press 600 320\n' > "$scratch/press_after.events"
    printf '0 press 600 320\n' > "$scratch/press.events"
    run --steps 50 --events "$scratch/press_after.events" > "$scratch/set_then_press.csv"
    run --steps 50 --events "$scratch/press.events" --links 5 --initial-angle 0.3 > "$scratch/options_press.csv"
    cmp -s "$scratch/set_then_press.csv" "$scratch/options_press.csv" ||
        fail "a press after set events saw another chain than the one they describe"
    ;;

*)
    echo "unknown check $check" >&2
    exit 2
    ;;
esac
finish
