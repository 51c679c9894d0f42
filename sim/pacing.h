// Real-time pacing of the window program: 1 ms of simulated time for every
// 1 ms of wall time, a picture about 60 times a second, and sleep in between
// instead of a busy idle loop. Wall time comes in as seconds from any fixed
// origin, so that tests can drive the clock.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "sim/session.h"

inline constexpr double FRAME_SECONDS = 1.0 / 60.0;
inline constexpr double STEPS_PER_WALL_SECOND = 1000.0;  // one 0.001 s step per wall millisecond
// A machine that falls further behind than this drops the backlog instead of
// catching up in one long burst that would freeze the window.
inline constexpr std::int64_t MOST_STEPS_BEHIND = 250;

struct RealTimeClock {
    bool running = false;
    double anchor = 0.0;  // wall time at which the count started
    std::int64_t stepsSinceAnchor = 0;
};

// Steps that wall time calls for at `now`. A stopped clock starts at `now`
// and calls for none yet.
std::int64_t stepsDue(RealTimeClock& clock, double now);

// Stops the clock (pause, or the switch turned off), so that the time away
// is not caught up afterwards.
void stopClock(RealTimeClock& clock);

// Steps that wall time calls for at `now` while running in real time; none
// while paused or running at machine speed, when the clock stops instead.
std::int64_t realTimeStepsDue(const RunControls& controls, RealTimeClock& clock, double now);

// Steps for one picture of a display that sets the pictures' pace (the
// page's animation frames): none while paused, in real time those that wall
// time calls for, else stepsPerFrame.
std::int64_t stepsForPicture(const RunControls& controls, RealTimeClock& clock, double now);

struct FramePacer {
    double nextFrame = 0.0;
};

// True when a picture is due at `now`; the next one is then due a frame
// later, or a frame from now when the program has fallen behind.
bool frameDue(FramePacer& pacer, double now);

// Seconds to sleep before the next picture is due (never negative).
double secondsToNextFrame(const FramePacer& pacer, double now);

struct Pacing {
    RealTimeClock clock;
    FramePacer frames;
};

struct IdleOutcome {
    bool redisplay = false;
    double sleepSeconds = 0.0;  // to sleep before the next idle call
};

// One call of the window's idle work at wall time `now`. Running at machine
// speed: one step, a picture every stepsPerFrame steps, no sleep. In real
// time: the steps wall time calls for, a picture about 60 times a second,
// sleep until it is due. Paused: no steps, pictures as in real time, so that
// drawing and input go on without a busy loop.
IdleOutcome idleWork(Session& session, Pacing& pacing, double now, std::ostream& log);
