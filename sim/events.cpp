#include "sim/events.h"

EventTarget eventTarget(int width, int height, TextSink keyEcho) {
    return {reshapeView(width, height), keyEcho, chain, false};
}

bool setUpPending(const EventTarget& target) {
    return target.nextStart.links != chain.links || target.nextStart.initialAngle != chain.initialAngle;
}

namespace {

// The chain back at its start. A new number of links or starting angle sets
// the chain up again (the only allocation); the live parameters, the button
// and the target carry over.
void resetChain(const EventTarget& target) {
    if (!setUpPending(target)) {
        restartSimulation();
        return;
    }
    ChainDescription description = chain;
    description.links = target.nextStart.links;
    description.initialAngle = target.nextStart.initialAngle;
    const float springTarget[2] = {mouseTarget(1, 1), mouseTarget(2, 1)};
    startChain(description);
    mouseTarget(1, 1) = springTarget[0];
    mouseTarget(2, 1) = springTarget[1];
    stepCount = 0;
}

void setParameter(ChainParameter parameter, float value, EventTarget& target) {
    switch (parameter) {
        case ChainParameter::Gravity:
            chain.gravity = value;
            return;
        case ChainParameter::Damping:
            chain.damping = value;
            return;
        case ChainParameter::Stiffness:
            chain.stiffness = value;
            return;
        case ChainParameter::Links:
            target.nextStart.links = static_cast<std::int32_t>(value);
            break;
        case ChainParameter::InitialAngle:
            target.nextStart.initialAngle = value;
            break;
    }
    if (!target.running) {
        resetChain(target);
    }
}

}  // namespace

void applyEvent(const ScriptEvent& event, EventTarget& target) {
    switch (event.kind) {
        case EventKind::Press:
            applyMouseButton(LEFT_BUTTON, BUTTON_DOWN, event.x, event.y, target.view);
            break;
        case EventKind::Drag:
            applyMouseMotion(event.x, event.y, target.view);
            break;
        case EventKind::Release:
            applyMouseButton(LEFT_BUTTON, BUTTON_UP, event.x, event.y, target.view);
            break;
        case EventKind::LeftKey:
            applySpecialKey(KEY_LEFT, target.keyEcho);
            break;
        case EventKind::RightKey:
            applySpecialKey(KEY_RIGHT, target.keyEcho);
            break;
        case EventKind::Reset:
            resetChain(target);
            break;
        case EventKind::Resize:
            target.view = reshapeView(event.x, event.y);
            break;
        case EventKind::Set:
            setParameter(event.parameter, event.value, target);
            break;
    }
}

