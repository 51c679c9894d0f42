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
#include "sim/text_sink.h"

struct Session {
    RunControls controls;
    EventTarget target;
    std::vector<ScriptEvent> script;  // played back, in order
    std::size_t nextScriptEvent = 0;
    Recorder* recorder = nullptr;  // when recording
};

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
// single step runs only while paused. Returns true when the chain moved.
bool applyRunCommand(RunCommand command, Session& session, TextSink log);
