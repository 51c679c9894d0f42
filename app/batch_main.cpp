// chain20-batch: the window program's simulation without a window.
//
// It runs the same start-up, the same Runge-Kutta idle step (with its reset to
// rest) and the same mouse and key rules as chain20, fed from an event script
// instead of the window system, and writes the state as CSV. The cursor is
// mapped through the view that the window's reshape would set for a window of
// --width x --height pixels.
//
// Everything that can be wrong with the command line or the script is found
// before the first step; the output goes to a temporary file next to --out
// that is renamed into place only when the whole run has been written. Errors
// are one line on stderr and exit status 2.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "app/application.h"
#include "app/batch_events.h"
#include "app/batch_output.h"
#include "dynamics/chain_dynamics.h"
#include "model/chain_model.h"

namespace {

constexpr const char* PROGRAM = "chain20-batch";
constexpr int EXIT_BAD_INPUT = 2;
constexpr std::int64_t MOST_STEPS = std::numeric_limits<std::int32_t>::max();
constexpr int LARGEST_WINDOW = 16384;

struct Options {
    std::int64_t steps = 0;
    std::string events;
    std::string out = "-";
    std::int64_t every = 1;
    int width = WINDOW_WIDTH;
    int height = WINDOW_HEIGHT;
};

void fail(const std::string& message) { std::fprintf(stderr, "%s: %s\n", PROGRAM, message.c_str()); }

std::string describeErrno() { return std::strerror(errno); }

// ---- Progress on a terminal ----

class ProgressBar {
public:
    ProgressBar(std::int64_t total, bool enabled) : total(total), enabled(enabled) {}

    void update(std::int64_t step) {
        if (!enabled || (step & 0x1fff) != 0) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (shown && now - lastDrawn < std::chrono::milliseconds(200)) {
            return;
        }
        lastDrawn = now;
        constexpr int WIDTH = 40;
        const double fraction = static_cast<double>(step) / static_cast<double>(total);
        const int filled = static_cast<int>(fraction * WIDTH);
        char bar[WIDTH + 1];
        for (int i = 0; i < WIDTH; ++i) {
            bar[i] = i < filled ? '#' : '.';
        }
        bar[WIDTH] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%  step %lld of %lld", bar, static_cast<int>(fraction * 100.0),
                     static_cast<long long>(step), static_cast<long long>(total));
        shown = true;
    }

    // Wipes the bar so that a line of text can take its place.
    void clear() {
        if (shown) {
            std::fprintf(stderr, "\r%*s\r", 80, "");
            shown = false;
        }
    }

private:
    std::int64_t total;
    bool enabled;
    bool shown = false;
    std::chrono::steady_clock::time_point lastDrawn{};
};

// A stream buffer that writes whole lines to stderr, each starting with a
// prefix, after wiping the progress bar. Lines are gathered in a fixed buffer.
class StderrLines : public std::streambuf {
public:
    StderrLines(std::string_view prefix, ProgressBar& progress) : prefix(prefix), progress(progress) {}

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) {
            return traits_type::not_eof(ch);
        }
        if (length == sizeof line) {
            emit();
        }
        line[length++] = traits_type::to_char_type(ch);
        if (ch == '\n') {
            emit();
        }
        return ch;
    }

    int sync() override {
        emit();
        return 0;
    }

private:
    void emit() {
        if (length == 0) {
            return;
        }
        progress.clear();
        if (atLineStart) {
            std::fwrite(prefix.data(), 1, prefix.size(), stderr);
        }
        std::fwrite(line, 1, length, stderr);
        atLineStart = line[length - 1] == '\n';
        length = 0;
    }

    std::string_view prefix;
    ProgressBar& progress;
    char line[256] = {};
    std::size_t length = 0;
    bool atLineStart = true;
};

// ---- Files ----

bool readWholeFile(const std::string& path, std::string& text, std::string& error) {
    const bool standardInput = path == "-";
    std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read event script '" + path + "': " + describeErrno();
        return false;
    }
    struct stat info {};
    if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        text.reserve(static_cast<std::size_t>(info.st_size) + 1);
    }
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    if (!standardInput) {
        std::fclose(file);
    }
    if (failed) {
        error = "cannot read event script '" + (standardInput ? std::string("stdin") : path) +
                "': " + std::strerror(readErrno);
        return false;
    }
    return true;
}

// Set by SIGINT, SIGTERM or SIGHUP: the run stops after the current step and
// the unfinished output file is removed.
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int signalNumber) { stopRequested = signalNumber; }

// The CSV destination: stdout, or a temporary file in the directory of the
// final path that is renamed into place by commit().
class Output {
public:
    ~Output() { discard(); }

    bool open(const std::string& path, std::string& error) {
        if (path == "-") {
            file = stdout;
            return true;
        }
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            error = "cannot write output '" + path + "': it is a directory";
            return false;
        }
        finalPath = path;
        const std::size_t slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        temporaryPath = directory + "." + base + ".partial-XXXXXX";
        const int descriptor = ::mkstemp(temporaryPath.data());
        if (descriptor < 0) {
            error = "cannot write output '" + path + "': " + describeErrno();
            temporaryPath.clear();
            return false;
        }
        // mkstemp makes the file private; give it the mode a new file gets.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(descriptor, 0666 & ~mask);
        file = ::fdopen(descriptor, "wb");
        if (file == nullptr) {
            error = "cannot write output '" + path + "': " + describeErrno();
            ::close(descriptor);
            return false;
        }
        return true;
    }

    std::FILE* stream() const { return file; }
    bool writesFile() const { return !finalPath.empty(); }

    // Flushes and, for a file, renames it into place.
    bool commit(std::string& error) {
        const std::string shownName = finalPath.empty() ? std::string("stdout") : finalPath;
        if (std::fflush(file) != 0 || std::ferror(file) != 0) {
            error = "cannot write output '" + shownName + "': " + describeErrno();
            return false;
        }
        if (finalPath.empty()) {
            return true;
        }
        const int closed = std::fclose(file);
        file = nullptr;
        if (closed != 0) {
            error = "cannot write output '" + shownName + "': " + describeErrno();
            return false;
        }
        if (std::rename(temporaryPath.c_str(), finalPath.c_str()) != 0) {
            error = "cannot write output '" + shownName + "': " + describeErrno();
            return false;
        }
        temporaryPath.clear();
        return true;
    }

    // Closes and removes an unfinished file.
    void discard() {
        if (file != nullptr && file != stdout) {
            std::fclose(file);
        }
        file = nullptr;
        if (!temporaryPath.empty()) {
            ::unlink(temporaryPath.c_str());
            temporaryPath.clear();
        }
    }

private:
    std::FILE* file = nullptr;
    std::string finalPath;
    std::string temporaryPath;
};

// The output buffer, allocated once.
char outputBuffer[1 << 20];

// Accepts plain decimal whole numbers from `low` to `high`.
CLI::Validator wholeNumberIn(std::int64_t low, std::int64_t high) {
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            std::int64_t value = 0;
            const char* const end = text.data() + text.size();
            const auto [stop, status] = std::from_chars(text.data(), end, value);
            if (text.empty() || status != std::errc{} || stop != end || value < low || value > high) {
                return "'" + text + "' is not a whole number from " + range;
            }
            return std::string();
        },
        "INT in " + range);
}

int parseCommandLine(int argc, char** argv, Options& options) {
    CLI::App app{
        "Runs the chain20 simulation without a window: the same steps, mouse and key rules, driven by an event "
        "script, with the state written as CSV."};
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.add_option("--steps", options.steps, "Number of steps of 0.001 s to run")
        ->required()
        ->check(wholeNumberIn(0, MOST_STEPS));
    app.add_option("--events", options.events,
                   "Event script, one event per line: STEP press X Y | STEP drag X Y | STEP release | STEP left | "
                   "STEP right ('-' reads stdin)");
    app.add_option("--out", options.out, "CSV output file ('-' for stdout)")->capture_default_str();
    app.add_option("--every", options.every, "Write a row every K steps (and always after the last step)")
        ->capture_default_str()
        ->check(wholeNumberIn(1, MOST_STEPS));
    app.add_option("--width", options.width, "Window width in pixels for the cursor mapping")
        ->capture_default_str()
        ->check(wholeNumberIn(1, LARGEST_WINDOW));
    app.add_option("--height", options.height, "Window height in pixels for the cursor mapping")
        ->capture_default_str()
        ->check(wholeNumberIn(1, LARGEST_WINDOW));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s (see --help)\n", PROGRAM, e.what());
        return EXIT_BAD_INPUT;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parseCommandLine(argc, argv, options); status >= 0) {
        return status;
    }

    std::vector<ScriptEvent> events;
    if (!options.events.empty()) {
        std::string text;
        std::string error;
        const std::string name = options.events == "-" ? "stdin" : options.events;
        if (!readWholeFile(options.events, text, error) ||
            !parseEventScript(text, name, options.steps, events, error)) {
            fail(error);
            return EXIT_BAD_INPUT;
        }
    }

    // From here on a signal stops the run cleanly, so that no unfinished
    // output file is left behind.
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGHUP, requestStop);

    Output output;
    {
        std::string error;
        if (!output.open(options.out, error)) {
            fail(error);
            return EXIT_BAD_INPUT;
        }
    }
    std::setvbuf(output.stream(), outputBuffer, _IOFBF, sizeof outputBuffer);

    // The window program's start-up, and the view its reshape sets.
    setupUnrolledModel();
    setupMatrixModel();
    initialiseSimulation();
    const ViewTransform view = reshapeView(options.width, options.height);

    const std::int64_t lastStep = options.steps;
    ProgressBar progress(lastStep, ::isatty(STDERR_FILENO) == 1 && lastStep >= 200000);
    StderrLines keyEchoLines("stepsPerFrame: ", progress);
    StderrLines resetLines("", progress);
    std::ostream keyEcho(&keyEchoLines);
    std::ostream resetLog(&resetLines);

    std::FILE* out = output.stream();
    char row[CSV_ROW_CAPACITY];
    const std::string_view header = csvHeader();
    std::fwrite(header.data(), 1, header.size(), out);

    const auto started = std::chrono::steady_clock::now();
    std::size_t nextEvent = 0;
    std::int64_t step = 0;
    while (step < lastStep && stopRequested == 0) {
        ++step;
        while (nextEvent < events.size() && events[nextEvent].step <= step) {
            applyEvent(events[nextEvent], view, keyEcho);
            ++nextEvent;
        }
        advanceSimulation(resetLog);
        if (step % options.every == 0 || step == lastStep) {
            std::fwrite(row, 1, formatCsvRow(row, step, currentState), out);
        }
        progress.update(step);
    }
    const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.clear();

    if (stopRequested != 0) {
        const bool toFile = output.writesFile();
        output.discard();
        fail("interrupted at step " + std::to_string(step) +
             (toFile ? "; no output written" : "; the output on stdout is incomplete"));
        return 128 + static_cast<int>(stopRequested);
    }
    {
        std::string error;
        if (!output.commit(error)) {
            output.discard();
            fail(error);
            return EXIT_BAD_INPUT;
        }
    }

    const double simulatedSeconds = static_cast<double>(step) / 1000.0;
    std::fprintf(stderr, "steps run: %lld\n", static_cast<long long>(step));
    std::fprintf(stderr, "simulated seconds: %.3f\n", simulatedSeconds);
    std::fprintf(stderr, "wall seconds: %.3f\n", wallSeconds);
    std::fprintf(stderr, "steps per second: %.0f\n", wallSeconds > 0.0 ? static_cast<double>(step) / wallSeconds : 0.0);
    std::fprintf(stderr, "real-time factor: %.2f\n", wallSeconds > 0.0 ? simulatedSeconds / wallSeconds : 0.0);
    std::fprintf(stderr, "resets: %lld\n", static_cast<long long>(resetCount));
    return 0;
}
