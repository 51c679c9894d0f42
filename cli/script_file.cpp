#include "cli/script_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

bool readEventScript(const std::string& path, std::string& text, FileIdentity& identity, std::string& error) {
    const bool standardInput = path == "-";
    const std::string shownName = standardInput ? std::string("stdin") : path;
    std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read event script '" + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        identity = {true, info.st_dev, info.st_ino};
        text.reserve(std::min(static_cast<std::size_t>(info.st_size), MOST_SCRIPT_BYTES) + 1);
    }
    char chunk[65536];
    std::size_t got = 0;
    bool tooLarge = false;
    while (!tooLarge && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        tooLarge = got > MOST_SCRIPT_BYTES - text.size();
        text.append(chunk, tooLarge ? 0 : got);
    }
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    if (!standardInput) {
        std::fclose(file);
    }
    if (tooLarge) {
        error = "event script '" + shownName + "' is larger than " + std::to_string(MOST_SCRIPT_BYTES >> 20) +
                " MiB, the most a script may hold";
        return false;
    }
    if (failed) {
        error = "cannot read event script '" + shownName + "': " + std::strerror(readErrno);
        return false;
    }
    return true;
}

bool loadEventScript(const std::string& path, std::optional<std::int64_t> lastStep, EventScript& script,
                     std::string& error) {
    std::string text;
    if (!readEventScript(path, text, script.identity, error)) {
        return false;
    }
    script.recorded = recordingEnd(text);
    if (!lastStep && script.recorded) {
        lastStep = script.recorded->step;
    }
    script.precision = scriptPrecision(text);
    return parseEventScript(text, path == "-" ? "stdin" : path, lastStep.value_or(std::numeric_limits<std::int64_t>::max()),
                            script.events, error);
}
