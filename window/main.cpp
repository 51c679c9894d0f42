// chain20: the chain in a window, driven by the mouse and keys, or by an
// event script played back (--events); the run can be recorded as an event
// script that chain20-batch replays to the same bits (--record).
//
// Everything wrong with the command line, the script or the recording's path
// is reported before the window opens, as one line on stderr with exit
// status 2.
#include <cstdio>
#include <ctime>
#include <iostream>
#include <limits>
#include <optional>
#include <string>

#include "sim/application.h"
#include "sim/parameters.h"
#include "cli/output_file.h"
#include "sim/recorder.h"
#include "cli/script_file.h"
#include "sim/session.h"
#include "window/window.h"
#include "window/options.h"
#include "dynamics/chain_dynamics.h"
#include "model/chain_model.h"

namespace {

constexpr const char* PROGRAM = "chain20";
constexpr int EXIT_BAD_INPUT = 2;

int failWith(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str());
    return EXIT_BAD_INPUT;
}

// The script to play, its events for a run without a last step, and the
// precision it names.
bool loadScript(const std::string& path, std::vector<ScriptEvent>& events, FileIdentity& identity,
                Precision& precision, std::string& error) {
    std::string text;
    const std::string name = path == "-" ? "stdin" : path;
    if (!readEventScript(path, text, identity, error) ||
        !parseEventScript(text, name, std::numeric_limits<std::int64_t>::max(), events, error)) {
        return false;
    }
    precision = scriptPrecision(text);
    return true;
}

std::string utcDate() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&now, &parts));
    return text;
}

// Writes the finished recording and moves it into place.
int saveRecording(OutputFile& file, const std::string& script) {
    std::fwrite(script.data(), 1, script.size(), file.stream());
    if (const int errorNumber = file.commit(); errorNumber != 0) {
        const std::string message = file.writeError(errorNumber);
        file.discard();
        return failWith(message);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    WindowOptions options;
    ChainDescription description;
    std::optional<Precision> precision;
    if (std::string error; !takeWindowOptions(argc, argv, options, error) ||
                           !takeChainOptions(argc, argv, description, precision, error)) {
        return failWith(error);
    }
    Session session;
    FileIdentity script;
    Precision scripted = Precision::Float;
    if (std::string error;
        options.events && !loadScript(*options.events, session.script, script, scripted, error)) {
        return failWith(error);
    }
    runPrecision = precision.value_or(scripted);
    if (const std::string note = precisionNote(description.links, runPrecision); !note.empty()) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, note.c_str());
    }
    startChain(description);
    session.target = eventTarget(WINDOW_WIDTH, WINDOW_HEIGHT, std::cout);

    OutputFile recording;
    std::optional<Recorder> recorder;
    if (options.record) {
        if (std::string error; !recording.open(*options.record, script, error)) {
            return failWith(error);
        }
        recorder.emplace(PROGRAM, utcDate(), chain, WINDOW_WIDTH, WINDOW_HEIGHT, runPrecision);
        session.recorder = &*recorder;
    }

    runWindow(argc, argv, session);

    return recorder ? saveRecording(recording, recorder->script(session.controls.stepsRun, runState())) : 0;
}
