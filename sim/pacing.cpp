#include "sim/pacing.h"

#include <cmath>

#include "sim/application.h"

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

std::int64_t realTimeStepsDue(const RunControls& controls, RealTimeClock& clock, double now) {
    if (!controls.realTime || controls.paused) {
        stopClock(clock);
        return 0;
    }
    return stepsDue(clock, now);
}

std::int64_t stepsForPicture(const RunControls& controls, RealTimeClock& clock, double now) {
    const std::int64_t due = realTimeStepsDue(controls, clock, now);
    return controls.realTime || controls.paused ? due : stepsPerFrame;
}

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
    std::int64_t due = realTimeStepsDue(controls, pacing.clock, now);
    if (!controls.realTime && !controls.paused) {
        outcome.redisplay = sessionStep(session, log);
        return outcome;
    }
    for (; due > 0; --due) {
        sessionStep(session, log);
    }
    outcome.redisplay = frameDue(pacing.frames, now);
    outcome.sleepSeconds = secondsToNextFrame(pacing.frames, now);
    return outcome;
}
