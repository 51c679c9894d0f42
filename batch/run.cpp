#include "batch/run.h"

#include <fcntl.h>
#include <unistd.h>

#if defined(__EMSCRIPTEN__)
#include <emscripten.h>
#endif

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim/application.h"
#include "sim/session.h"
#include "batch/csv.h"
#include "sim/parameters.h"
#include "cli/progress_bar.h"
#include "sim/state_hash.h"
#include "cli/stderr_lines.h"
#include "cli/stop_signals.h"
#include "dynamics/chain_dynamics.h"

namespace {

// Progress is drawn only for runs long enough to be waited for.
constexpr std::int64_t STEPS_WORTH_A_PROGRESS_BAR = 200000;

volatile std::sig_atomic_t stopRequested = 0;

#if defined(__EMSCRIPTEN__)
// Under node the signals reach the launcher (chain20-batch.js), which runs
// this program on a worker thread and shares two numbers with it: the signal
// that asks the run to stop, and whether the run takes such requests yet.
// Started without the launcher, nothing asks it to stop.
constexpr int STOP_SIGNAL = 0;
constexpr int TAKES_STOP_REQUESTS = 1;

EM_JS(int, launcherWord, (int index, int store), {
    if (!Module.launcherWords) {
        const shared = require('worker_threads').workerData;
        Module.launcherWords = new Int32Array(shared || new SharedArrayBuffer(8));
    }
    return store ? Atomics.store(Module.launcherWords, index, 1) : Atomics.load(Module.launcherWords, index);
});

// The C library calls every standard stream of node a terminal; node knows.
EM_JS(int, stderrIsTerminal, (), { return require('tty').isatty(2) ? 1 : 0; });
#else
extern "C" void requestStop(int signalNumber) { stopRequested = signalNumber; }

int stderrIsTerminal() { return ::isatty(STDERR_FILENO); }
#endif

// The signal that asked the run to stop, or 0.
int pendingStop() {
#if defined(__EMSCRIPTEN__)
    if (stopRequested == 0) {
        stopRequested = launcherWord(STOP_SIGNAL, 0);
    }
#endif
    return stopRequested;
}

// The output buffer, allocated once.
char outputBuffer[1 << 20];

// Writes `text` to `out`; returns 0, or the error number of the write that
// failed (the buffer's flush when it fills).
int writeText(std::FILE* out, std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) == text.size()) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

}  // namespace

void stopOnSignals() {
#if defined(__EMSCRIPTEN__)
    launcherWord(TAKES_STOP_REQUESTS, 1);
#else
    catchStopSignals(requestStop);
#endif
}

int stopSignal() { return pendingStop(); }

bool progressWorthShowing(std::int64_t work) {
    return stderrIsTerminal() == 1 && work >= STEPS_WORTH_A_PROGRESS_BAR;
}

// Applies the script's events before the first step, up to a stop request. A run of links or starting-angle changes only
// describes the chain: it is set up once, for the description the run leaves
// (at 100,000 links a set-up takes most of a second), before the next event
// that sees the chain (a press maps the cursor by the chain's length) and
// before the first step. The chain comes out as if each change had set it up
// at once.
void setUpChain(Session& session) {
    EventTarget& target = session.target;
    const auto setUpForNextStart = [&target] {
        if (setUpPending(target)) {
            applyEvent({0, EventKind::Reset, 0, 0, 0}, target);
        }
    };
    target.running = true;  // links and angle wait for setUpForNextStart
    const std::vector<ScriptEvent>& events = session.script;
    std::size_t& next = session.nextScriptEvent;
    for (; next < events.size() && events[next].step <= 1 && stopSignal() == 0; ++next) {
        if (events[next].kind != EventKind::Set) {
            setUpForNextStart();
        }
        applyEvent(events[next], target);
    }
    if (stopSignal() == 0) {
        setUpForNextStart();
    }
}


void fillClosedStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
            // open() takes the lowest free descriptor, which is this one.
            ::open("/dev/null", O_RDWR);
        }
    }
}

RunResult runBatch(const BatchOptions& options, std::vector<ScriptEvent> events, std::FILE* out) {
    std::setvbuf(out, outputBuffer, _IOFBF, sizeof outputBuffer);

    // The window program's start-up, and the view its reshape sets.
    programName = PROGRAM;
    const Precision precision = options.precision.value_or(Precision::Float);
    if (const std::string note = precisionNote(options.chain.links, precision); !note.empty()) {
        fail(note);
    }
    const std::int64_t lastStep = options.steps;
    ProgressBar progress(lastStep, progressWorthShowing(lastStep));
    StderrLines keyEchoLines("stepsPerFrame: ", progress);
    StderrLines resetLines("", progress, RESET_LINES_SHOWN);
    std::ostream keyEcho(&keyEchoLines);
    std::ostream resetLog(&resetLines);
    Session session = freshRun(options.chain, precision, options.width, options.height, keyEcho);
    session.script = std::move(events);
    setUpChain(session);

    RunResult run;
    std::vector<char> rowBuffer(csvRowCapacity(linkCount));
    int writeError = writeText(out, csvHeader());
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t& step = session.controls.stepsRun;
    while (writeError == 0 && step < lastStep && stopSignal() == 0) {
        const std::int32_t linksBefore = linkCount;
        sessionStep(session, resetLog);
        if (linkCount != linksBefore) {
            // A reset to another number of links: a new header, wider rows.
            rowBuffer.resize(csvRowCapacity(linkCount));
            writeError = writeText(out, csvHeader());
        }
        char* const row = rowBuffer.data();
        if (writeError == 0 && (step % options.every == 0 || step == lastStep)) {
            writeError = writeText(out, std::string_view(row, formatCsvRow(row, step, runState())));
        }
        progress.update(step);
    }
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.clear();
    if (resetLines.linesHeldBack() > 0) {
        fail(heldBackResetsMessage(resetLines.linesHeldBack()));
    }
    run.stepsRun = step;
    run.stateHash = stateHash(runState());
    run.resets = resetCount;
    run.stopSignal = stopSignal();
    run.writeErrorNumber = writeError;
    return run;
}

void reportRun(const RunResult& run) {
    const double step = static_cast<double>(run.stepsRun);
    const double simulatedSeconds = step / 1000.0;
    const double wall = run.wallSeconds;
    std::fprintf(stderr, "steps run: %lld\n", static_cast<long long>(run.stepsRun));
    std::fprintf(stderr, "simulated seconds: %.3f\n", simulatedSeconds);
    std::fprintf(stderr, "wall seconds: %.3f\n", wall);
    std::fprintf(stderr, "steps per second: %.0f\n", wall > 0.0 ? step / wall : 0.0);
    std::fprintf(stderr, "real-time factor: %.2f\n", wall > 0.0 ? simulatedSeconds / wall : 0.0);
    std::fprintf(stderr, "resets: %lld\n", static_cast<long long>(run.resets));
    if (run.members > 0) {
        const double memberSteps = step * static_cast<double>(run.members);
        std::fprintf(stderr, "members run: %lld\n", static_cast<long long>(run.members));
        std::fprintf(stderr, "member-steps per second: %.0f\n", wall > 0.0 ? memberSteps / wall : 0.0);
        std::fprintf(stderr, "ensemble hash: %s\n", hashText(run.stateHash).c_str());
        return;
    }
    std::fprintf(stderr, "state hash: %s\n", hashText(run.stateHash).c_str());
}
