// Reading the event script: from a file or stdin, up to a size limit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

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
