// The window program's run as plain state and rules: the run controls, the
// events that act on the chain (live input, or a script played back), and
// the recording. The window's callbacks turn their input into calls of these
// functions; tests call them without a window.
#pragma once

#include <cstddef>
#include <vector>

#include "sim/events.h"
#include "sim/recorder.h"
#include "sim/run_controls.h"
#include "sim/state_view.h"
#include "sim/text_sink.h"

struct Session {
    RunControls controls;
    EventTarget target;
    std::vector<ScriptEvent> script;  // played back, in order
    std::size_t nextScriptEvent = 0;
    Recorder* recorder = nullptr;  // when recording
};

// A fresh run of the chain that `description` describes, in `precision`:
// the default chain (and the double one) built and at rest, the spring off,
// the steps per frame and the step and reset counts at their start, and a
// session with its controls at their start, its events mapped through the
// view of a width x height window, the right arrow's echo on `keyEcho`. The
// programs, the page and the tests all start here.
Session freshRun(const ChainDescription& description, Precision precision, int width, int height, TextSink keyEcho);

// True until the played-back script's last event has been applied.
bool scriptPlaying(const Session& session);

// Applies input that takes effect before the next step, and records it at
// that step. Live mouse input is ignored while a script plays.
void liveInput(Session& session, ScriptEvent event);

// One step: the script's events due before it, then the idle step
// (Runge-Kutta with its fall-back to rest), counted. Returns true when a
// redisplay is due.
bool sessionStep(Session& session, TextSink log);

// Applies a run command. Reset goes through liveInput (it is recorded); a
// single step runs only while paused; the companions' keys show or hide
// them. Returns true when the picture changed.
bool applyRunCommand(RunCommand command, Session& session, TextSink log);
