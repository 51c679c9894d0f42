#include "sim/pacing.h"

#include <cmath>

std::int64_t stepsDue(RealTimeClock& clock, double now) {
    if (!clock.running) {
        clock = {true, now, 0};
        return 0;
    }
    const auto owed = static_cast<std::int64_t>(std::floor((now - clock.anchor) * STEPS_PER_WALL_SECOND));
    std::int64_t due = owed - clock.stepsSinceAnchor;
    if (due > MOST_STEPS_BEHIND) {
        // Forgive the backlog beyond the limit.
        clock.stepsSinceAnchor += due - MOST_STEPS_BEHIND;
        due = MOST_STEPS_BEHIND;
    }
    if (due < 0) {
        return 0;
    }
    clock.stepsSinceAnchor += due;
    return due;
}

void stopClock(RealTimeClock& clock) { clock.running = false; }

bool frameDue(FramePacer& pacer, double now) {
    if (now < pacer.nextFrame) {
        return false;
    }
    pacer.nextFrame += FRAME_SECONDS;
    if (pacer.nextFrame <= now) {
        pacer.nextFrame = now + FRAME_SECONDS;
    }
    return true;
}

double secondsToNextFrame(const FramePacer& pacer, double now) {
    return pacer.nextFrame > now ? pacer.nextFrame - now : 0.0;
}

IdleOutcome idleWork(Session& session, Pacing& pacing, double now, std::ostream& log) {
    const RunControls& controls = session.controls;
    IdleOutcome outcome;
    if (!controls.realTime || controls.paused) {
        stopClock(pacing.clock);
    }
    if (!controls.realTime && !controls.paused) {
        outcome.redisplay = sessionStep(session, log);
        return outcome;
    }
    if (!controls.paused) {
        for (std::int64_t due = stepsDue(pacing.clock, now); due > 0; --due) {
            sessionStep(session, log);
        }
    }
    outcome.redisplay = frameDue(pacing.frames, now);
    outcome.sleepSeconds = secondsToNextFrame(pacing.frames, now);
    return outcome;
}
