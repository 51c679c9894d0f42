#include "batch/options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <limits>

#include "sim/event_script.h"
#include "cli/options.h"
#include "sim/parameters.h"
#include "sim/message_words.h"
#include "cli/stderr_lines.h"

namespace {

constexpr std::int64_t MOST_STEPS = std::numeric_limits<std::int32_t>::max();

// Accepts plain decimal whole numbers from `low` to `high`.
CLI::Validator wholeNumberIn(std::int64_t low, std::int64_t high) {
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            std::int64_t value = 0;
            const char* const end = text.data() + text.size();
            const auto [stop, status] = std::from_chars(text.data(), end, value);
            if (text.empty() || status != std::errc{} || stop != end || value < low || value > high) {
                return quotedWord(text) + " is not a whole number from " + range;
            }
            return std::string();
        },
        "INT in " + range);
}

}  // namespace

int parseBatchOptions(int argc, char** argv, BatchOptions& options) {
    if (std::string error; !takeChainOptions(argc, argv, options.chain, options.precision, error)) {
        fail(error);
        return EXIT_BAD_INPUT;
    }
    CLI::App app{
        "Runs the chain20 simulation without a window: the same steps, mouse and key rules, driven by an event "
        "script, with the state written as CSV."};
    app.footer(std::string("Chain options:\n") + CHAIN_OPTIONS_HELP);
    app.set_help_flag("-h,--help", "Print this help and exit");
    const CLI::Option* const steps =
        app.add_option("--steps", options.steps,
                       "Number of steps of 0.001 s to run (required unless the event script is a recording "
                       "with its final line)")
            ->check(wholeNumberIn(0, MOST_STEPS));
    app.add_option("--events", options.events,
                   "Event script, one event per line: STEP press X Y | STEP drag X Y | STEP release | STEP left | "
                   "STEP right | STEP reset | STEP resize W H | STEP set NAME VALUE, NAME one of links, gravity, "
                   "damping, stiffness, initial-angle ('-' reads stdin)");
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
        fail(std::string(e.what()) + " (see --help)");
        return EXIT_BAD_INPUT;
    }
    options.stepsGiven = steps->count() > 0;
    if (!options.stepsGiven && !options.events) {
        fail(STEPS_REQUIRED);
        return EXIT_BAD_INPUT;
    }
    return -1;
}
