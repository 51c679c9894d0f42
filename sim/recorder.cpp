#include "sim/recorder.h"

#include <algorithm>
#include <charconv>

#include "sim/state_hash.h"

namespace {

constexpr std::string_view FINAL_STEP = "# final: step ";
constexpr std::string_view STATE_HASH = ", state hash ";
constexpr std::string_view EVENTS_HASH = ", events hash ";
constexpr std::size_t HASH_DIGITS = 16;

// Reads all of `text` as a plain decimal step count (no sign, no blanks).
bool readStepCount(std::string_view text, std::int64_t& value) {
    const char* const end = text.data() + text.size();
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const auto [stop, status] = std::from_chars(text.data(), end, value);
    return !text.empty() && plain && status == std::errc{} && stop == end;
}

// Reads ", NAME hash H" with 16 hex digits from the start of `text`, and
// drops it from `text`.
bool readHash(std::string_view& text, std::string_view name, std::uint64_t& hash) {
    if (!text.starts_with(name) || text.size() < name.size() + HASH_DIGITS ||
        !readHashText(text.substr(name.size(), HASH_DIGITS), hash)) {
        return false;
    }
    text.remove_prefix(name.size() + HASH_DIGITS);
    return true;
}

// The end that `line` states, if it is a final line.
std::optional<RecordingEnd> finalLineEnd(std::string_view line) {
    if (line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    const std::size_t hashAt = line.find(STATE_HASH);
    RecordingEnd end;
    if (!line.starts_with(FINAL_STEP) || hashAt == std::string_view::npos ||
        !readStepCount(line.substr(FINAL_STEP.size(), hashAt - FINAL_STEP.size()), end.step)) {
        return std::nullopt;
    }
    line.remove_prefix(hashAt);
    if (!readHash(line, STATE_HASH, end.hash)) {
        return std::nullopt;
    }
    if (std::uint64_t events = 0; readHash(line, EVENTS_HASH, events)) {
        end.events = events;
    }
    return line.empty() ? std::optional(end) : std::nullopt;
}

}  // namespace

Recorder::Recorder(std::string_view program, std::string_view date, const ChainDescription& start, int width,
                   int height, Precision precision) {
    header = "# recorded by " + std::string(program) + " on " + std::string(date) + "\n";
    if (precision == Precision::Double) {
        header += std::string(DOUBLE_PRECISION_LINE) + "\n";
    }
    for (int i = 0; i < CHAIN_PARAMETERS; ++i) {
        events.push_back(setEvent(static_cast<ChainParameter>(i), start));
    }
    events.push_back({0, EventKind::Resize, width, height, 0});
    setUpEvents = static_cast<std::int64_t>(events.size());
}

void Recorder::record(const ScriptEvent& event, StateView state) {
    if (static_cast<std::int64_t>(events.size()) == setUpEvents || events.back().step != event.step) {
        hashBeforeLastStepEvents = stateHash(state);
    }
    events.push_back(event);
}

std::string Recorder::script(std::int64_t stepsRun, StateView state, std::string_view ending) const {
    std::string text = header;
    bool inputAfterLastStep = false;
    std::vector<ScriptEvent> replayed;
    for (const ScriptEvent& event : events) {
        if (event.step > stepsRun) {
            inputAfterLastStep = true;
            text += "# after the last step, not replayed: ";
        } else {
            replayed.push_back(event);
        }
        text += eventLine(event) + "\n";
    }
    const std::uint64_t hash = inputAfterLastStep ? hashBeforeLastStepEvents : stateHash(state);
    if (!ending.empty()) {
        text += "# the run ended here: " + std::string(ending) + "\n";
    }
    return text + finalLine(stepsRun, hash, scriptHash(replayed)) + "\n";
}

std::string finalLine(std::int64_t steps, std::uint64_t stateHash, std::uint64_t eventsHash) {
    return std::string(FINAL_STEP) + std::to_string(steps) + std::string(STATE_HASH) + hashText(stateHash) +
           std::string(EVENTS_HASH) + hashText(eventsHash);
}

std::optional<RecordingEnd> recordingEnd(std::string_view text) {
    std::optional<RecordingEnd> end;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = std::min(text.find('\n', start), text.size());
        if (const auto stated = finalLineEnd(text.substr(start, newline - start))) {
            end = stated;
        }
        start = newline + 1;
    }
    return end;
}

ReplayCheck checkReplay(const RecordingEnd& recorded, std::uint64_t eventsHash, std::int64_t steps,
                        std::uint64_t stateHash) {
    if (steps != recorded.step) {
        return {ReplayVerdict::NotCompared,
                "the recording ends at step " + std::to_string(recorded.step) + "; not compared"};
    }
    if (recorded.events && *recorded.events != eventsHash) {
        return {ReplayVerdict::Differs, "replay differs from the recording: its events are not the recorded ones "
                                        "(events hash expected " + hashText(*recorded.events) + ", got " +
                                            hashText(eventsHash) + ")"};
    }
    if (stateHash != recorded.hash) {
        return {ReplayVerdict::Differs, "replay differs from the recording (expected " + hashText(recorded.hash) +
                                            ", got " + hashText(stateHash) + ")"};
    }
    if (!recorded.events) {
        return {ReplayVerdict::Matches,
                "replay matches the recording's state (its final line has no events hash: the events are not checked)"};
    }
    return {ReplayVerdict::Matches, "replay matches the recording"};
}
