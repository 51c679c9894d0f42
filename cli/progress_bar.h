// A progress bar on stderr for long runs on a terminal.
#pragma once

#include <chrono>
#include <cstdint>

class ProgressBar {
public:
    ProgressBar(std::int64_t total, bool enabled) : total(total), enabled(enabled) {}

    // Redraws the bar at most five times a second, looking at the clock only
    // every 8192 steps.
    void update(std::int64_t step);

    // Wipes the bar so that a line of text can take its place.
    void clear();

private:
    std::int64_t total;
    bool enabled;
    bool shown = false;
    std::chrono::steady_clock::time_point lastDrawn{};
};
