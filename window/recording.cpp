#include "window/recording.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string_view>

#include "cli/output_file.h"
#include "cli/stderr_lines.h"
#include "sim/application.h"
#include "sim/recorder.h"
#include "window/window.h"

namespace {

// The recording from the opening of its file until it is saved or discarded:
// at the end of main, or by the exit handlers when the window system ends the
// program from inside GLUT or Xlib.
struct Recording {
    OutputFile file;
    std::optional<Recorder> recorder;
    const Session* session = nullptr;
};
Recording recording;

std::string utcDate() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = "";
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&now, &parts));
    return text;
}

// Opening a FIFO for writing waits until something opens it for reading.
void announceWaitForReader(const std::string& name) {
    failAs(WINDOW_PROGRAM, "'" + name + "' is a FIFO: waiting for a reader before the window opens");
}

int quitRequested() { return quitSignalReceived(); }

// Writes the recording and moves it into place; `ending`, if any, says why
// the run stopped early.
int saveRecording(std::string_view ending) {
    const std::string script = recording.recorder->script(recording.session->controls.stepsRun, runState(), ending);
    recording.recorder.reset();
    std::fwrite(script.data(), 1, script.size(), recording.file.stream());
    if (const int errorNumber = recording.file.commit(); errorNumber != 0) {
        const std::string message = recording.file.writeError(errorNumber);
        recording.file.discard();
        failAs(WINDOW_PROGRAM, message);
        return EXIT_BAD_INPUT;
    }
    return 0;
}

// The program ends without its main loop having returned: what ran is kept,
// unless no step ran, when there is nothing to replay and no file is left.
void endRecordingEarly() {
    if (!recording.recorder) {
        return;
    }
    const std::string reason = windowSystemFailure().empty() ? "the program ended before its main loop returned"
                                                             : windowSystemFailure();
    const std::int64_t steps = recording.session->controls.stepsRun;
    if (steps == 0) {
        recording.recorder.reset();
        recording.file.discard();
        failAs(WINDOW_PROGRAM, "no step ran; no recording written to '" + recording.file.name() + "'");
    } else if (saveRecording(escapeControlBytes(reason)) == 0) {
        failAs(WINDOW_PROGRAM,
               "the recording in '" + recording.file.name() + "' ends at step " + std::to_string(steps) + ": " + reason);
    }
}

}  // namespace

int openRecording(const std::string& path, const FileIdentity& script, Session& session) {
    if (std::string error; !recording.file.open(path, script, error, {announceWaitForReader, quitRequested})) {
        if (const int signalNumber = quitSignalReceived(); signalNumber != 0) {
            failAs(WINDOW_PROGRAM, "interrupted before the window opened; no recording written");
            return 128 + signalNumber;
        }
        failAs(WINDOW_PROGRAM, error);
        return EXIT_BAD_INPUT;
    }
    recording.recorder.emplace(WINDOW_PROGRAM, utcDate(), chain, WINDOW_WIDTH, WINDOW_HEIGHT, runPrecision);
    recording.session = &session;
    session.recorder = &*recording.recorder;
    std::atexit(endRecordingEarly);
    std::at_quick_exit(endRecordingEarly);
    return 0;
}

int finishRecording() { return recording.recorder ? saveRecording({}) : 0; }
