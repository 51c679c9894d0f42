// Reading the event script: from a file or stdin, up to a size limit, and
// parsing it with what it says about itself (a recording's precision and end).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/event_script.h"
#include "sim/state_view.h"

// A script holds at most 64 MiB; a larger or endless input (/dev/zero) is
// refused after reading that much.
inline constexpr std::size_t MOST_SCRIPT_BYTES = std::size_t{64} << 20;

// Which regular file the script was read from, so that the output can refuse
// to overwrite it.
struct FileIdentity {
    bool regular = false;
    dev_t device = 0;
    ino_t inode = 0;
};

// Reads the whole script at `path` ('-' for stdin) into `text`. On failure
// returns false with `error` set to a message naming the script.
bool readEventScript(const std::string& path, std::string& text, FileIdentity& identity, std::string& error);

// Where a recording ends, from its last line "# final: step S, state hash H":
// the steps the window ran and the hash of the state after them.
struct RecordingEnd {
    std::int64_t step = 0;
    std::uint64_t hash = 0;
};

// The end of the recording in `text`: the last line of exactly that form
// (S plain decimal, H 16 lower-case hex digits, a "\r" before the newline
// allowed), or nothing when the script has no such line.
std::optional<RecordingEnd> recordingEnd(std::string_view text);

// A script read and parsed: its events in order, the precision it names
// (float unless a "# precision:" line says double), a recording's end, and
// the file it came from.
struct EventScript {
    std::vector<ScriptEvent> events;
    Precision precision = Precision::Float;
    std::optional<RecordingEnd> recorded;
    FileIdentity identity;
};

// Reads the script at `path` ('-' for stdin) and parses it for a run of
// `lastStep` steps; without one, for a run as long as the recording it holds,
// or of no set length. On failure returns false with `error` set to a message
// naming the script.
bool loadEventScript(const std::string& path, std::optional<std::int64_t> lastStep, EventScript& script,
                     std::string& error);
