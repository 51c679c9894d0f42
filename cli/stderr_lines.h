// Lines on stderr: one-line diagnostics, and streams of lines that wipe the
// progress bar first.
#pragma once

#include <cstdint>
#include <limits>
#include <streambuf>
#include <string>
#include <string_view>

#include "cli/progress_bar.h"

inline constexpr const char* PROGRAM = "chain20-batch";

// `text` with every control byte written as \xHH, so that nothing read from a
// script or a file name can drive the terminal.
std::string escapeControlBytes(std::string_view text);

// Writes "PROGRAM: MESSAGE" as one line on stderr, control bytes escaped.
void failAs(std::string_view program, std::string_view message);

// Writes "chain20-batch: MESSAGE" as one line on stderr.
inline void fail(std::string_view message) { failAs(PROGRAM, message); }

// Lines about resets to rest written one by one; after these a count stands
// for the rest.
inline constexpr std::int64_t RESET_LINES_SHOWN = 10;

// The line, written at the end of a run, that counts the reset lines held
// back after the first RESET_LINES_SHOWN.
std::string heldBackResetsMessage(std::int64_t heldBack);

// A stream buffer that writes whole lines to stderr, each starting with a
// prefix, after wiping the progress bar. Lines are gathered in a fixed buffer.
// After `mostLines` lines the rest are counted but not written.
class StderrLines : public std::streambuf {
public:
    StderrLines(std::string_view prefix, ProgressBar& progress,
                std::int64_t mostLines = std::numeric_limits<std::int64_t>::max())
        : prefix(prefix), progress(progress), mostLines(mostLines) {}

    std::int64_t linesHeldBack() const { return heldBack; }

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    void emit();

    std::string_view prefix;
    ProgressBar& progress;
    std::int64_t mostLines;
    std::int64_t shownLines = 0;
    std::int64_t heldBack = 0;
    char line[256] = {};
    std::size_t length = 0;
    bool atLineStart = true;
};
