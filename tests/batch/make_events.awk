# Writes a seeded random event script for chain20-batch.
#
#   awk -v seed=S -v steps=N [-v width=W -v height=H -v tail=T] -f make_events.awk
#
# Every 10 to 50 steps the cursor jumps to a random point anywhere in the
# window (the left button toggling now and then, an arrow key pressed now and
# then), and every so often a storm: the button held while the target jumps
# between far corners of the window every 10 to 20 steps, which spins the
# chain up until the arithmetic overflows. The last `tail` steps have the
# button up, so the chain ends by settling. The pseudo-random numbers are the
# Park-Miller generator, exact in any awk's double arithmetic, so a seed gives
# the same script everywhere.
function next_random() {
    state = (state * 16807) % 2147483647
    return state / 2147483647
}
function random_int(low, high) { return low + int(next_random() * (high - low + 1)) }
function emit(text) { print step, text }
function corner(which) {
    # 0: top-left, 1: bottom-right, 2: top-right, 3: bottom-left
    cx = (which == 1 || which == 2) ? width - 1 : 0
    cy = (which == 1 || which == 3) ? height - 1 : 0
    return cx " " cy
}
BEGIN {
    if (width == "") width = 640
    if (height == "") height = 640
    if (tail == "") tail = 10000
    state = (seed % 2147483646) + 1
    down = 0
    stop = steps - tail
    print "# chain20-batch random drag soak, seed " seed ", " steps " steps"
    step = 1
    next_storm = random_int(20000, 80000)
    while (step < stop) {
        if (step >= next_storm) {
            length_steps = random_int(3000, 8000)
            end_storm = step + length_steps
            if (end_storm > stop) end_storm = stop
            emit("press " corner(random_int(0, 3)))
            down = 1
            while (step + 20 < end_storm) {
                step += random_int(10, 20)
                emit("drag " corner(random_int(0, 3)))
            }
            next_storm = step + random_int(20000, 80000)
            continue
        }
        step += random_int(10, 50)
        if (step >= stop) break
        r = next_random()
        x = random_int(0, width - 1)
        y = random_int(0, height - 1)
        if (r < 0.15) {
            if (down) { emit("release"); down = 0 }
            else { emit("press " x " " y); down = 1 }
        } else if (r < 0.18) {
            emit(next_random() < 0.5 ? "left" : "right")
        } else {
            emit("drag " x " " y)
        }
    }
    # A storm may run a few steps past the start of the tail.
    if (step < stop) step = stop
    if (step < 1) step = 1
    emit("release")
}
