#include "cli/progress_bar.h"

#include <cstdio>

void ProgressBar::update(std::int64_t step) {
    if ((step & 0x1fff) == 0) {
        show(step);
    }
}

void ProgressBar::show(std::int64_t done) {
    if (!enabled) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (shown && now - lastDrawn < std::chrono::milliseconds(200)) {
        return;
    }
    lastDrawn = now;
    constexpr int WIDTH = 40;
    const double fraction = static_cast<double>(done) / static_cast<double>(total);
    const int filled = static_cast<int>(fraction * WIDTH);
    char bar[WIDTH + 1];
    for (int i = 0; i < WIDTH; ++i) {
        bar[i] = i < filled ? '#' : '.';
    }
    bar[WIDTH] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%%  %s %lld of %lld", bar, static_cast<int>(fraction * 100.0), counted,
                 static_cast<long long>(done), static_cast<long long>(total));
    shown = true;
}

void ProgressBar::clear() {
    if (shown) {
        std::fprintf(stderr, "\r%*s\r", 80, "");
        shown = false;
    }
}
