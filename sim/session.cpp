#include "sim/session.h"

#include "sim/application.h"
#include "sim/companions.h"

namespace {

bool isMouseEvent(EventKind kind) {
    return kind == EventKind::Press || kind == EventKind::Drag || kind == EventKind::Release;
}

// Applies an event before step stepsRun + 1, recording it first.
void applyAndRecord(Session& session, ScriptEvent event) {
    event.step = session.controls.stepsRun + 1;
    if (session.recorder != nullptr) {
        session.recorder->record(event, runState());
    }
    applyEvent(event, session.target);
    if (event.kind == EventKind::Reset) {
        session.controls.stepsSinceReset = 0;
        ++session.controls.resets;
    }
}

}  // namespace

Session freshRun(const ChainDescription& description, Precision precision, int width, int height, TextSink keyEcho) {
    runPrecision = precision;
    startChain(description);
    mouseDown = -1;
    stepsPerFrame = INITIAL_STEPS_PER_FRAME;
    stepCount = 0;
    resetCount = 0;
    Session session;
    session.target = eventTarget(width, height, keyEcho);
    return session;
}

bool scriptPlaying(const Session& session) { return session.nextScriptEvent < session.script.size(); }

void liveInput(Session& session, ScriptEvent event) {
    if (isMouseEvent(event.kind) && scriptPlaying(session)) {
        return;
    }
    applyAndRecord(session, event);
}

bool sessionStep(Session& session, TextSink log) {
    RunControls& controls = session.controls;
    while (scriptPlaying(session) && session.script[session.nextScriptEvent].step <= controls.stepsRun + 1) {
        applyAndRecord(session, session.script[session.nextScriptEvent]);
        ++session.nextScriptEvent;
    }
    const bool redisplay = advanceSimulation(log);
    session.target.running = true;
    ++controls.stepsRun;
    ++controls.stepsSinceReset;
    return redisplay;
}

bool applyRunCommand(RunCommand command, Session& session, TextSink log) {
    RunControls& controls = session.controls;
    switch (command) {
        case RunCommand::PauseResume:
            controls.paused = !controls.paused;
            return false;
        case RunCommand::SingleStep:
            if (!controls.paused) {
                return false;
            }
            sessionStep(session, log);
            return true;
        case RunCommand::Reset:
            liveInput(session, {0, EventKind::Reset, 0, 0, 0});
            return true;
        case RunCommand::Help:
            controls.helpShown = !controls.helpShown;
            return false;
        case RunCommand::Panel:
            controls.panelShown = !controls.panelShown;
            return false;
        case RunCommand::Shadow:
            toggleShadow();
            return true;
        case RunCommand::Fan:
            toggleFan();
            return true;
        case RunCommand::Phase:
            cyclePhaseView();
            return true;
        case RunCommand::Quit:
            controls.quitRequested = true;
            return false;
        case RunCommand::None:
            return false;
    }
    return false;
}
