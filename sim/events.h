// What an event does: the input rules of the application applied to the
// chain, through the view that maps the cursor and with the next start that
// set events describe. The grammar of the events is event_script.h.
#pragma once

#include "sim/application.h"
#include "sim/event_script.h"

// What events act on besides the application's state: the window whose view
// maps the cursor, and where the right arrow's echo goes.
struct EventTarget {
    ViewTransform view{};
    TextSink keyEcho;
    // The links and starting angle that the next reset starts from, and
    // whether a step has run (before the first, they act at once).
    ChainDescription nextStart;
    bool running = false;
};

// The target of a run of the chain as now set up.
EventTarget eventTarget(int width, int height, TextSink keyEcho);

// Whether the next reset sets the chain up anew: its links or starting angle
// have been set to other values.
bool setUpPending(const EventTarget& target);

// Applies one event through the application's input rules, with GLUT's codes.
// Both programs apply their events, scripted or live, through this one call.
void applyEvent(const ScriptEvent& event, EventTarget& target);
