// Recording a window run as an event script that chain20-batch replays to the
// same bits, and the check of a replay against it.
//
// The script opens with a comment naming the program and the date, for a
// chain in double precision the comment "# precision: double", then the five
// parameters of the chain and the starting window size at step 0, so that a
// replay needs no options. Then
// comes one line per input, at the step before which it took effect, and
// last "# final: step S, state hash H, events hash E": the steps run, the
// hash of the state after the last of them, and the hash of the script's
// events (scriptHash), so that a replay checks every event it plays, also
// those whose effect the state no longer shows (input before the last reset,
// the pacing keys). Input that came after the last step (a key pressed just
// before quitting) never acted on a step; it is kept as a comment, outside
// both hashes, and the state hash is that of the state before it.
#pragma once

#include <cstdint>
#include <optional>
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
    // The set-up events at step 0, then the input.
    std::vector<ScriptEvent> events;
    std::int64_t setUpEvents = 0;
    // The hash of the state just before the events of the last recorded step.
    std::uint64_t hashBeforeLastStepEvents = 0;
};

// The line that ends a recording.
std::string finalLine(std::int64_t steps, std::uint64_t stateHash, std::uint64_t eventsHash);

// Where a recording ends, from its final line: the steps the window ran, the
// hash of the state after them and, unless the recording was made before
// events were hashed (its line ends at the state hash), its events' hash.
struct RecordingEnd {
    std::int64_t step = 0;
    std::uint64_t hash = 0;
    std::optional<std::uint64_t> events;
};

// The end of the recording in `text`: the last line of exactly the final
// line's form (S plain decimal, the hashes 16 lower-case hex digits each, a
// "\r" before the newline allowed), or nothing when the script has no such
// line.
std::optional<RecordingEnd> recordingEnd(std::string_view text);

// A replay's check against its recording, the same for every reader: after
// `steps` steps of the script whose events hash to `eventsHash`, in the state
// hashing to `stateHash`. A replay of another length is not compared; one
// whose events or state are not the recording's differs.
enum class ReplayVerdict { NotCompared, Matches, Differs };
struct ReplayCheck {
    ReplayVerdict verdict;
    std::string message;  // one line: "replay matches the recording", ...
};
ReplayCheck checkReplay(const RecordingEnd& recorded, std::uint64_t eventsHash, std::int64_t steps,
                        std::uint64_t stateHash);
