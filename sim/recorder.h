// Recording a window run as an event script that chain20-batch replays to the
// same bits.
//
// The script opens with a comment naming the program and the date, for a
// chain in double precision the comment "# precision: double", then the five
// parameters of the chain and the starting window size at step 0, so that a
// replay needs no options. Then
// comes one line per input, at the step before which it took effect, and
// last "# final: step S, state hash H": the steps run and the hash of the
// state after the last of them. Input that came after the last step (a key
// pressed just before quitting) never acted on a step; it is kept as a
// comment, and the hash is that of the state before it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/event_script.h"
#include "dynamics/chain_dynamics.h"

class Recorder {
public:
    // `program` and `date` go into the header comment; `start` is the chain
    // and width x height the window's size at the start.
    Recorder(std::string_view program, std::string_view date, const ChainDescription& start, int width, int height,
             Precision precision = Precision::Float);

    // Notes an input event (its step already set) just before it is applied
    // to `state`.
    void record(const ScriptEvent& event, StateView state);

    // The whole script after `stepsRun` steps, the chain now in `state`. A
    // run that ended early (the window system gone) names why in `ending`,
    // which goes as a comment just before the final line.
    std::string script(std::int64_t stepsRun, StateView state, std::string_view ending = {}) const;

private:
    std::string header;
    std::vector<ScriptEvent> events;
    // The hash of the state just before the events of the last recorded step.
    std::uint64_t hashBeforeLastStepEvents = 0;
};

// The line that ends a recording.
std::string finalLine(std::int64_t steps, std::uint64_t hash);
