#include "sim/recorder.h"

#include "sim/state_hash.h"

Recorder::Recorder(std::string_view program, std::string_view date, const ChainDescription& start, int width,
                   int height, Precision precision) {
    header = "# recorded by " + std::string(program) + " on " + std::string(date) + "\n";
    if (precision == Precision::Double) {
        header += std::string(DOUBLE_PRECISION_LINE) + "\n";
    }
    for (int i = 0; i < CHAIN_PARAMETERS; ++i) {
        header += eventLine(setEvent(static_cast<ChainParameter>(i), start)) + "\n";
    }
    header += eventLine({0, EventKind::Resize, width, height, 0}) + "\n";
}

void Recorder::record(const ScriptEvent& event, StateView state) {
    if (events.empty() || events.back().step != event.step) {
        hashBeforeLastStepEvents = stateHash(state);
    }
    events.push_back(event);
}

std::string Recorder::script(std::int64_t stepsRun, StateView state, std::string_view ending) const {
    std::string text = header;
    bool inputAfterLastStep = false;
    for (const ScriptEvent& event : events) {
        if (event.step > stepsRun) {
            inputAfterLastStep = true;
            text += "# after the last step, not replayed: ";
        }
        text += eventLine(event) + "\n";
    }
    const std::uint64_t hash = inputAfterLastStep ? hashBeforeLastStepEvents : stateHash(state);
    if (!ending.empty()) {
        text += "# the run ended here: " + std::string(ending) + "\n";
    }
    return text + finalLine(stepsRun, hash) + "\n";
}

std::string finalLine(std::int64_t steps, std::uint64_t hash) {
    return "# final: step " + std::to_string(steps) + ", state hash " + hashText(hash);
}
