// The page's view of the chain20 core: plain C functions over the same
// start-up, stepping, view and input rules as the window program and
// chain20-batch. The page's JavaScript calls these and reads the state and
// the view from the module's memory.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/application.h"
#include "sim/events.h"
#include "sim/diagnostics.h"
#include "sim/recorder.h"
#include "sim/session.h"
#include "sim/state_hash.h"
#include "model/chain_model.h"

namespace {

// The core's text (the reset notice, the right arrow's echo) is not shown:
// the page shows the counts and the steps per frame instead.
void ignoreText(void* /*context*/, const char* /*text*/, std::size_t /*length*/) {}
TextSink discard(ignoreText, nullptr);

int canvasWidth = WINDOW_WIDTH;
int canvasHeight = WINDOW_HEIGHT;
// The run as the window program keeps it: where events act (the canvas's
// view), the script played back, the steps since the last reset (the
// script's clock) and the recording, if any.
Session session;
// The chain that the next reset builds: the live parameters and the links and
// starting angle set since, and its precision.
ChainDescription nextChain;
Precision nextPrecision = Precision::Float;
// The state rounded to floats for drawing, when the chain runs in double.
StateVector drawnState;
std::string scriptError;
// The recording under way, if any: it started at the last reset.
std::optional<Recorder> recorder;

}  // namespace

extern "C" {

// The chain at rest, built for the parameters set so far, the steps counted
// from zero, the spring off.
void chain20_reset() {
    runPrecision = nextPrecision;
    startChain(nextChain);
    recorder.reset();
    session = Session{};
    session.target = eventTarget(canvasWidth, canvasHeight, discard);
    mouseDown = -1;
    stepCount = 0;
    resetCount = 0;
}

void chain20_start() { chain20_reset(); }

// Parameter 0 links, 1 gravity, 2 damping, 3 stiffness, 4 starting angle,
// set as a script's set event: gravity, damping and stiffness act at once;
// links and the starting angle at the next reset, or at once before the first
// step. The page checks the ranges that chain20's options allow.
void chain20_set(int parameter, double value) {
    const auto single = static_cast<float>(value);
    switch (parameter) {
        case 0: nextChain.links = static_cast<std::int32_t>(value); break;
        case 1: nextChain.gravity = single; break;
        case 2: nextChain.damping = single; break;
        case 3: nextChain.stiffness = single; break;
        default: nextChain.initialAngle = single; break;
    }
    liveInput(session, setEvent(static_cast<ChainParameter>(parameter), nextChain));
}

// 0 float, 1 double: the precision of the chain that the next reset builds.
void chain20_set_precision(int wide) { nextPrecision = wide != 0 ? Precision::Double : Precision::Float; }
int chain20_precision() { return runPrecision == Precision::Double ? 1 : 0; }

// The value of a parameter (numbered as for chain20_set) as it will be after
// the next reset.
double chain20_get(int parameter) {
    const float values[] = {static_cast<float>(nextChain.links), nextChain.gravity, nextChain.damping,
                            nextChain.stiffness, nextChain.initialAngle};
    return values[parameter];
}

// Runs `steps` idle steps, each after the script's events that are due.
// Returns the steps per frame, which a script may have changed.
int chain20_advance(int steps) {
    for (int i = 0; i < steps; ++i) {
        sessionStep(session, discard);
    }
    return stepsPerFrame;
}

// The canvas's size in pixels, for the cursor mapping and the drawing.
void chain20_resize(int width, int height) {
    canvasWidth = width;
    canvasHeight = height;
    applyEvent({0, EventKind::Resize, width, height, 0}, session.target);
}

// Mouse input at canvas pixel (x, y), origin top-left, y downward:
// kind 0 press, 1 drag, 2 release of the left button.
void chain20_pointer(int kind, int x, int y) {
    const EventKind kinds[] = {EventKind::Press, EventKind::Drag, EventKind::Release};
    liveInput(session, {0, kinds[kind], x, y, 0});
}

// Right (1) or left (-1) arrow; returns the steps per frame.
int chain20_arrow(int direction) {
    liveInput(session, {0, direction > 0 ? EventKind::RightKey : EventKind::LeftKey, 0, 0, 0});
    return stepsPerFrame;
}

// Starts recording the run from now (the page resets first) as chain20
// --record does: the parameters and the canvas size at step 0, then the input.
// `date` is zero-terminated.
void chain20_record_start(const char* date) {
    recorder.emplace("chain20 page", date, chain, canvasWidth, canvasHeight, runPrecision);
    session.recorder = &*recorder;
}

// The recording so far as an event script ending in its final line,
// zero-terminated; the recording stops.
const char* chain20_record_stop() {
    static std::string text;
    text = recorder ? recorder->script(session.controls.stepsRun, runState()) : "";
    session.recorder = nullptr;
    recorder.reset();
    return text.c_str();
}

// Loads an event script (the chain20-batch language) to be applied from the
// next step on, counted from the last reset; a script in the other precision
// (a recording says which) resets the chain in it first. Returns 0, or a
// pointer to the zero-terminated message about the first bad line.
const char* chain20_load_script(const char* text, int length) {
    const std::string_view script(text, static_cast<std::size_t>(length));
    std::vector<ScriptEvent> events;
    if (!parseEventScript(script, "script", INT32_MAX, events, scriptError)) {
        return scriptError.c_str();
    }
    if (const Precision precision = scriptPrecision(script); precision != runPrecision) {
        nextPrecision = precision;
        chain20_reset();
    }
    session.script = std::move(events);
    session.nextScriptEvent = 0;
    return nullptr;
}

// The step of the script's last event, 0 for none.
double chain20_script_end() {
    return session.script.empty() ? 0.0 : static_cast<double>(session.script.back().step);
}

// The state as floats (rounded, for a chain in double), for drawing.
const float* chain20_state() {
    if (runPrecision == Precision::Float) {
        return currentState.data();
    }
    if (drawnState.size() != doubleChain.state.size()) {
        drawnState = StateVector(doubleChain.state.size());
    }
    for (int i = 0; i < drawnState.size(); ++i) {
        drawnState[i] = static_cast<float>(doubleChain.state[i]);
    }
    return drawnState.data();
}
int chain20_links() { return linkCount; }
float chain20_drawing_scale() { return drawingScale(); }
const double* chain20_projection() { return session.target.view.projection.data(); }
const double* chain20_modelview() { return session.target.view.modelview.data(); }

// The state hash as 16 hex digits, zero-terminated.
const char* chain20_state_hash() {
    static std::string text;
    text = hashText(stateHash(runState()));
    return text.c_str();
}
double chain20_steps_run() { return static_cast<double>(session.controls.stepsRun); }
double chain20_resets() { return static_cast<double>(resetCount); }
int chain20_spring_on() { return mouseDown == 1 ? 1 : 0; }
double chain20_kinetic_energy() { return kineticEnergy(runState()); }
double chain20_potential_energy() { return potentialEnergy(runState()); }
float chain20_target(int axis) { return mouseTarget(axis + 1, 1); }

}  // extern "C"
