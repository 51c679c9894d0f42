// The event script of the headless runner: mouse and key input at given steps.
//
// One event per line:
//   STEP press X Y     left button down with the cursor at window pixel (X, Y)
//   STEP drag X Y      cursor moved to (X, Y) with a button held
//   STEP release       left button up
//   STEP left          left arrow key
//   STEP right         right arrow key
// An event at step S is applied just before step S runs; step 0 and step 1
// both mean before the first step. Steps may repeat but never decrease, and
// none may lie beyond the last step of the run. X and Y are whole pixels,
// origin at the window's top-left corner, y downward, as GLUT reports them;
// they may lie outside the window, as during a drag. Numbers carry no '+'
// sign, and a step no sign at all. Blank lines are skipped, '#' starts a
// comment that runs to the end of the line, lines end in "\n" or "\r\n", and a
// UTF-8 byte-order mark may open the script.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "app/application.h"

enum class EventKind { Press, Drag, Release, LeftKey, RightKey };

struct ScriptEvent {
    std::int64_t step;
    EventKind kind;
    int x;  // window pixels; 0 for events without a position
    int y;
    std::int64_t line;  // 1-based line in the script, for messages
};

// Largest coordinate magnitude accepted, far outside any window.
inline constexpr int MAX_COORDINATE = 1000000;

// Parses a whole script. `name` is how messages refer to the script and
// `lastStep` the last step of the run. On success returns true and fills
// `events` in script order; on the first bad line returns false and sets
// `error` to "NAME:LINE: what is wrong".
bool parseEventScript(std::string_view text, std::string_view name, std::int64_t lastStep,
                      std::vector<ScriptEvent>& events, std::string& error);

// Applies one event through the application's input rules, with GLUT's codes,
// the view of the runner's window, and `keyEcho` for the right arrow's echo.
void applyEvent(const ScriptEvent& event, const ViewTransform& view, std::ostream& keyEcho);
