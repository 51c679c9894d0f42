// Reading the event script: from a file or stdin, up to a size limit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
