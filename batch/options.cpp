#include "batch/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <thread>

#include "sim/event_script.h"
#include "cli/options.h"
#include "sim/parameters.h"
#include "sim/message_words.h"
#include "cli/stderr_lines.h"

namespace {

constexpr std::int64_t MOST_STEPS = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t MOST_THREADS = 1024;

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

// A finite decimal, as the chain options read them but in double.
bool finiteDouble(std::string_view text, double& value) {
    const std::string copy(text);
    char* end = nullptr;
    value = std::strtod(copy.c_str(), &end);
    float check = 0.0f;
    return readDecimalFloat(text, check) && end == copy.c_str() + copy.size() && std::isfinite(value);
}

// NAME=FROM:TO of one swept parameter.
bool readSweep(std::string_view text, Sweep& sweep, std::string& error) {
    const std::size_t equals = text.find('=');
    const std::size_t colon = text.find(':', equals == std::string_view::npos ? 0 : equals);
    if (equals == std::string_view::npos || colon == std::string_view::npos) {
        error = "--sweep: " + quotedWord(text) + " is not NAME=FROM:TO";
        return false;
    }
    if (!readSweptName(text.substr(0, equals), sweep.parameter)) {
        error = "--sweep: unknown parameter " + quotedWord(text.substr(0, equals)) +
                " (expected gravity, damping, stiffness or initial-angle)";
        return false;
    }
    if (!finiteDouble(text.substr(equals + 1, colon - equals - 1), sweep.from) ||
        !finiteDouble(text.substr(colon + 1), sweep.to)) {
        error = "--sweep: " + quotedWord(text) + " does not run between two finite numbers";
        return false;
    }
    const bool notNegative =
        sweep.parameter == SweptParameter::Damping || sweep.parameter == SweptParameter::Stiffness;
    if (notNegative && (sweep.from < 0.0 || sweep.to < 0.0)) {
        error = "--sweep: " + std::string(sweptName(sweep.parameter)) + " must stay >= 0";
        return false;
    }
    return true;
}

// I/K with 0 <= I < K <= members.
bool readShard(std::string_view text, std::int64_t members, BatchOptions& options, std::string& error) {
    const std::size_t slash = text.find('/');
    const auto whole = [](std::string_view digits, std::int64_t& value) {
        const auto [stop, status] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        return !digits.empty() && status == std::errc{} && stop == digits.data() + digits.size();
    };
    if (slash == std::string_view::npos || !whole(text.substr(0, slash), options.shardIndex) ||
        !whole(text.substr(slash + 1), options.shardCount) || options.shardIndex < 0 ||
        options.shardCount < 1 || options.shardIndex >= options.shardCount || options.shardCount > members) {
        error = "--shard: " + quotedWord(text) + " is not I/K with 0 <= I < K <= " + std::to_string(members);
        return false;
    }
    options.sharded = true;
    return true;
}

// The ensemble's options after parsing: each needs --members, and they fit
// together.
bool checkEnsemble(BatchOptions& options, const std::vector<std::string>& sweeps, const std::string& shard,
                   bool perturbGiven, bool seedGiven, std::string& error) {
    const bool anyEnsembleOption = !sweeps.empty() || !shard.empty() || perturbGiven || seedGiven || options.member;
    if (!options.ensemble && anyEnsembleOption) {
        error = "--perturb, --lyapunov, --seed, --sweep, --member and --shard need --members";
        return false;
    }
    for (const std::string& text : sweeps) {
        Sweep sweep{};
        if (!readSweep(text, sweep, error)) {
            return false;
        }
        for (const Sweep& other : options.setUp.sweeps) {
            if (other.parameter == sweep.parameter) {
                error = "--sweep: " + std::string(sweptName(sweep.parameter)) + " is swept twice";
                return false;
            }
        }
        options.setUp.sweeps.push_back(sweep);
    }
    if (options.member && *options.member >= options.setUp.members) {
        error = "--member: " + std::to_string(*options.member) + " is not a member (0 to " +
                std::to_string(options.setUp.members - 1) + ")";
        return false;
    }
    if (!shard.empty() && options.member) {
        error = "--member and --shard exclude each other";
        return false;
    }
    return shard.empty() || readShard(shard, options.setUp.members, options, error);
}

constexpr std::string_view MERGE_USAGE = "--merge joins finished shard outputs: give it the slices' outputs "
                                         "after --merge, and only --out";

// Whether `word` is NAME=VALUE, with the value in `value`.
bool takesOption(std::string_view word, std::string_view name, std::string_view& value) {
    if (word.starts_with(name) && word.size() > name.size() && word[name.size()] == '=') {
        value = word.substr(name.size() + 1);
        return true;
    }
    return false;
}

// Whether the command line asks for a merge (and not for the help).
bool namesMerge(int argc, char** argv) {
    bool merge = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "-h" || word == "--help") {
            return false;
        }
        std::string_view value;
        merge = merge || word == "--merge" || takesOption(word, "--merge", value);
    }
    return merge;
}

// The merge's command line: --merge FILE... and at most one --out FILE,
// before the slices or after them, and nothing else.
bool readMergeLine(int argc, char** argv, BatchOptions& options, std::string& error) {
    bool outGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        std::string_view value;
        if (!outGiven && word == "--out" && i + 1 < argc) {
            options.out = argv[++i];
            outGiven = true;
        } else if (!outGiven && takesOption(word, "--out", value)) {
            options.out = value;
            outGiven = true;
        } else if (options.merge.empty() && (word == "--merge" || takesOption(word, "--merge", value))) {
            if (!value.empty()) {
                options.merge.emplace_back(value);
            }
            for (; i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--"); ++i) {
                options.merge.emplace_back(argv[i + 1]);
            }
        } else {
            error = MERGE_USAGE;
            return false;
        }
    }
    if (options.merge.empty()) {
        error = MERGE_USAGE;
        return false;
    }
    return true;
}

}  // namespace

bool ensembleFitsPrecision(const BatchOptions& options, Precision precision, const std::vector<ScriptEvent>& script,
                           std::string& error) {
    double largestAngle = std::abs(options.chain.initialAngle);
    for (const Sweep& sweep : options.setUp.sweeps) {
        if (!checkSweptValues(sweptName(sweep.parameter), sweep.from, sweep.to, precision, error)) {
            return false;
        }
        if (sweep.parameter == SweptParameter::InitialAngle) {
            largestAngle = std::max({largestAngle, std::abs(sweep.from), std::abs(sweep.to)});
        }
    }
    if (!checkPerturbation(options.setUp.perturbation, largestAngle, precision, error)) {
        return false;
    }
    if (options.setUp.shadowDistance <= 0.0) {
        return true;
    }
    if (!checkShadowDistance(options.setUp.shadowDistance, options.chain.links, precision, error)) {
        return false;
    }
    for (const ScriptEvent& event : script) {
        if (event.kind == EventKind::Set && event.parameter == ChainParameter::Links &&
            !checkShadowDistance(options.setUp.shadowDistance, static_cast<std::int32_t>(event.value), precision,
                                 error)) {
            return false;
        }
    }
    return true;
}

int parseBatchOptions(int argc, char** argv, BatchOptions& options, std::string& error) {
    if (namesMerge(argc, argv)) {
        return readMergeLine(argc, argv, options, error) ? -1 : EXIT_BAD_INPUT;
    }
    if (!takeChainOptions(argc, argv, options.chain, options.precision, error)) {
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
    const CLI::Option* const every = app.add_option("--every", options.every, "Write a row every K steps (and always after the last step)")
        ->capture_default_str()
        ->check(wholeNumberIn(1, MOST_STEPS));
    app.add_option("--width", options.width, "Window width in pixels for the cursor mapping")
        ->capture_default_str()
        ->check(wholeNumberIn(1, LARGEST_WINDOW));
    app.add_option("--height", options.height, "Window height in pixels for the cursor mapping")
        ->capture_default_str()
        ->check(wholeNumberIn(1, LARGEST_WINDOW));
    CLI::Option* const members =
        app.add_option("--members", options.setUp.members, "Run an ensemble of M chains (member 0 as described)")
            ->check(wholeNumberIn(1, MOST_MEMBERS));
    std::string perturbText;
    const CLI::Option* const perturb =
        app.add_option("--perturb", perturbText,
                       "Members k >= 1 start with each joint angle moved by EPS x u, u in [-1, 1) from (seed, k, joint)");
    const CLI::Option* const seed =
        app.add_option("--seed", options.setUp.seed, "Seed of the members' perturbations (default 1)")
            ->check(wholeNumberIn(0, std::numeric_limits<std::int64_t>::max()));
    std::vector<std::string> sweeps;
    app.add_option("--sweep", sweeps,
                   "NAME=FROM:TO: gravity, damping, stiffness or initial-angle from FROM at member 0 to TO at the "
                   "last, linearly (may be given more than once)")
        ->take_all()
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    std::string lyapunovText;
    const CLI::Option* const lyapunov =
        app.add_option("--lyapunov", lyapunovText,
                       "Give each member a shadow D0 away and a column of its finite-time largest Lyapunov "
                       "exponent (renormalised every 0.1 s)");
    app.add_option("--member", options.member, "Run member K alone, writing the single-run CSV")
        ->check(wholeNumberIn(0, MOST_MEMBERS - 1));
    std::string shard;
    app.add_option("--shard", shard, "Run only the I-th of K contiguous slices of the members (I from 0)");
    app.add_option("--threads", options.threads, "Worker threads of an ensemble (default: all cores)")
        ->check(wholeNumberIn(1, MOST_THREADS));
    app.add_option("--merge", options.merge,
                   "Check that shard outputs fit together and write the whole ensemble's output to --out");
    options.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        error = std::string(e.what()) + " (see --help)";
        return EXIT_BAD_INPUT;
    }
    options.stepsGiven = steps->count() > 0;
    options.everyGiven = every->count() > 0;
    options.ensemble = members->count() > 0;
    if (perturb->count() > 0 && (!finiteDouble(perturbText, options.setUp.perturbation) ||
                                 options.setUp.perturbation < 0.0)) {
        error = "--perturb: " + quotedWord(perturbText) + " is not a finite number >= 0";
        return EXIT_BAD_INPUT;
    }
    if (lyapunov->count() > 0 && (!finiteDouble(lyapunovText, options.setUp.shadowDistance) ||
                                  !(options.setUp.shadowDistance > 0.0))) {
        error = "--lyapunov: " + quotedWord(lyapunovText) + " is not a finite number > 0";
        return EXIT_BAD_INPUT;
    }
    if (!checkEnsemble(options, sweeps, shard, perturb->count() > 0 || lyapunov->count() > 0, seed->count() > 0,
                       error)) {
        return EXIT_BAD_INPUT;
    }
    if (!options.stepsGiven && !options.events) {
        error = STEPS_REQUIRED;
        return EXIT_BAD_INPUT;
    }
    return -1;
}
