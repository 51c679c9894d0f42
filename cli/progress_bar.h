// A progress bar on stderr for long runs on a terminal.
#pragma once

#include <chrono>
#include <cstdint>

class ProgressBar {
public:
    // `counted` names what the bar counts ("step", "member").
    ProgressBar(std::int64_t total, bool enabled, const char* counted = "step")
        : total(total), enabled(enabled), counted(counted) {}

    // Redraws the bar at most five times a second, looking at the clock only
    // every 8192 steps.
    void update(std::int64_t step);

    // Redraws the bar for `done` of the total, at most five times a second;
    // for counts that grow seldom enough to look at the clock each time.
    void show(std::int64_t done);

    // Wipes the bar so that a line of text can take its place.
    void clear();

private:
    std::int64_t total;
    bool enabled;
    const char* counted;
    bool shown = false;
    std::chrono::steady_clock::time_point lastDrawn{};
};
