# Shared by the end-to-end tests (sourced, bash): a private virtual X server,
# the program under test inside it, screenshots and pixel analysis, and a
# clean-up that always runs, whatever fails.
#
# A test script sets `work` (a directory for its logs and screenshots) before
# calling anything here. Every wait is bounded.

set -euo pipefail

e2e_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
xvfb_pid=
app_pid=
app_status=
window=

say() { printf '%s\n' "$*"; }

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

# CTest counts exit status 77 as "skipped". Under CI, where the test script
# has installed every tool, a missing one is a failure instead.
skip() {
    [ "${CI:-}" = true ] && fail "$*"
    printf 'SKIP: %s\n' "$*" >&2
    exit 77
}

require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (bash scripts/install-deps.sh)"
    done
}

# Ends one process that this script started: politely, then by force.
stop_process() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 20); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    local status=$?
    set +e
    trap - EXIT HUP INT PIPE TERM
    stop_process "$app_pid"
    stop_process "$xvfb_pid"
    if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -n "${work:-}" ]; then
        say "logs and screenshots are in $work"
        [ -s "$work/stderr.txt" ] && { say '--- program stderr:'; tail -n 20 "$work/stderr.txt"; }
        [ -s "$work/xvfb.log" ] && { say '--- Xvfb log:'; tail -n 20 "$work/xvfb.log"; }
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM

prepare_work() {
    mkdir -p "$work"
    rm -f "$work"/*.png "$work"/*.txt "$work"/*.log
}

# Starts Xvfb on a free display and points DISPLAY at it. A display is free
# when it has neither a lock file nor a socket; the number is drawn at random
# so that tests running side by side rarely try the same one, and a server
# that loses the race for its number just tries another. The server counts as
# ready once its lock file names it and a client can connect. -noreset: a
# client that comes and goes must not reset the server under the program.
start_xvfb() {
    local attempt number i lock
    for attempt in $(seq 20); do
        number=$((20 + RANDOM % 400))
        if [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ]; then
            continue
        fi
        Xvfb ":$number" -noreset -nolisten tcp -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
        xvfb_pid=$!
        for i in $(seq 100); do
            kill -0 "$xvfb_pid" 2>/dev/null || break
            lock=$( { tr -dc '0-9' <"/tmp/.X$number-lock"; } 2>/dev/null || true)
            if [ "$lock" = "$xvfb_pid" ] && xdpyinfo -display ":$number" >/dev/null 2>&1; then
                export DISPLAY=":$number"
                unset XAUTHORITY
                say "Xvfb (pid $xvfb_pid) on display $DISPLAY"
                return 0
            fi
            sleep 0.1
        done
        say "Xvfb could not start on display :$number, trying another: $(tail -n 1 "$work/xvfb.log")"
        stop_process "$xvfb_pid"
        xvfb_pid=
    done
    fail "Xvfb did not start on any display"
}

# Empties the program's output files before its fork: the child opens them
# only later, and a poll in between would read the last program's output and
# take the child, still this shell, for the program.
empty_program_output() {
    : >"$work/stdout.txt"
    : >"$work/stderr.txt"
}

# Starts the program with the given command line, standard output and error
# captured in the work directory.
start_app() {
    empty_program_output
    "$@" >"$work/stdout.txt" 2>"$work/stderr.txt" &
    app_pid=$!
    say "started (pid $app_pid): $*"
}

# Starts the program with an empty argument vector (argc 0).
start_app_without_arguments() {
    local binary=$1
    empty_program_output
    perl -e 'exec { $ARGV[0] } () or die "exec failed: $!\n"' "$binary" >"$work/stdout.txt" 2>"$work/stderr.txt" &
    app_pid=$!
    say "started (pid $app_pid) with an empty argument vector: $binary"
}

app_running() { kill -0 "$app_pid" 2>/dev/null; }

# Waits up to `limit` seconds for the program to end; sets app_status.
wait_for_exit() {
    local limit=$1 i
    for i in $(seq $((limit * 10))); do
        app_running || break
        sleep 0.1
    done
    if app_running; then
        return 1
    fi
    app_status=0
    wait "$app_pid" || app_status=$?
    app_pid=
    return 0
}

# The top-level windows of the display, one "id name" per line ("id" alone
# for a window without a name).
top_level_windows() {
    xwininfo -root -children 2>/dev/null | sed -n 's/^ \{1,\}\(0x[0-9a-f]\{1,\}\) \(.*\): (.*$/\1 \2/p'
}

# Waits up to 10 s for the program's window to be mapped; sets `window`.
wait_for_window() {
    local i id
    window=
    for i in $(seq 100); do
        app_running || fail "the program ended before showing a window"
        id=$(top_level_windows | head -n 1 | cut -d ' ' -f 1)
        if [ -n "$id" ] && xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable'; then
            window=$id
            break
        fi
        sleep 0.1
    done
    [ -n "$window" ] || fail "no window was mapped within 10 s"
    say "window $window mapped after ~$((i - 1))00 ms"
}

# The window's title (WM_NAME) as set by the program.
window_title() {
    xprop -id "$1" WM_NAME | sed -n 's/^WM_NAME([A-Z_0-9]*) = "\(.*\)"$/\1/p'
}

window_geometry() {
    xwininfo -id "$1" | awk '
        /Absolute upper-left X:/ { x = $NF }
        /Absolute upper-left Y:/ { y = $NF }
        /Width:/ { w = $NF }
        /Height:/ { h = $NF }
        END { printf "%sx%s+%s+%s\n", w, h, x, y }'
}

# Screenshot of the window into a PNG.
shoot() {
    local out=$1
    xwd -silent -id "$window" >"$work/shot.xwd" || fail "xwd could not capture window $window"
    convert "xwd:$work/shot.xwd" "png:$out" || fail "convert could not read the screenshot"
    rm -f "$work/shot.xwd"
}

# Runs the pixel analysis (image.pl MODE) on a PNG; prints key=value lines.
analyse() {
    local mode=$1 png=$2
    convert "$png" -depth 8 ppm:- | perl "$e2e_dir/image.pl" "$mode"
}

# Value of one key from analyse's output.
value_of() { sed -n "s/^$1=//p"; }

# Waits up to 10 s for the first frame: a screenshot that is mostly white
# background (before the first draw the window holds no picture).
wait_for_first_frame() {
    local out=$1 i fraction=0
    for i in $(seq 40); do
        shoot "$out"
        fraction=$(analyse stats "$out" | value_of white_fraction)
        if awk -v f="$fraction" 'BEGIN { exit !(f > 0.5) }'; then
            say "first frame after $i screenshot(s): white fraction $fraction"
            return 0
        fi
        sleep 0.1
    done
    fail "no frame with a white background within the time limit (white fraction $fraction)"
}

# A fresh work folder, a private X server, the program in it with any extra
# arguments, its window found and its first frame drawn.
launch_program() {
    prepare_work
    start_xvfb
    start_app "$@"
    wait_for_window
    wait_for_first_frame "$work/first.png"
}

# Moves the pointer into the window and gives it the keyboard focus, so that
# plain XTEST key presses reach it (there is no window manager).
focus_window() {
    xdotool mousemove --window "$window" --sync 320 100
    xdotool windowfocus --sync "$window"
    local focused
    focused=$(xdotool getwindowfocus 2>/dev/null || true)
    [ "$((focused))" -eq "$((window))" ] || fail "window $window did not get the focus (focus: $focused)"
}

# Floating-point test in awk: check 'expression' name=value ...
check() {
    local expression=$1
    shift
    local assignments=() pair
    for pair in "$@"; do assignments+=(-v "$pair"); done
    awk "${assignments[@]}" "BEGIN { exit !($expression) }"
}

# True when two screenshots hold the same pixels.
same_picture() {
    [ "$(convert "$1" -depth 8 ppm:- | md5sum)" = "$(convert "$2" -depth 8 ppm:- | md5sum)" ]
}

# Presses one key `count` times.
press_key() {
    local key=$1 count=${2:-1}
    local keys=()
    for _ in $(seq "$count"); do keys+=("$key"); done
    xdotool key --delay 5 "${keys[@]}"
}
