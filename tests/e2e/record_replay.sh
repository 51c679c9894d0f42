#!/usr/bin/env bash
# Recording: a run with drags and keys recorded with --record, replayed by
# chain20-batch, ends in the state hash the recording names (replay); so does
# a run whose window another client destroys, or whose X server dies under
# it, its recording marked as ending there,
# with a storm of resets to rest shown as ten lines and a count (x-lost); a
# command line, a --record path or a display that cannot be used ends the
# program with one line before any window and leaves no file, a signal just
# after the recording's file is opened completes it, and a FIFO says that it
# waits for a reader (start-failures).
# Usage: record_replay.sh CHAIN20-BINARY WORK-DIRECTORY BATCH-BINARY replay|x-lost|start-failures
binary=$1
work=$2
batch=$3
case_name=$4
source "$(dirname "$0")/common.sh"
require_tools Xvfb xdpyinfo xwininfo xdotool xwd convert perl awk

# The recording's last line names its steps, state hash and events hash;
# chain20-batch, given the recording alone, ends in that state after those
# steps, and checks the events too.
replays_to_its_hash() {
    local record=$1 final steps recorded replayed
    final=$(tail -n 1 "$record")
    steps=$(printf '%s\n' "$final" |
        sed -n 's/^# final: step \([0-9]*\), state hash [0-9a-f]\{16\}, events hash [0-9a-f]\{16\}$/\1/p')
    recorded=$(printf '%s\n' "$final" | sed -n 's/.*, state hash \([0-9a-f]*\),.*/\1/p')
    [ -n "$steps" ] || fail "last line is not '# final: step S, state hash H, events hash E': $final"
    "$batch" --events "$record" --steps "$steps" --out - >/dev/null 2>"$work/replay.txt" ||
        fail "chain20-batch refused the recording: $(cat "$work/replay.txt")"
    replayed=$(sed -n 's/^state hash: //p' "$work/replay.txt")
    say "recorded hash $recorded after $steps steps, replayed hash $replayed"
    [ "$replayed" = "$recorded" ] || fail "the replay ended in another state"
    "$batch" --events "$record" --out /dev/null 2>"$work/replay.txt" ||
        fail "the replay without --steps failed: $(cat "$work/replay.txt")"
    grep -qx 'chain20-batch: replay matches the recording' "$work/replay.txt" ||
        fail "the replay without --steps was not checked: $(tail -n 1 "$work/replay.txt")"
}

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
        replays_to_its_hash "$record"
        # A pacing key edited leaves the state as it was, but not the events.
        sed 's/^\([0-9]*\) right$/\1 left/' "$record" > "$work/edited.rec"
        status=0
        "$batch" --events "$work/edited.rec" --out /dev/null 2>"$work/replay.txt" || status=$?
        [ "$status" -eq 3 ] && grep -q '^chain20-batch: replay differs from the recording: its events are not the recorded ones' \
            "$work/replay.txt" || fail "an edited key replayed with status $status: $(tail -n 1 "$work/replay.txt")"
        ;;
    x-lost)
        record="$work/run.rec"
        # Another client destroys the window: the next drawing into it is an
        # X error, which ends the run as the connection's loss does.
        launch_program "$binary" --record "$record"
        sleep 0.5
        xdotool windowclose "$window"
        wait_for_exit 5 || fail "the program still runs 5 s after its window was destroyed"
        say "window destroyed: exit status $app_status; stderr: $(cat "$work/stderr.txt")"
        [ "$app_status" -eq 1 ] || fail "exit status $app_status, expected 1"
        grep -Eqx "chain20: the recording in '$record' ends at step [0-9]+: X error: .+" "$work/stderr.txt" ||
            fail "no line says where the recording ends"
        replays_to_its_hash "$record"
        stop_process "$xvfb_pid"
        xvfb_pid=
        rm -f "$record" "$work"/.run.rec.partial-*
        # Drags a million pixels away, back and forth: the state overflows
        # every few steps and is put back at rest.
        awk 'BEGIN { print "1 press 0 0"
                     for (s = 10; s <= 100000; s += 10) print s, "drag", (s % 20 ? 1000000 : -1000000), 1000000 }' \
            >"$work/storm.events"
        launch_program "$binary" --events "$work/storm.events" --record "$record"
        for _ in $(seq 50); do
            [ "$(grep -c 'left the finite numbers' "$work/stderr.txt")" -ge 10 ] && break
            sleep 0.1
        done
        sleep 0.5
        say "killing the X server (pid $xvfb_pid) under the program"
        kill -KILL "$xvfb_pid"
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=
        wait_for_exit 5 || fail "the program still runs 5 s after its X server died"
        say "exit status $app_status; stderr:"
        cat "$work/stderr.txt"
        [ "$app_status" -eq 1 ] || fail "exit status $app_status, expected 1"
        grep -qx 'chain20: the X connection was lost' "$work/stderr.txt" || fail "no line says the connection was lost"
        shown=$(grep -c '^chain20: the state left the finite numbers at step [0-9]*; the chain was put back at rest$' \
            "$work/stderr.txt" || true)
        [ "$shown" -eq 10 ] || fail "$shown reset lines, expected the first 10"
        grep -Eqx 'chain20: [0-9]+ more resets after the first 10 were not shown' "$work/stderr.txt" ||
            fail "no count of the resets held back"
        grep -Eqx "chain20: the recording in '$record' ends at step [0-9]+: the X connection was lost" \
            "$work/stderr.txt" || fail "no line says where the recording ends"
        ls -A "$work" | grep -q '^\.run\.rec\.partial-' && fail "a temporary file was left behind"
        [ "$(tail -n 2 "$record" | head -n 1)" = '# the run ended here: the X connection was lost' ] ||
            fail "the recording is not marked as ending at the connection's loss: $(tail -n 2 "$record")"
        replays_to_its_hash "$record"
        ;;
    start-failures)
        prepare_work
        start_xvfb
        record="$work/run.rec"
        rm -f "$record" "$work"/.run.rec.partial-*
        printf '1 jump\033]0;owned\a\n' >"$work/control.events"
        # Each refused start: status, the one line it gives, no window.
        refused() {
            local status=$1 line=$2
            shift 2
            start_app "$@"
            wait_for_exit 5 || fail "$* still runs after 5 s"
            say "$*: exit status $app_status: $(cat "$work/stderr.txt")"
            [ "$app_status" -eq "$status" ] || fail "$*: exit status $app_status, expected $status"
            [ "$(cat "$work/stderr.txt")" = "$line" ] || fail "$*: expected the one line: $line"
            [ -z "$(top_level_windows)" ] || fail "$*: a window was opened: $(top_level_windows)"
            [ ! -e "$record" ] || fail "$*: a recording was written"
            ! ls -A "$work" | grep -q '^\.run\.rec\.partial-' || fail "$*: a temporary file was left behind"
        }
        refused 2 "chain20: cannot write output '$work/no-such-directory/run.rec': No such file or directory" \
            "$binary" --record "$work/no-such-directory/run.rec"
        refused 2 "chain20: unknown option '--link'" "$binary" --link 200
        refused 2 "chain20: unexpected argument 'stray'" "$binary" --record "$record" stray
        refused 2 "chain20: -display needs a value" "$binary" --record "$record" -display
        refused 2 "chain20: $work/control.events:1: unknown event 'jump\\x1b]0;owned\\x07' (expected press, drag, release, left, right, reset, resize or set)" \
            "$binary" --events "$work/control.events"
        refused 1 "chain20: failed to open display ':0.9999'"$'\n'"chain20: no step ran; no recording written to '$record'" \
            "$binary" --record "$record" -display :0.9999 -sync -iconic

        # SIGTERM as soon as the recording's file exists: the handlers are in
        # place, the run quits as by q and the recording is complete.
        start_app "$binary" --record "$record"
        for _ in $(seq 500); do
            ls -A "$work" | grep -q '^\.run\.rec\.partial-' && break
            sleep 0.01
        done
        kill -TERM "$app_pid"
        wait_for_exit 5 || fail "the program still runs 5 s after SIGTERM"
        [ "$app_status" -eq 0 ] || fail "exit status $app_status after an early SIGTERM, expected 0"
        ! ls -A "$work" | grep -q '^\.run\.rec\.partial-' || fail "a temporary file was left behind"
        replays_to_its_hash "$record"

        # A FIFO with no reader: the program says it waits, and a signal
        # during the wait ends it as interrupted. The signal is sent once the
        # program has said so, when it is catching signals and polling.
        scratch=$(mktemp -d)
        mkfifo "$scratch/rec.fifo"
        waiting="chain20: '$scratch/rec.fifo' is a FIFO: waiting for a reader before the window opens"
        start_app "$binary" --record "$scratch/rec.fifo"
        for _ in $(seq 50); do
            grep -qxF "$waiting" "$work/stderr.txt" && break
            sleep 0.1
        done
        kill -TERM "$app_pid"
        wait_for_exit 5 || fail "the program still waits 5 s after SIGTERM"
        say "FIFO: exit status $app_status: $(cat "$work/stderr.txt")"
        rm -r "$scratch"
        [ "$app_status" -eq 143 ] || fail "exit status $app_status, expected 143"
        [ "$(cat "$work/stderr.txt")" = "$waiting"$'\n'"chain20: interrupted before the window opened; no recording written" ] ||
            fail "the FIFO's wait is not reported"
        ;;
    *) fail "unknown case $case_name" ;;
esac
say "PASS"
