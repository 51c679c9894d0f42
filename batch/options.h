// The command line of chain20-batch, parsed in one place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/application.h"
#include "sim/ensemble.h"
#include "sim/event_script.h"

inline constexpr int EXIT_BAD_INPUT = 2;

// The message when the number of steps comes neither from --steps nor from a
// recording's final line.
inline constexpr const char* STEPS_REQUIRED = "--steps is required (see --help)";

struct BatchOptions {
    ChainDescription chain;  // --links, --gravity, --damping, --stiffness, --initial-angle
    std::optional<Precision> precision;  // --precision; else the script's, else float
    std::int64_t steps = 0;
    bool stepsGiven = false;  // --steps was given; else a recording's final step counts
    std::optional<std::string> events;  // absent: no script, the chain just hangs
    std::string out = "-";
    std::int64_t every = 1;
    bool everyGiven = false;
    int width = WINDOW_WIDTH;
    int height = WINDOW_HEIGHT;

    // An ensemble (--members): its members, their perturbation and sweeps;
    // one member alone (--member), or a slice of them (--shard I/K), over
    // --threads workers. --merge FILE... joins the slices' outputs instead.
    bool ensemble = false;
    EnsembleSetUp setUp;
    std::optional<std::int64_t> member;
    std::int64_t shardIndex = 0;
    std::int64_t shardCount = 1;
    bool sharded = false;
    int threads = 1;
    std::vector<std::string> merge;
};

// The ensemble's values that the chain's precision bounds, once it is known
// (from --precision or the script): every swept parameter finite, the
// members' perturbed starting angles finite, and the Lyapunov shadow's
// distance fit for every chain length the run takes (the
// start's, and each one that the script sets). False with the one-line
// message in `error`.
bool ensembleFitsPrecision(const BatchOptions& options, Precision precision, const std::vector<ScriptEvent>& script,
                           std::string& error);

// Fills `options` from the command line. Returns -1 to go on with the run, or
// the exit status when the run must not start: 0 after --help, or
// EXIT_BAD_INPUT with the one-line message in `error`.
int parseBatchOptions(int argc, char** argv, BatchOptions& options, std::string& error);
