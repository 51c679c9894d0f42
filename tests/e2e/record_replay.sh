#!/usr/bin/env bash
# Recording: a run with drags and keys recorded with --record, replayed by
# chain20-batch, ends in the state hash the recording names; a --record path
# that cannot be written ends the program with status 2 before any window.
# Usage: record_replay.sh CHAIN20-BINARY WORK-DIRECTORY BATCH-BINARY replay|bad-path
binary=$1
work=$2
batch=$3
case_name=$4
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk

case $case_name in
    replay)
        record="$work/run.rec"
        rm -f "$record" "$work"/.run.rec.partial-*
        launch_program "$binary" --record "$record"
        focus_window
        xdotool mousemove --window "$window" --sync 600 450
        xdotool mousedown 1
        for point in "560 300" "480 200" "620 500"; do
            sleep 0.3
            # shellcheck disable=SC2086
            xdotool mousemove --window "$window" --sync $point
        done
        xdotool mouseup 1
        press_key Right
        press_key space
        press_key period 5
        press_key space
        sleep 0.3
        press_key r
        xdotool mousemove --window "$window" --sync 100 100
        xdotool mousedown 1
        sleep 0.3
        xdotool mouseup 1
        [ ! -e "$record" ] || fail "the recording appeared before the run ended"
        press_key q
        wait_for_exit 5 || fail "q did not end the program within 5 s"
        [ "$app_status" -eq 0 ] || fail "exit status $app_status after q"
        [ -s "$record" ] || fail "no recording written"
        ls -A "$work" | grep -q '^\.run\.rec\.partial-' && fail "a temporary file was left behind"
        say "recording: $(wc -l <"$record") lines"
        sed -n '1,3p' "$record"
        grep -v ' drag ' "$record" | tail -n +3
        head -n 1 "$record" | grep -q '^# recorded by chain20 on [0-9-]* [0-9:]* UTC$' || fail "no header line"
        grep -qx '0 resize 640 640' "$record" || fail "no starting window size"
        for verb in press drag release right reset; do
            grep -q "^[0-9]* $verb\( \|$\)" "$record" || fail "no $verb line recorded"
        done
        [ "$(cat "$work/stdout.txt")" = 31 ] || fail "standard output is not just the right arrow's echo"
        final=$(tail -n 1 "$record")
        steps=$(printf '%s\n' "$final" | sed -n 's/^# final: step \([0-9]*\), state hash [0-9a-f]\{16\}$/\1/p')
        recorded=${final##* }
        [ -n "$steps" ] || fail "last line is not '# final: step S, state hash H': $final"
        "$batch" --events "$record" --steps "$steps" --out - >/dev/null 2>"$work/replay.txt" ||
            fail "chain20-batch refused the recording: $(cat "$work/replay.txt")"
        replayed=$(sed -n 's/^state hash: //p' "$work/replay.txt")
        say "recorded hash $recorded after $steps steps, replayed hash $replayed"
        [ "$replayed" = "$recorded" ] || fail "the replay ended in another state"
        "$batch" --events "$record" --out /dev/null 2>"$work/replay.txt" ||
            fail "the replay without --steps failed: $(cat "$work/replay.txt")"
        grep -qx 'chain20-batch: replay matches the recording' "$work/replay.txt" ||
            fail "the replay without --steps was not checked: $(tail -n 1 "$work/replay.txt")"
        ;;
    bad-path)
        prepare_work
        start_xvfb
        start_app "$binary" --record "$work/no-such-directory/run.rec"
        wait_for_exit 5 || fail "the program still runs 5 s after being given a bad --record path"
        say "exit status $app_status: $(cat "$work/stderr.txt")"
        [ "$app_status" -eq 2 ] || fail "exit status $app_status, expected 2"
        [ "$(wc -l <"$work/stderr.txt")" -eq 1 ] || fail "expected one line on standard error"
        grep -q "no-such-directory/run.rec" "$work/stderr.txt" || fail "the message does not name the path"
        [ -z "$(top_level_windows)" ] || fail "a window was opened: $(top_level_windows)"
        ;;
    *) fail "unknown case $case_name" ;;
esac
say "PASS"
