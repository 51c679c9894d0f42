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
#include "sim/recorder.h"
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
