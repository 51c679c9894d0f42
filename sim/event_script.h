// The event script's grammar: mouse, key and parameter input at given steps,
// as chain20-batch plays it and chain20 records and plays it.
//
// One event per line:
//   STEP press X Y     left button down with the cursor at window pixel (X, Y)
//   STEP drag X Y      cursor moved to (X, Y) with a button held
//   STEP release       left button up
//   STEP left          left arrow key
//   STEP right         right arrow key
//   STEP reset         the chain back at its start, simulated time 0
//   STEP resize W H    the window is now W x H pixels: the cursor mapping of
//                      the events after it uses that size
//   STEP set NAME V    gravity, damping or stiffness set to V at once; links
//                      or initial-angle set for the start of the run (before
//                      the first step) or else for the next reset
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

#include "dynamics/chain_dynamics.h"
#include "sim/state_view.h"

enum class EventKind { Press, Drag, Release, LeftKey, RightKey, Reset, Resize, Set };

// The chain's parameters that a set event names, in the order of the
// recording's header.
enum class ChainParameter { Links, Gravity, Damping, Stiffness, InitialAngle };
inline constexpr int CHAIN_PARAMETERS = 5;

struct ScriptEvent {
    std::int64_t step;
    EventKind kind;
    int x;  // window pixels, or the width of a resize; 0 for events without a position
    int y;  // window pixels, or the height of a resize
    std::int64_t line;  // 1-based line in the script, for messages; 0 for live input
    ChainParameter parameter = ChainParameter::Gravity;  // of a set event
    float value = 0.0f;  // of a set event (links: a whole number)
};

// The set event that gives `parameter` the value it has in `description`.
ScriptEvent setEvent(ChainParameter parameter, const ChainDescription& description);

// Largest coordinate magnitude accepted, far outside any window.
inline constexpr int MAX_COORDINATE = 1000000;
// Largest window side accepted by resize (and by the runner's --width, --height).
inline constexpr int LARGEST_WINDOW = 16384;

// Reads a press or drag coordinate named `axis` ("X" or "Y") from `word`;
// false, with `what` set, when it is no whole number within MAX_COORDINATE.
bool readCoordinate(std::string_view word, std::string_view axis, int& value, std::string& what);

// Reads a resize's side named `axis` ("width" or "height") from `word`;
// false, with `what` set, when it is no whole number from 1 to LARGEST_WINDOW.
bool readWindowSide(std::string_view word, std::string_view axis, int& value, std::string& what);

// Parses a whole script. `name` is how messages refer to the script and
// `lastStep` the last step of the run. On success returns true and fills
// `events` in script order; on the first bad line returns false and sets
// `error` to "NAME:LINE: what is wrong".
bool parseEventScript(std::string_view text, std::string_view name, std::int64_t lastStep,
                      std::vector<ScriptEvent>& events, std::string& error);

// The comment line by which a script (a recording) says that its chain runs
// in double precision.
inline constexpr std::string_view DOUBLE_PRECISION_LINE = "# precision: double";

// The precision a script names: double when a line of it is exactly
// DOUBLE_PRECISION_LINE (a carriage return may end it), else float.
Precision scriptPrecision(std::string_view text);

// The event as a script line without its newline: "STEP verb [arguments]".
std::string eventLine(const ScriptEvent& event);

// A set line's value: a whole number as its digits (100000, not the shorter
// 1e+05, from which a count of links cannot be read), any other value as its
// shortest text. Floats below 2^24 in magnitude hold every whole number
// exactly, so the digits stand for the same float; -0 keeps its sign.
std::string setValueText(float value);

// The hash of the events as a script: FNV-1a 64 over their lines, each with
// its newline. Comments, blank lines and the spelling of numbers leave it
// alone; any change to an event changes it.
std::uint64_t scriptHash(const std::vector<ScriptEvent>& events);

// The name a set line gives the parameter: "links", ..., "initial-angle".
std::string_view parameterName(ChainParameter parameter);
