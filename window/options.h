// chain20's own command-line options, taken out of the argument vector before
// GLUT sees the rest (its -display, -geometry and the like):
//   --record FILE   write the run as an event script to FILE
//   --events FILE   play the event script FILE ('-' for stdin)
// Each takes its value as the next argument or after '='.
#pragma once

#include <optional>
#include <string>

struct WindowOptions {
    std::optional<std::string> record;
    std::optional<std::string> events;
};

// Takes the options out of argv (argc and argv are updated to what remains,
// in order). Returns false with a one-line message in `error` for a missing
// or empty value, or a record path of '-' (standard output carries the right
// arrow's echo).
bool takeWindowOptions(int& argc, char** argv, WindowOptions& options, std::string& error);

// Checks that what remains after the program's own options (argv[1] on) is
// only GLUT's: -display DISPLAY, -geometry WxH+X+Y, -direct, -indirect,
// -iconic, -gldebug, -sync. Returns false with a one-line message in `error`
// for anything else, or for -display or -geometry without a value.
bool onlyGlutOptionsRemain(int argc, char** argv, std::string& error);
