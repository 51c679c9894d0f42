// chain20: the chain in a window, driven by the mouse and keys, or by an
// event script played back (--events); the run can be recorded as an event
// script that chain20-batch replays to the same bits (--record).
//
// Everything wrong with the command line, the script or the recording's path
// is reported before the window opens, as one line on stderr with exit
// status 2. A recording is complete or not there at all, however the program
// ends: quitting (q, Esc, the window closed, SIGINT, SIGTERM, SIGHUP) writes
// it whole; the window system ending the program (no display, the X
// connection lost) keeps what ran until then, marked as ending there, or
// leaves no file when no step ran.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

#include "cli/options.h"
#include "cli/script_file.h"
#include "cli/stderr_lines.h"
#include "sim/application.h"
#include "sim/parameters.h"
#include "sim/session.h"
#include "window/options.h"
#include "window/recording.h"
#include "window/window.h"

namespace {

int failWith(const std::string& message) {
    failAs(WINDOW_PROGRAM, message);
    return EXIT_BAD_INPUT;
}

}  // namespace

int main(int argc, char** argv) {
    WindowOptions options;
    ChainDescription description;
    std::optional<Precision> precision;
    if (std::string error; !takeWindowOptions(argc, argv, options, error) ||
                           !takeChainOptions(argc, argv, description, precision, error) ||
                           !onlyGlutOptionsRemain(argc, argv, error)) {
        return failWith(error);
    }
    EventScript script;
    if (std::string error; options.events && !loadEventScript(*options.events, PLAYED_TO_ITS_END, script, error)) {
        return failWith(error);
    }
    const Precision runIn = precision.value_or(script.precision);
    if (const std::string note = precisionNote(description.links, runIn); !note.empty()) {
        failAs(WINDOW_PROGRAM, note);
    }
    // Still there when the window system ends the program from inside the
    // main loop, which leaves this frame in place for the exit handlers.
    keepEnergyLedger = true;
    Session session = freshRun(description, runIn, WINDOW_WIDTH, WINDOW_HEIGHT, std::cout);
    session.script = std::move(script.events);

    quitOnSignals();
    if (options.record) {
        if (const int status = openRecording(*options.record, script.identity, session); status != 0) {
            return status;
        }
    }

    runWindow(argc, argv, session);

    return finishRecording();
}
