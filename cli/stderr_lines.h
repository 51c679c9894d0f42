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

// Writes "chain20-batch: MESSAGE" as one line on stderr.
void fail(std::string_view message);

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
