// The page's view of the chain20 core: plain C functions over the same
// start-up, stepping, view and input rules as the window program and
// chain20-batch, and over the window's run controls, key map, pacing,
// readouts and parameter checks. The page's JavaScript calls these and reads
// the state and the view from the module's memory.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim.h"

namespace {

// The core's text (the reset notice, the right arrow's echo) is not shown:
// the page shows the counts and the steps per frame instead.
void ignoreText(void* /*context*/, const char* /*text*/, std::size_t /*length*/) {}
TextSink discard(ignoreText, nullptr);

int canvasWidth = WINDOW_WIDTH;
int canvasHeight = WINDOW_HEIGHT;
// The run as the window program keeps it: the run controls, where events act
// (the canvas's view), the script played back and the recording, if any.
Session session;
// The chain that the next start builds: the live parameters and the links and
// starting angle set since, and its precision.
ChainDescription nextChain;
Precision nextPrecision = Precision::Float;
// Real time, and the readouts of the pictures drawn since the start.
RealTimeClock wallClock;
Readouts readouts;
// The state rounded to floats for drawing, when the chain runs in double.
StateVector drawnState;
std::string message;
// The recording under way, if any: it started at the last start.
std::optional<Recorder> recorder;
// The recording played back, if the script is one: its end and its events'
// hash, for the check at its end.
std::optional<RecordingEnd> replayed;
std::uint64_t replayedEventsHash = 0;

// The run from rest, its steps counted from zero, the spring off: the chain
// that the parameters set so far describe, in the precision chosen. Pause,
// help, real time and the steps per frame carry over; the recording and the script do not. The
// page's panel is always shown, so its readouts are renewed every picture.
void restartRun() {
    const RunControls& kept = session.controls;
    const RunControls controls{
        .paused = kept.paused, .helpShown = kept.helpShown, .panelShown = true, .realTime = kept.realTime};
    const std::int32_t keptStepsPerFrame = stepsPerFrame;
    recorder.reset();
    replayed.reset();
    keepEnergyLedger = true;
    session = freshRun(nextChain, nextPrecision, canvasWidth, canvasHeight, discard);
    session.controls = controls;
    stepsPerFrame = keptStepsPerFrame;
    readouts = Readouts{};
    stopClock(wallClock);
}

// GLUT's code of a special key that the input rules know, by the browser's
// name of it; -1 for any other name.
int glutSpecialKey(std::string_view name) {
    if (name == "ArrowLeft") {
        return KEY_LEFT;
    }
    return name == "ArrowRight" ? KEY_RIGHT : -1;
}

// What chain20_key did.
constexpr int KEY_IGNORED = 0;
constexpr int KEY_ACTED = 1;
constexpr int KEY_STARTED_OVER = 2;

// A zero-terminated copy of `text` that lives until the next call.
const char* keptText(std::string text) {
    message = std::move(text);
    return message.c_str();
}

}  // namespace

extern "C" {

// The run started over from rest: at the page's start, and first thing of
// Record and Replay.
void chain20_restart() { restartRun(); }

// A key pressed on the page, or a button standing for one, by the browser's
// name of it (KeyboardEvent.key), zero-terminated: the arrows as the window's
// special keys, a single character through the window's key map. The panel
// and quit keys do nothing here: the page's panel is always shown and a page
// does not close itself. A reset after the precision was changed starts the
// run over in the new precision, which a recording cannot carry: it and the
// script played back are dropped. Returns 0 for a key that did nothing, 1 for
// one that acted, 2 for a start over.
int chain20_key(const char* name) {
    const std::string_view key(name);
    if (applyArrowKey(glutSpecialKey(key), session)) {
        return KEY_ACTED;
    }
    const RunCommand command = key.size() == 1 ? runCommandOf(static_cast<unsigned char>(key[0])) : RunCommand::None;
    if (command == RunCommand::None || command == RunCommand::Panel || command == RunCommand::Quit) {
        return KEY_IGNORED;
    }
    if (command == RunCommand::Reset && nextPrecision != runPrecision) {
        restartRun();
        return KEY_STARTED_OVER;
    }
    applyRunCommand(command, session, discard);
    return KEY_ACTED;
}

// The run controls.
int chain20_paused() { return session.controls.paused ? 1 : 0; }
void chain20_set_paused(int paused) { session.controls.paused = paused != 0; }
int chain20_help_shown() { return session.controls.helpShown ? 1 : 0; }
int chain20_real_time() { return session.controls.realTime ? 1 : 0; }
void chain20_set_real_time(int on) { session.controls.realTime = on != 0; }
int chain20_steps_per_frame() { return stepsPerFrame; }

// The steps due in the animation frame at wall time `now` (seconds): none
// while paused, in real time those that wall time calls for, else the steps
// per frame.
double chain20_steps_due(double now) {
    return static_cast<double>(stepsForPicture(session.controls, wallClock, now));
}

// Runs `steps` idle steps, each after the script's events that are due.
void chain20_advance(int steps) {
    for (int i = 0; i < steps; ++i) {
        sessionStep(session, discard);
    }
}

// A picture was drawn at wall time `now` (seconds): the readouts as the
// window's panel renews them.
void chain20_picture_drawn(double now) { updateReadouts(readouts, session.controls, now); }

// The readouts.
double chain20_simulated_seconds() { return simulatedSeconds(session.controls.stepsSinceReset); }
double chain20_steps_per_second() { return readouts.stepRate.perSecond; }
double chain20_real_time_factor() { return realTimeFactor(readouts.stepRate.perSecond); }
double chain20_frames_per_second() { return readouts.frameRate.perSecond; }
double chain20_rate_window() { return RATE_WINDOW; }
double chain20_kinetic_energy() { return readouts.kinetic; }
double chain20_potential_energy() { return readouts.potential; }
// The total energy over the last ENERGY_HISTORY_SECONDS of simulated time,
// oldest first: the number of samples, the i-th, and the most kept.
int chain20_energy_samples() { return static_cast<int>(readouts.totalEnergy.size()); }
float chain20_energy_sample(int i) { return readouts.totalEnergy[static_cast<std::size_t>(i)]; }
int chain20_energy_capacity() { return static_cast<int>(ENERGY_SAMPLES); }
// The energy ledger: damping and spring work (J), the drift in parts per
// million of the scale (J), and the drift's samples beside the total's.
double chain20_damping_work() { return readouts.dampingWork; }
double chain20_spring_work() { return readouts.springWork; }
double chain20_energy_drift() { return readouts.energyDrift; }
double chain20_energy_scale() { return readouts.energyScale; }
int chain20_drift_samples() { return static_cast<int>(readouts.drift.size()); }
float chain20_drift_sample(int i) { return readouts.drift[static_cast<std::size_t>(i)]; }

// The chain's parameters, numbered 0 to chain20_parameters() - 1 in the
// order of a recording's header: parameter i as "NAME VALUE", the words of
// its set line, with the value it will have after the next start.
int chain20_parameters() { return CHAIN_PARAMETERS; }
const char* chain20_parameter(int parameter) {
    const std::string line = eventLine(setEvent(static_cast<ChainParameter>(parameter), nextChain));
    constexpr std::string_view verb = " set ";
    return keptText(line.substr(line.find(verb) + verb.size()));
}

// Sets the parameter NAME (as chain20_parameter names it) from the text of
// the page's input, with the checks and the rounding of chain20's options,
// as a script's set event: gravity, damping and stiffness act at once; links
// and the starting angle at the next reset, or at once before the first step.
// Only a change is an event (a set line in a recording). Both arguments are
// zero-terminated. Returns 0, or a pointer to the zero-terminated message
// about a bad name or value.
const char* chain20_set(const char* name, const char* text) {
    ChainDescription changed = nextChain;
    if (std::string error; !setChainParameter(name, text, changed, error)) {
        return keptText(std::move(error));
    }
    for (int i = 0; i < CHAIN_PARAMETERS; ++i) {
        const ScriptEvent event = setEvent(static_cast<ChainParameter>(i), changed);
        if (event.value != setEvent(event.parameter, nextChain).value) {
            liveInput(session, event);
        }
    }
    nextChain = changed;
    return nullptr;
}

// 0 float, 1 double: the precision of the chain that the next start (or a
// reset, which then starts over) builds.
void chain20_set_precision(int wide) { nextPrecision = wide != 0 ? Precision::Double : Precision::Float; }
int chain20_precision() { return runPrecision == Precision::Double ? 1 : 0; }

// The canvas is now width x height pixels: the cursor mapping and the
// drawing follow, and a recording under way keeps the resize, as the window
// program's reshape does.
void chain20_resize(int width, int height) {
    canvasWidth = width;
    canvasHeight = height;
    applyWindowSize(width, height, session);
}

// Mouse input at canvas pixel (x, y), origin top-left, y downward:
// kind 0 press, 1 drag, 2 release of the left button.
void chain20_pointer(int kind, int x, int y) {
    const EventKind kinds[] = {EventKind::Press, EventKind::Drag, EventKind::Release};
    liveInput(session, {0, kinds[kind], x, y, 0});
}

// Starts recording the run from now (the page starts it over first) as
// chain20 --record does: the parameters and the canvas size at step 0, then
// the input. `date` is zero-terminated.
void chain20_record_start(const char* date) {
    recorder.emplace("chain20 page", date, chain, canvasWidth, canvasHeight, runPrecision);
    session.recorder = &*recorder;
}
int chain20_recording() { return recorder ? 1 : 0; }

// The recording so far as an event script ending in its final line,
// zero-terminated, the recording going on ("" without one).
const char* chain20_recording_so_far() {
    return keptText(recorder ? recorder->script(session.controls.stepsRun, runState()) : "");
}

// The recording so far as an event script ending in its final line,
// zero-terminated; the recording stops.
const char* chain20_record_stop() {
    const char* text = keptText(recorder ? recorder->script(session.controls.stepsRun, runState()) : "");
    session.recorder = nullptr;
    recorder.reset();
    return text;
}

// Loads an event script (the chain20-batch language) to be applied from the
// next step on, counted from the last start; a script in the other precision
// (a recording says which) starts the run over in it first. A recording is
// read as chain20-batch reads it: no event beyond its final step, and its
// end kept for the check. Returns 0, or a pointer to the zero-terminated
// message about the first bad line.
const char* chain20_load_script(const char* text, int length) {
    const std::string_view script(text, static_cast<std::size_t>(length));
    const std::optional<RecordingEnd> end = recordingEnd(script);
    std::vector<ScriptEvent> events;
    if (std::string error; !parseEventScript(script, "script", end ? end->step : INT32_MAX, events, error)) {
        return keptText(std::move(error));
    }
    if (const Precision precision = scriptPrecision(script); precision != runPrecision) {
        nextPrecision = precision;
        restartRun();
    }
    replayed = end;
    replayedEventsHash = end ? scriptHash(events) : 0;
    session.script = std::move(events);
    session.nextScriptEvent = 0;
    return nullptr;
}

// Whether the script loaded is a recording (it ends in a final line).
int chain20_script_is_recording() { return replayed ? 1 : 0; }

// The step the replay stops at: a recording's final step, else the step of
// the script's last event (0 for none).
double chain20_replay_end() {
    if (replayed) {
        return static_cast<double>(replayed->step);
    }
    return session.script.empty() ? 0.0 : static_cast<double>(session.script.back().step);
}

// The replay of a recording checked against it now, in chain20-batch's words
// ("replay matches the recording", ...), zero-terminated; "" for a script
// that is not a recording.
const char* chain20_replay_check() {
    if (!replayed) {
        return keptText("");
    }
    return keptText(
        checkReplay(*replayed, replayedEventsHash, session.controls.stepsRun, stateHash(runState())).message);
}

// That check's verdict: 1 when the replay matches, 2 when it differs, 0 when
// it is not compared or the script is no recording.
int chain20_replay_verdict() {
    if (!replayed) {
        return 0;
    }
    const ReplayVerdict verdict =
        checkReplay(*replayed, replayedEventsHash, session.controls.stepsRun, stateHash(runState())).verdict;
    return verdict == ReplayVerdict::Matches ? 1 : verdict == ReplayVerdict::Differs ? 2 : 0;
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
const char* chain20_state_hash() { return keptText(hashText(stateHash(runState()))); }
double chain20_steps_run() { return static_cast<double>(session.controls.stepsRun); }
double chain20_resets() { return static_cast<double>(resetCount); }
int chain20_spring_on() { return mouseDown == 1 ? 1 : 0; }
float chain20_target(int axis) { return mouseTarget(axis + 1, 1); }

// The companions (s, f, p through chain20_key): the chains to draw behind the
// run's, the shadow first, each by its joint angles (joint from 1); their
// readouts; the settings of the panel; the phase points, oldest first.
int chain20_companions() { return companionCount(); }
int chain20_companion_is_shadow(int companion) { return companionIsShadow(companion) ? 1 : 0; }
float chain20_companion_angle(int companion, int joint) { return companionAngle(companion, joint); }
double chain20_separation() { return shadowSeparation(); }
double chain20_lyapunov_exponent() { return shadowExponent(); }
double chain20_spread() { return fanSpread(); }
int chain20_shadow_shown() { return shadowShown() ? 1 : 0; }
int chain20_fan_shown() { return fanShown() ? 1 : 0; }
void chain20_set_perturbation(double radians) {
    if (radians > 0.0 && radians < 1.0) {
        companionSettings.perturbation = radians;
    }
}
void chain20_set_fan_members(int members) {
    companionSettings.fanMembers = members < 1 ? 1 : members > MOST_FAN_MEMBERS ? MOST_FAN_MEMBERS : members;
}
void chain20_set_phase_joint(int joint) { companionSettings.phaseJoint = joint < 0 ? 0 : joint; }
// 0 off, 1 the portrait, 2 the Poincare section.
int chain20_phase_view() { return static_cast<int>(phaseView()); }
int chain20_phase_points() { return static_cast<int>(phasePoints().size()); }
float chain20_phase_angle(int i) { return phasePoints()[static_cast<std::size_t>(i)].angle; }
float chain20_phase_rate(int i) { return phasePoints()[static_cast<std::size_t>(i)].rate; }

}  // extern "C"
